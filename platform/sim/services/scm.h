// The service control manager's database, shared by the files of the services area and by no
// other area: the services with their status, the processes that serve them, the SC handles and
// the access the default security grants.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/security/sim_security.h"
#include "platform/sim/services/sim_services.h"
#include "platform/sim/services/winsvc.h"

namespace sim {
struct Token;
}

namespace sim::scm {

using Clock = std::chrono::steady_clock;

struct ServiceProcess;

struct ServiceEntry {
  std::wstring name;
  std::wstring display_name;
  std::wstring image_path;
  std::wstring load_order_group;
  std::vector<std::wstring> dependencies;
  std::wstring account;
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  SERVICE_STATUS status = {};
  std::vector<SERVICE_STATUS> reports;
  ServiceProgram program;
  std::shared_ptr<ServiceProcess> process;  // while a process serves the service
  std::shared_ptr<SimProcess> last_record;  // the kernel's view of the last process started
  DWORD process_id = 0;
  int last_exit_code = 0;  // of the last process that ran for the service
  bool marked_for_delete = false;
  int open_handles = 0;
};

struct ControlRequest {
  DWORD control = 0;
  DWORD event_type = 0;
  std::vector<uint8_t> data;
  bool taken = false;
  bool done = false;
  DWORD result = NO_ERROR;
};

struct ServiceProcess {
  std::shared_ptr<ServiceEntry> service;
  std::shared_ptr<SimProcess> record;  // the kernel's view: its threads, what it owns
  Identity identity;
  std::shared_ptr<Token> token;       // one token for every thread of the process
  std::thread::id main_thread;        // the thread that runs the program
  std::thread::id dispatcher_thread;  // the thread that called StartServiceCtrlDispatcherW
  std::vector<std::wstring> arg_text;
  std::vector<LPWSTR> argv;
  bool single_entry_table = true;
  std::wstring table_name;
  bool dispatcher_called = false;
  bool connected = false;  // ServiceMain has been started
  DWORD start_error = NO_ERROR;
  bool start_given_up = false;  // StartServiceW stopped waiting; the SCM no longer talks to it
  bool main_returned = false;
  bool stopped_reported = false;
  bool exited = false;
  int exit_code = 0;
  bool abandoned = false;  // the machine was reset under it
  LPHANDLER_FUNCTION_EX handler = nullptr;
  void* context = nullptr;
  uintptr_t status_handle = 0;
  std::deque<std::shared_ptr<ControlRequest>> queue;
};

struct ServicesDatabase {
  std::vector<std::shared_ptr<ServiceEntry>> services;  // in creation order
  std::map<uintptr_t, std::weak_ptr<ServiceProcess>> status_handles;
  uintptr_t next_status_handle = 0x5000;
  DWORD next_process_id = 0x1000;
  std::chrono::milliseconds start_timeout{30000};
  std::chrono::milliseconds control_timeout{30000};
};

ServicesDatabase& Database();

struct ScManagerObject : Object {
  static constexpr HandleKind kKind{"sc-manager", false};
  ScManagerObject() : Object(kKind) {}
};

struct Mapping {
  ACCESS_MASK read, write, execute, all;
};

inline constexpr Mapping kScmMapping = {
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
    SC_MANAGER_ALL_ACCESS,
};

inline constexpr Mapping kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
        SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS,
};

// What the default security of the SCM and of a service grants: everything to administrators
// and LocalSystem; reading, interrogating and user-defined controls to other users.
inline constexpr ACCESS_MASK kScmUserAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
inline constexpr ACCESS_MASK kServiceUserAccess =
    SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
    SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

std::shared_ptr<ServiceEntry> FindLocked(const std::wstring& name);

// A deleted service's key under "SYSTEM\CurrentControlSet\Services" goes with it, with
// whatever its program kept there.
void DeleteServiceKeyLocked(const ServiceEntry& entry);

// A service marked for deletion leaves the database, and its key with it, once it is stopped
// and unreferenced.
void MaybeRemoveLocked(const std::shared_ptr<ServiceEntry>& entry);

SERVICE_STATUS NeverStarted(DWORD service_type);

SERVICE_STATUS_PROCESS StatusOf(const ServiceEntry& entry);

SERVICE_STATUS PlainStatusOf(const ServiceEntry& entry);

bool ValidServiceName(const wchar_t* name);

bool ValidServiceType(DWORD type);

// Boot and system start are for drivers only.
bool ValidStartType(DWORD start_type, DWORD service_type);

bool ValidErrorControl(DWORD error_control);

std::vector<std::wstring> ParseMultiString(const wchar_t* multi);

// The display name may equal no other service's name or display name.
bool DisplayNameTakenLocked(const std::wstring& display_name, const ServiceEntry* self);

bool Privileged(const Token& token);

// Grants `desired` (generic rights mapped, MAXIMUM_ALLOWED expanded) or answers access denied.
DWORD GrantLocked(ACCESS_MASK desired, const Mapping& mapping, ACCESS_MASK user_access,
                  ACCESS_MASK* granted);

DWORD ServiceOfHandleLocked(SC_HANDLE handle, ACCESS_MASK needed,
                            std::shared_ptr<ServiceEntry>* entry);

SC_HANDLE NewServiceHandleLocked(const std::shared_ptr<ServiceEntry>& entry, ACCESS_MASK access);

// The program file of a service's image path, which may be quoted and carry arguments.
std::wstring ImageOf(const std::wstring& image_path);

struct ServiceObject : Object {
  static constexpr HandleKind kKind{"service", false};
  explicit ServiceObject(std::shared_ptr<ServiceEntry> e) : Object(kKind), entry(std::move(e)) {
    ++entry->open_handles;
  }
  void OnHandleClosed(uintptr_t /*handle*/) override {
    --entry->open_handles;
    MaybeRemoveLocked(entry);
  }
  std::shared_ptr<ServiceEntry> entry;
};

// ----- The service process and its dispatcher (service_process.cpp) ------------------------------

void RunServiceProcess(std::shared_ptr<ServiceProcess> process, ServiceProgram program);

DWORD StartLocked(Lock& lock, const std::shared_ptr<ServiceEntry>& entry,
                  const std::vector<std::wstring>& args);

bool Accepts(DWORD accepted, DWORD control);

bool IsPending(DWORD state);

// The errors with which ControlService still fills in the caller's status.
bool FillsStatus(DWORD error);

// Hands a control to the service's dispatcher thread and waits for its handler, as the SCM does.
DWORD DeliverLocked(Lock& lock, const std::shared_ptr<ServiceEntry>& entry, DWORD control,
                    DWORD event_type, std::vector<uint8_t> data, SERVICE_STATUS* status);

// Runs on the thread that called StartServiceCtrlDispatcherW (`function`) until the service is
// done. Between two controls the thread is blocked for the blocked-thread query.
void DispatchLocked(Lock& lock, const std::shared_ptr<ServiceProcess>& process,
                    const char* function);

void RunServiceMain(std::shared_ptr<ServiceProcess> process, LPSERVICE_MAIN_FUNCTIONW main);

}  // namespace sim::scm
