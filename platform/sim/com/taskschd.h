// The simulated Windows: the Task Scheduler 2.0 (taskschd.dll; taskschd.h). The interfaces keep
// the SDK's names, methods and argument types, so that code written against the SDK compiles
// unchanged; only the methods the package and its tests call are declared, in the SDK's order.
// The SDK derives the interfaces from IDispatch; nothing here automates them, so they derive
// from IUnknown.
#pragma once

#include "platform/sim/com/objbase.h"

typedef enum _TASK_LOGON_TYPE {
  TASK_LOGON_NONE = 0,
  TASK_LOGON_PASSWORD = 1,
  TASK_LOGON_S4U = 2,
  TASK_LOGON_INTERACTIVE_TOKEN = 3,
  TASK_LOGON_GROUP = 4,
  TASK_LOGON_SERVICE_ACCOUNT = 5,
  TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD = 6,
} TASK_LOGON_TYPE;

typedef enum _TASK_CREATION {
  TASK_VALIDATE_ONLY = 0x1,
  TASK_CREATE = 0x2,
  TASK_UPDATE = 0x4,
  TASK_CREATE_OR_UPDATE = 0x6,
  TASK_DISABLE = 0x8,
  TASK_DONT_ADD_PRINCIPAL_ACE = 0x10,
  TASK_IGNORE_REGISTRATION_TRIGGERS = 0x20,
} TASK_CREATION;

#define SCHED_E_MALFORMEDXML ((HRESULT)0x8004131AL)

extern "C" {
extern const CLSID CLSID_TaskScheduler;
extern const IID IID_ITaskService;
extern const IID IID_ITaskFolder;
extern const IID IID_IRegisteredTask;
}

// A registered task.
struct IRegisteredTask : public IUnknown {
  virtual HRESULT get_Name(BSTR* name) = 0;
  virtual HRESULT get_Path(BSTR* path) = 0;

 protected:
  ~IRegisteredTask() = default;
};

// A folder of tasks. Paths are absolute ("\Tarvex\DPAL", from the root "\") or relative to the
// folder; names compare without regard to case. Every change needs an administrator's or
// LocalSystem's connection (E_ACCESSDENIED otherwise); a missing folder or task answers
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
struct ITaskFolder : public IUnknown {
  virtual HRESULT get_Name(BSTR* name) = 0;
  virtual HRESULT get_Path(BSTR* path) = 0;
  virtual HRESULT GetFolder(BSTR path, ITaskFolder** folder) = 0;
  // Creates the folder with its missing parents; HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when it
  // exists. The security descriptor is not modelled (VT_EMPTY or VT_NULL only).
  virtual HRESULT CreateFolder(BSTR subFolderName, VARIANT sddl, ITaskFolder** folder) = 0;
  // Deletes an empty folder: HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY) while it holds a task or a
  // folder; the root cannot be deleted (E_INVALIDARG). Flags are reserved (0).
  virtual HRESULT DeleteFolder(BSTR subFolderName, LONG flags) = 0;
  virtual HRESULT GetTask(BSTR path, IRegisteredTask** task) = 0;
  // Flags are reserved (0).
  virtual HRESULT DeleteTask(BSTR name, LONG flags) = 0;
  // Registers a task from its XML text (a Task element; SCHED_E_MALFORMEDXML otherwise), creating
  // missing folders on its path. TASK_CREATE refuses an existing task
  // (HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)), TASK_UPDATE a missing one; TASK_VALIDATE_ONLY
  // checks the text and registers nothing. The account, password, logon type and security
  // descriptor are kept by no part of the machine and are not checked.
  virtual HRESULT RegisterTask(BSTR path, BSTR xmlText, LONG flags, VARIANT userId,
                               VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl,
                               IRegisteredTask** task) = 0;

 protected:
  ~ITaskFolder() = default;
};

// The connection to the Task Scheduler service. Only the local machine is modelled: server,
// user, domain and password must be empty (VT_EMPTY, VT_NULL or an empty BSTR); another server
// is not found (HRESULT_FROM_WIN32(ERROR_BAD_NETPATH)) and credentials are refused
// (E_INVALIDARG). The connection acts with the account of the thread that connected. Before
// Connect, GetFolder answers HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED).
struct ITaskService : public IUnknown {
  virtual HRESULT GetFolder(BSTR path, ITaskFolder** folder) = 0;
  virtual HRESULT Connect(VARIANT serverName, VARIANT user, VARIANT domain, VARIANT password) = 0;
  virtual HRESULT get_Connected(VARIANT_BOOL* connected) = 0;

 protected:
  ~ITaskService() = default;
};
