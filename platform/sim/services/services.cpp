// The service control manager: the services database, the processes the SCM starts for services
// with their control dispatch, and the client calls that open, query, configure, start, control
// and delete services.
//
// A service's "process" is a thread the sim starts to run the service's program (a C++
// callable that plays the image's entry point). That thread and the ServiceMain thread the
// dispatcher starts act as the service's account. Controls travel through a queue to the thread
// that called StartServiceCtrlDispatcherW and run there one at a time, as on Windows. The
// process ends when its program returns (after the dispatcher has returned), or from outside at
// a restart; what it held goes with it and its threads stop (see SimProcess).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <deque>
#include <system_error>
#include <thread>

#include "platform/sim/kernel/call_depth.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/services/internal.h"
#include "platform/sim/services/sim_services.h"
#include "platform/sim/services/winsvc.h"
#include "platform/sim/snapshot.h"

namespace sim {
namespace {

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

ServicesDatabase& Database() {
  static ServicesDatabase* scm =
      new ServicesDatabase();  // never destroyed: service threads may outlive main
  return *scm;
}

// The service process the calling thread belongs to (its main thread and ServiceMain thread).
thread_local std::shared_ptr<ServiceProcess> t_process;

struct ScManagerObject : Object {
  static constexpr HandleKind kKind{"sc-manager", false};
  ScManagerObject() : Object(kKind) {}
};

void MaybeRemoveLocked(const std::shared_ptr<ServiceEntry>& entry);

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

std::shared_ptr<ServiceEntry> FindLocked(const std::wstring& name) {
  for (const auto& entry : Database().services) {
    if (EqualsNoCase(entry->name, name)) return entry;
  }
  return nullptr;
}

// A deleted service's key under "SYSTEM\CurrentControlSet\Services" goes with it, with
// whatever its program kept there.
void DeleteServiceKeyLocked(const ServiceEntry& entry) {
  DeleteMachineKeyTreeLocked(L"SYSTEM\\CurrentControlSet\\Services\\" + entry.name);
}

// A service marked for deletion leaves the database, and its key with it, once it is stopped
// and unreferenced.
void MaybeRemoveLocked(const std::shared_ptr<ServiceEntry>& entry) {
  if (!entry->marked_for_delete || entry->open_handles > 0 || entry->process) return;
  auto& list = Database().services;
  list.erase(std::remove(list.begin(), list.end(), entry), list.end());
  DeleteServiceKeyLocked(*entry);
}

SERVICE_STATUS NeverStarted(DWORD service_type) {
  SERVICE_STATUS status = {};
  status.dwServiceType = service_type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
  return status;
}

SERVICE_STATUS_PROCESS StatusOf(const ServiceEntry& entry) {
  SERVICE_STATUS_PROCESS out = {};
  out.dwServiceType = entry.service_type;
  out.dwCurrentState = entry.status.dwCurrentState;
  out.dwControlsAccepted = entry.status.dwControlsAccepted;
  out.dwWin32ExitCode = entry.status.dwWin32ExitCode;
  out.dwServiceSpecificExitCode = entry.status.dwServiceSpecificExitCode;
  out.dwCheckPoint = entry.status.dwCheckPoint;
  out.dwWaitHint = entry.status.dwWaitHint;
  out.dwProcessId =
      entry.process && entry.status.dwCurrentState != SERVICE_STOPPED ? entry.process_id : 0;
  out.dwServiceFlags = 0;
  return out;
}

SERVICE_STATUS PlainStatusOf(const ServiceEntry& entry) {
  SERVICE_STATUS_PROCESS full = StatusOf(entry);
  SERVICE_STATUS out;
  out.dwServiceType = full.dwServiceType;
  out.dwCurrentState = full.dwCurrentState;
  out.dwControlsAccepted = full.dwControlsAccepted;
  out.dwWin32ExitCode = full.dwWin32ExitCode;
  out.dwServiceSpecificExitCode = full.dwServiceSpecificExitCode;
  out.dwCheckPoint = full.dwCheckPoint;
  out.dwWaitHint = full.dwWaitHint;
  return out;
}

// ----- Validation ----------------------------------------------------------------------------

bool ValidServiceName(const wchar_t* name) {
  size_t length = std::wcslen(name);
  if (length == 0 || length > 256) return false;
  return std::wcschr(name, L'\\') == nullptr && std::wcschr(name, L'/') == nullptr;
}

bool ValidServiceType(DWORD type) {
  const DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if (base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER) {
    return (type & SERVICE_INTERACTIVE_PROCESS) == 0;
  }
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

// Boot and system start are for drivers only.
bool ValidStartType(DWORD start_type, DWORD service_type) {
  if (start_type > SERVICE_DISABLED) return false;
  return start_type > SERVICE_SYSTEM_START || (service_type & SERVICE_DRIVER) != 0;
}

bool ValidErrorControl(DWORD error_control) { return error_control <= SERVICE_ERROR_CRITICAL; }

std::vector<std::wstring> ParseMultiString(const wchar_t* multi) {
  std::vector<std::wstring> out;
  if (multi == nullptr) return out;
  for (const wchar_t* p = multi; *p; p += std::wcslen(p) + 1) out.emplace_back(p);
  return out;
}

// The display name may equal no other service's name or display name.
bool DisplayNameTakenLocked(const std::wstring& display_name, const ServiceEntry* self) {
  for (const auto& entry : Database().services) {
    if (entry.get() == self) continue;
    if (EqualsNoCase(entry->name, display_name) ||
        EqualsNoCase(entry->display_name, display_name)) {
      return true;
    }
  }
  return false;
}

// ----- Access ----------------------------------------------------------------------------------

bool Privileged(const Token& token) { return token.administrator || IsSystemSid(token.user_sid); }

struct Mapping {
  ACCESS_MASK read, write, execute, all;
};

constexpr Mapping kScmMapping = {
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK,
    SC_MANAGER_ALL_ACCESS,
};

constexpr Mapping kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
        SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS,
};

// What the default security of the SCM and of a service grants: everything to administrators
// and LocalSystem; reading, interrogating and user-defined controls to other users.
constexpr ACCESS_MASK kScmUserAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr ACCESS_MASK kServiceUserAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                           SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                           SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// Grants `desired` (generic rights mapped, MAXIMUM_ALLOWED expanded) or answers access denied.
DWORD GrantLocked(ACCESS_MASK desired, const Mapping& mapping, ACCESS_MASK user_access,
                  ACCESS_MASK* granted) {
  const ACCESS_MASK allowed = Privileged(*EffectiveTokenLocked()) ? mapping.all : user_access;
  ACCESS_MASK wanted =
      desired & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                          GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) wanted |= mapping.read;
  if (desired & GENERIC_WRITE) wanted |= mapping.write;
  if (desired & GENERIC_EXECUTE) wanted |= mapping.execute;
  if (desired & GENERIC_ALL) wanted |= mapping.all;
  if (desired & MAXIMUM_ALLOWED) wanted |= allowed;
  if (wanted & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = wanted;
  return NO_ERROR;
}

DWORD ServiceOfHandleLocked(SC_HANDLE handle, ACCESS_MASK needed,
                            std::shared_ptr<ServiceEntry>* entry) {
  auto object = LookupAsLocked<ServiceObject>(H(handle));
  if (!object) return ERROR_INVALID_HANDLE;
  if ((HandleAccessLocked(H(handle)) & needed) != needed) return ERROR_ACCESS_DENIED;
  *entry = object->entry;
  return NO_ERROR;
}

SC_HANDLE NewServiceHandleLocked(const std::shared_ptr<ServiceEntry>& entry, ACCESS_MASK access) {
  return reinterpret_cast<SC_HANDLE>(
      AddHandleLocked(std::make_shared<ServiceObject>(entry), access));
}

// The program file of a service's image path, which may be quoted and carry arguments.
std::wstring ImageOf(const std::wstring& image_path) {
  if (!image_path.empty() && image_path[0] == L'"') {
    const size_t close = image_path.find(L'"', 1);
    return image_path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  }
  const size_t exe = Upper(image_path).find(L".EXE");
  return exe == std::wstring::npos ? image_path : image_path.substr(0, exe + 4);
}

// ----- Processes and controls ----------------------------------------------------------------

void RunServiceProcess(std::shared_ptr<ServiceProcess> process, ServiceProgram program) {
  JoinProcess(process->record);
  {
    Lock lock(MachineLock());
    if (!process->token) process->token = MakeTokenLocked(process->identity);
    SetThreadIdentityLocked(process->identity, process->token);
    process->main_thread = std::this_thread::get_id();
  }
  t_process = process;
  const int code = [&] {
    ProductCode product;
    return program();
  }();
  t_process.reset();

  Lock lock(MachineLock());
  process->exited = true;
  process->exit_code = code;
  Database().status_handles.erase(process->status_handle);
  auto entry = process->service;
  entry->last_exit_code = code;
  if (entry->process == process) {
    entry->process = nullptr;
    if (entry->status.dwCurrentState != SERVICE_STOPPED) {
      // The process ended without reporting SERVICE_STOPPED: the SCM notices the exit.
      entry->status.dwCurrentState = SERVICE_STOPPED;
      entry->status.dwControlsAccepted = 0;
      entry->status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
      entry->status.dwCheckPoint = 0;
      entry->status.dwWaitHint = 0;
    }
    MaybeRemoveLocked(entry);
  }
  // The program has returned: the process ends, and with it every thread it started.
  EndProcessLocked(*process->record);
  MachineSignal().notify_all();
}

DWORD StartLocked(Lock& lock, const std::shared_ptr<ServiceEntry>& entry,
                  const std::vector<std::wstring>& args) {
  if (entry->marked_for_delete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (entry->start_type == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  // A process that reported SERVICE_STOPPED no longer serves the service, even while it is
  // still ending; a new start gets a process of its own.
  if (entry->status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  if (!entry->program) return ERROR_FILE_NOT_FOUND;  // no image to run

  auto process = std::make_shared<ServiceProcess>();
  process->service = entry;
  process->identity = LocalSystem(ImageOf(entry->image_path));
  process->identity.command_line = entry->image_path;
  // When the host plays this service's program (its process identity is the service's), the
  // threads that the program's code starts act as that identity and belong to this process.
  process->record = NewProcessLocked(IsProcessIdentityLocked(process->identity));
  process->arg_text.push_back(entry->name);
  process->arg_text.insert(process->arg_text.end(), args.begin(), args.end());
  ServiceProgram program = entry->program;

  entry->process = process;
  Database().next_process_id += 4;
  entry->process_id = Database().next_process_id;
  entry->status =
      SERVICE_STATUS{entry->service_type, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 2000};
  try {
    std::thread(RunServiceProcess, process, std::move(program)).detach();
  } catch (const std::system_error&) {
    MarkEndedLocked(*process->record);
    entry->process = nullptr;
    entry->status = NeverStarted(entry->service_type);
    return ERROR_NOT_ENOUGH_MEMORY;
  }

  const auto deadline = Clock::now() + Database().start_timeout;
  MachineSignal().wait_until(lock, deadline, [&] {
    return process->connected || process->start_error != NO_ERROR || process->exited ||
           process->abandoned;
  });
  if (process->connected) return NO_ERROR;

  // The process did not connect (in time): the SCM gives up on it.
  process->start_given_up = true;
  DWORD error =
      process->start_error != NO_ERROR ? process->start_error : ERROR_SERVICE_REQUEST_TIMEOUT;
  if (entry->process == process) {
    entry->process = nullptr;
    entry->status = SERVICE_STATUS{entry->service_type, SERVICE_STOPPED, 0, error, 0, 0, 0};
    MaybeRemoveLocked(entry);
  }
  MachineSignal().notify_all();
  return error;
}

bool Accepts(DWORD accepted, DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_PARAMCHANGE: return accepted & SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return accepted & SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_SHUTDOWN: return accepted & SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PRESHUTDOWN: return accepted & SERVICE_ACCEPT_PRESHUTDOWN;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
      return accepted & SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
    case SERVICE_CONTROL_POWEREVENT: return accepted & SERVICE_ACCEPT_POWEREVENT;
    case SERVICE_CONTROL_SESSIONCHANGE: return accepted & SERVICE_ACCEPT_SESSIONCHANGE;
    case SERVICE_CONTROL_TIMECHANGE: return accepted & SERVICE_ACCEPT_TIMECHANGE;
    case SERVICE_CONTROL_TRIGGEREVENT: return accepted & SERVICE_ACCEPT_TRIGGEREVENT;
    default: return true;  // interrogate, device events and user-defined codes
  }
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

// The errors with which ControlService still fills in the caller's status.
bool FillsStatus(DWORD error) {
  return error == NO_ERROR || error == ERROR_INVALID_SERVICE_CONTROL ||
         error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_SERVICE_NOT_ACTIVE;
}

// Hands a control to the service's dispatcher thread and waits for its handler, as the SCM does.
DWORD DeliverLocked(Lock& lock, const std::shared_ptr<ServiceEntry>& entry, DWORD control,
                    DWORD event_type, std::vector<uint8_t> data, SERVICE_STATUS* status) {
  DWORD result = NO_ERROR;
  const DWORD state = entry->status.dwCurrentState;
  const std::shared_ptr<ServiceProcess> process = entry->process;
  if (state == SERVICE_STOPPED) {
    result = ERROR_SERVICE_NOT_ACTIVE;
  } else if (IsPending(state)) {
    // A service on its way from one state to another takes no control, a stop during
    // START_PENDING included, whatever its report says it accepts.
    result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else if (!Accepts(entry->status.dwControlsAccepted, control)) {
    result = ERROR_INVALID_SERVICE_CONTROL;
  } else if (!process || !process->connected || process->abandoned) {
    result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else {
    auto request = std::make_shared<ControlRequest>();
    request->control = control;
    request->event_type = event_type;
    request->data = std::move(data);
    process->queue.push_back(request);
    MachineSignal().notify_all();
    const auto deadline = Clock::now() + Database().control_timeout;
    if (!MachineSignal().wait_until(lock, deadline, [&] { return request->done; })) {
      auto& queue = process->queue;
      queue.erase(std::remove(queue.begin(), queue.end(), request), queue.end());
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    result = request->result;
  }
  if (status && FillsStatus(result)) *status = PlainStatusOf(*entry);
  return result;
}

// Runs on the thread that called StartServiceCtrlDispatcherW (`function`) until the service is
// done. Between two controls the thread is blocked for the blocked-thread query.
void DispatchLocked(Lock& lock, const std::shared_ptr<ServiceProcess>& process,
                    const char* function) {
  for (;;) {
    const auto next = [&] {
      return !process->queue.empty() || process->abandoned || process->record->ended ||
             (process->stopped_reported && process->main_returned);
    };
    {
      BlockedWait blocked(function, WaitedObject{"service-controls", process->service->name, {}},
                          next);
      MachineSignal().wait(lock, next);
    }
    // A process that has ended from outside (a restart) is gone: its dispatcher never returns.
    StopIfProcessEndedLocked(lock);
    if (process->abandoned) break;
    if (process->queue.empty()) break;  // stopped and ServiceMain has returned
    auto request = process->queue.front();
    process->queue.pop_front();
    request->taken = true;
    LPHANDLER_FUNCTION_EX handler = process->handler;
    void* context = process->context;
    lock.unlock();
    DWORD result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (handler) {
      ProductCode product;
      result = handler(request->control, request->event_type,
                       request->data.empty() ? nullptr : request->data.data(), context);
    }
    lock.lock();
    request->result = result;
    request->done = true;
    MachineSignal().notify_all();
  }
  for (auto& request : process->queue) {
    request->result = ERROR_SERVICE_NOT_ACTIVE;
    request->done = true;
  }
  process->queue.clear();
  MachineSignal().notify_all();
}

void RunServiceMain(std::shared_ptr<ServiceProcess> process, LPSERVICE_MAIN_FUNCTIONW main) {
  JoinProcess(process->record);
  {
    Lock lock(MachineLock());
    SetThreadIdentityLocked(process->identity, process->token);
  }
  t_process = process;
  {
    ProductCode product;
    main(static_cast<DWORD>(process->arg_text.size()), process->argv.data());
  }
  t_process.reset();
  Lock lock(MachineLock());
  process->main_returned = true;
  MachineSignal().notify_all();
}

}  // namespace

// ----- Rows of the table of areas, and the restart -------------------------------------------

void ServicesProcessEndedLocked(const SimProcess& record) {
  // A service process ended from outside (a restart) without reporting SERVICE_STOPPED: the SCM
  // notices the exit.
  for (const auto& entry : Database().services) {
    const std::shared_ptr<ServiceProcess> process = entry->process;
    if (!process || process->record.get() != &record) continue;
    process->abandoned = true;
    Database().status_handles.erase(process->status_handle);
    entry->process = nullptr;
    entry->status =
        SERVICE_STATUS{entry->service_type, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
  }
}

void RestartServicesLocked(Lock& lock) {
  // Services marked for deletion are deleted at boot, and no other has run since.
  auto& services = Database().services;
  for (const auto& entry : services) {
    if (entry->marked_for_delete) DeleteServiceKeyLocked(*entry);
  }
  services.erase(std::remove_if(services.begin(), services.end(),
                                [](const auto& entry) { return entry->marked_for_delete; }),
                 services.end());
  for (const auto& entry : services) {
    entry->process = nullptr;
    entry->status = NeverStarted(entry->service_type);
  }
  // A copy: a start waits with the lock released, while the database may change.
  const std::vector<std::shared_ptr<ServiceEntry>> installed = services;
  for (const auto& entry : installed) {
    if (entry->start_type == SERVICE_AUTO_START) StartLocked(lock, entry, {});
  }
}

void SnapshotServicesLocked(Snapshot& out) {
  auto named = [](DWORD value, std::initializer_list<std::pair<DWORD, const char*>> names) {
    for (const auto& [number, name] : names) {
      if (number == value) return std::string(name);
    }
    return std::to_string(value);
  };
  for (const auto& entry : Database().services) {
    const std::string name = Utf8(entry->name);
    std::string registration =
        "image \"" + Utf8(entry->image_path) + "\", account \"" + Utf8(entry->account) +
        "\", type " +
        named(entry->service_type, {{SERVICE_WIN32_OWN_PROCESS, "own process"},
                                    {SERVICE_WIN32_SHARE_PROCESS, "shared process"}}) +
        ", error control " + std::to_string(entry->error_control);
    if (entry->display_name != entry->name) {
      registration += ", display name \"" + Utf8(entry->display_name) + "\"";
    }
    if (!entry->load_order_group.empty()) {
      registration += ", group \"" + Utf8(entry->load_order_group) + "\"";
    }
    if (!entry->dependencies.empty())
      registration += ", depends on " + ListText(entry->dependencies);
    if (entry->marked_for_delete) registration += ", marked for deletion";
    out.Put("services", name, registration);
    out.Put("services", name + " start type",
            named(entry->start_type, {{SERVICE_BOOT_START, "boot"},
                                      {SERVICE_SYSTEM_START, "system"},
                                      {SERVICE_AUTO_START, "auto"},
                                      {SERVICE_DEMAND_START, "demand"},
                                      {SERVICE_DISABLED, "disabled"}}));
    out.Put("services", name + " state",
            named(entry->status.dwCurrentState, {{SERVICE_STOPPED, "stopped"},
                                                 {SERVICE_START_PENDING, "start pending"},
                                                 {SERVICE_STOP_PENDING, "stop pending"},
                                                 {SERVICE_RUNNING, "running"},
                                                 {SERVICE_CONTINUE_PENDING, "continue pending"},
                                                 {SERVICE_PAUSE_PENDING, "pause pending"},
                                                 {SERVICE_PAUSED, "paused"}}));
  }
}

// ----- Test-facing side --------------------------------------------------------------------------

void ResetServicesLocked() {
  // Threads of running service processes cannot be ended; they are cut off from the machine and
  // finish on their own (the dispatcher returns, the status handle stops working).
  for (const auto& entry : Database().services) {
    if (entry->process) entry->process->abandoned = true;
    entry->process = nullptr;
  }
  for (auto& [handle, weak] : Database().status_handles) {
    if (auto process = weak.lock()) process->abandoned = true;
  }
  Database().services.clear();
  Database().status_handles.clear();
  Database().start_timeout = std::chrono::milliseconds(30000);
  Database().control_timeout = std::chrono::milliseconds(30000);
  MachineSignal().notify_all();
}

void InstallService(const ServiceSpec& spec) {
  Lock lock(MachineLock());
  auto entry = FindLocked(spec.name);
  if (!entry) {
    entry = std::make_shared<ServiceEntry>();
    Database().services.push_back(entry);
  }
  entry->name = spec.name;
  entry->display_name = spec.display_name.empty() ? spec.name : spec.display_name;
  entry->image_path = spec.image_path;
  entry->service_type = spec.service_type;
  entry->start_type = spec.start_type;
  entry->error_control = spec.error_control;
  entry->account = spec.account;
  entry->program = spec.program;
  entry->marked_for_delete = false;
  if (!entry->process) entry->status = NeverStarted(spec.service_type);
}

bool SetServiceProgram(const std::wstring& name, ServiceProgram program) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return false;
  entry->program = std::move(program);
  return true;
}

bool ServiceExists(const std::wstring& name) {
  Lock lock(MachineLock());
  return FindLocked(name) != nullptr;
}

DWORD StartServiceAsScm(const std::wstring& name, const std::vector<std::wstring>& args) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return ERROR_SERVICE_DOES_NOT_EXIST;
  return StartLocked(lock, entry, args);
}

DWORD SendServiceControl(const std::wstring& name, DWORD control, SERVICE_STATUS* status) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return ERROR_SERVICE_DOES_NOT_EXIST;
  return DeliverLocked(lock, entry, control, 0, {}, status);
}

DWORD SendSystemControl(const std::wstring& name, DWORD control, DWORD event_type,
                        const void* event_data, size_t event_data_size) {
  std::vector<uint8_t> data;
  if (event_data != nullptr && event_data_size > 0) {
    const auto* bytes = static_cast<const uint8_t*>(event_data);
    data.assign(bytes, bytes + event_data_size);
  }
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return ERROR_SERVICE_DOES_NOT_EXIST;
  return DeliverLocked(lock, entry, control, event_type, std::move(data), nullptr);
}

DWORD SendSessionChange(const std::wstring& name, DWORD event_type, DWORD session_id) {
  WTSSESSION_NOTIFICATION notification = {sizeof(WTSSESSION_NOTIFICATION), session_id};
  return SendSystemControl(name, SERVICE_CONTROL_SESSIONCHANGE, event_type, &notification,
                           sizeof(notification));
}

DWORD SendPowerEvent(const std::wstring& name, DWORD event_type) {
  return SendSystemControl(name, SERVICE_CONTROL_POWEREVENT, event_type, nullptr, 0);
}

std::vector<SERVICE_STATUS> ServiceStatusReports(const std::wstring& name) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  return entry ? entry->reports : std::vector<SERVICE_STATUS>{};
}

SERVICE_STATUS_PROCESS ServiceStatusNow(const std::wstring& name) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  return entry ? StatusOf(*entry) : SERVICE_STATUS_PROCESS{};
}

bool WaitForServiceState(const std::wstring& name, DWORD state, std::chrono::milliseconds timeout) {
  Lock lock(MachineLock());
  return MachineSignal().wait_until(lock, Clock::now() + timeout, [&] {
    auto entry = FindLocked(name);
    return entry && entry->status.dwCurrentState == state;
  });
}

bool WaitForServiceProcessExit(const std::wstring& name, std::chrono::milliseconds timeout,
                               int* exit_code) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return false;
  std::shared_ptr<ServiceProcess> process = entry->process;
  // A process ended from outside (a restart) is gone as well, though its program never returned.
  if (process && !MachineSignal().wait_until(lock, Clock::now() + timeout, [&] {
        return process->exited || process->record->ended;
      })) {
    return false;
  }
  if (exit_code) *exit_code = entry->last_exit_code;
  return true;
}

DWORD ServiceStartType(const std::wstring& name) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  return entry ? entry->start_type : SERVICE_NO_CHANGE;
}

bool SetServiceStartType(const std::wstring& name, DWORD start_type) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return false;
  entry->start_type = start_type;
  return true;
}

void SetServiceTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control) {
  Lock lock(MachineLock());
  Database().start_timeout = start;
  Database().control_timeout = control;
}

}  // namespace sim

// ----- Win32: the client side --------------------------------------------------------------------

using namespace sim;

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                           DWORD dwDesiredAccess) {
  if (DWORD e = SIM_ENTER(lpMachineName, lpDatabaseName, dwDesiredAccess)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  if (lpMachineName != nullptr && *lpMachineName != 0) {
    return Fail<SC_HANDLE>(RPC_S_SERVER_UNAVAILABLE, nullptr);  // no other machines
  }
  if (lpDatabaseName != nullptr && *lpDatabaseName != 0) {
    if (std::wcscmp(lpDatabaseName, SERVICES_FAILED_DATABASEW) == 0) {
      return Fail<SC_HANDLE>(ERROR_DATABASE_DOES_NOT_EXIST, nullptr);
    }
    if (std::wcscmp(lpDatabaseName, SERVICES_ACTIVE_DATABASEW) != 0) {
      return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    }
  }
  Lock lock(MachineLock());
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kScmMapping, kScmUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  granted |= SC_MANAGER_CONNECT;  // implied by opening the manager at all
  return reinterpret_cast<SC_HANDLE>(AddHandleLocked(std::make_shared<ScManagerObject>(), granted));
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                         DWORD dwDesiredAccess) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hSCManager), lpServiceName, dwDesiredAccess)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  Lock lock(MachineLock());
  if (!LookupAsLocked<ScManagerObject>(H(hSCManager))) {
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  }
  if (lpServiceName == nullptr) return Fail<SC_HANDLE>(ERROR_INVALID_ADDRESS, nullptr);
  if (!ValidServiceName(lpServiceName)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  auto entry = FindLocked(lpServiceName);
  if (!entry) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kServiceMapping, kServiceUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  return NewServiceHandleLocked(entry, granted);
}

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                           LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                                           DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                           LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                           LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                           LPCWSTR lpPassword) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hSCManager), lpServiceName, lpDisplayName,
                          dwDesiredAccess, dwServiceType, dwStartType, dwErrorControl,
                          lpBinaryPathName)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  (void)lpPassword;  // accounts have no passwords in the simulated machine
  Lock lock(MachineLock());
  if (!LookupAsLocked<ScManagerObject>(H(hSCManager))) {
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  }
  if ((HandleAccessLocked(H(hSCManager)) & SC_MANAGER_CREATE_SERVICE) == 0) {
    return Fail<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
  }
  if (lpServiceName == nullptr) return Fail<SC_HANDLE>(ERROR_INVALID_ADDRESS, nullptr);
  if (!ValidServiceName(lpServiceName)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  if (lpBinaryPathName == nullptr || *lpBinaryPathName == 0 || !ValidServiceType(dwServiceType) ||
      !ValidStartType(dwStartType, dwServiceType) || !ValidErrorControl(dwErrorControl) ||
      lpdwTagId != nullptr) {
    return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  if (auto existing = FindLocked(lpServiceName)) {
    return Fail<SC_HANDLE>(
        existing->marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
        nullptr);
  }
  const std::wstring display =
      (lpDisplayName != nullptr && *lpDisplayName != 0) ? lpDisplayName : lpServiceName;
  if (DisplayNameTakenLocked(display, nullptr)) {
    return Fail<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);
  }
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kServiceMapping, kServiceUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  auto entry = std::make_shared<ServiceEntry>();
  entry->name = lpServiceName;
  entry->display_name = display;
  entry->image_path = lpBinaryPathName;
  entry->load_order_group = lpLoadOrderGroup ? lpLoadOrderGroup : L"";
  entry->dependencies = ParseMultiString(lpDependencies);
  entry->account = (lpServiceStartName != nullptr && *lpServiceStartName != 0)
                       ? lpServiceStartName
                       : std::wstring(L"LocalSystem");
  entry->service_type = dwServiceType;
  entry->start_type = dwStartType;
  entry->error_control = dwErrorControl;
  entry->status = NeverStarted(dwServiceType);
  Database().services.push_back(entry);
  return NewServiceHandleLocked(entry, granted);
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (DWORD e = SIM_ENTER_RELEASE(static_cast<const void*>(hSCObject))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  return CloseHandleOfKindsLocked(H(hSCObject), {&ScManagerObject::kKind, &ServiceObject::kKind});
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, DELETE, &entry)) return Fail<BOOL>(e, FALSE);
  if (entry->marked_for_delete) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  entry->marked_for_delete = true;
  MaybeRemoveLocked(entry);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService,
                                           LPQUERY_SERVICE_CONFIGW lpServiceConfig, DWORD cbBufSize,
                                           LPDWORD pcbBytesNeeded) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService),
                          static_cast<const void*>(lpServiceConfig), cbBufSize, pcbBytesNeeded)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_CONFIG, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (pcbBytesNeeded == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);

  // The strings follow the structure in the caller's buffer, each with its terminator. The
  // dependencies are a multi-string: every entry ends with a NUL and the list with one more (an
  // empty list is that one NUL).
  std::wstring dependencies;
  for (const auto& dependency : entry->dependencies) dependencies += dependency + L'\0';
  dependencies.push_back(L'\0');
  auto terminated = [](const std::wstring& text) { return text + L'\0'; };
  const std::wstring blocks[] = {terminated(entry->image_path), terminated(entry->load_order_group),
                                 dependencies, terminated(entry->account),
                                 terminated(entry->display_name)};
  size_t units = 0;
  for (const std::wstring& block : blocks) units += block.size();
  const size_t needed = sizeof(QUERY_SERVICE_CONFIGW) + units * sizeof(WCHAR);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (cbBufSize < needed) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (lpServiceConfig == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);

  WCHAR* cursor = reinterpret_cast<WCHAR*>(lpServiceConfig + 1);
  LPWSTR placed[5];
  for (size_t i = 0; i < 5; ++i) {
    placed[i] = cursor;
    cursor = std::copy(blocks[i].begin(), blocks[i].end(), cursor);
  }
  lpServiceConfig->dwServiceType = entry->service_type;
  lpServiceConfig->dwStartType = entry->start_type;
  lpServiceConfig->dwErrorControl = entry->error_control;
  lpServiceConfig->dwTagId = 0;
  lpServiceConfig->lpBinaryPathName = placed[0];
  lpServiceConfig->lpLoadOrderGroup = placed[1];
  lpServiceConfig->lpDependencies = placed[2];
  lpServiceConfig->lpServiceStartName = placed[3];
  lpServiceConfig->lpDisplayName = placed[4];
  return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType,
                                            DWORD dwStartType, DWORD dwErrorControl,
                                            LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                            LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                            LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                            LPCWSTR lpDisplayName) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwServiceType, dwStartType,
                          dwErrorControl, lpBinaryPathName, lpLoadOrderGroup,
                          static_cast<const void*>(lpdwTagId), lpDependencies, lpServiceStartName,
                          static_cast<const void*>(lpPassword), lpDisplayName)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_CHANGE_CONFIG, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (entry->marked_for_delete) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  const DWORD type = dwServiceType == SERVICE_NO_CHANGE ? entry->service_type : dwServiceType;
  const DWORD start = dwStartType == SERVICE_NO_CHANGE ? entry->start_type : dwStartType;
  const DWORD error_control =
      dwErrorControl == SERVICE_NO_CHANGE ? entry->error_control : dwErrorControl;
  if (!ValidServiceType(type) || !ValidStartType(start, type) ||
      !ValidErrorControl(error_control) || lpdwTagId != nullptr ||
      (lpBinaryPathName != nullptr && *lpBinaryPathName == 0)) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (lpDisplayName != nullptr && *lpDisplayName != 0 &&
      DisplayNameTakenLocked(lpDisplayName, entry.get())) {
    return Fail<BOOL>(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
  }
  entry->service_type = type;
  entry->start_type = start;
  entry->error_control = error_control;
  if (lpBinaryPathName != nullptr) entry->image_path = lpBinaryPathName;
  if (lpLoadOrderGroup != nullptr) entry->load_order_group = lpLoadOrderGroup;
  if (lpDependencies != nullptr) entry->dependencies = ParseMultiString(lpDependencies);
  if (lpServiceStartName != nullptr && *lpServiceStartName != 0) {
    entry->account = lpServiceStartName;
  }
  if (lpDisplayName != nullptr && *lpDisplayName != 0) entry->display_name = lpDisplayName;
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService),
                          static_cast<const void*>(lpServiceStatus))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_STATUS, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (lpServiceStatus == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  *lpServiceStatus = PlainStatusOf(*entry);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel,
                                            LPBYTE lpBuffer, DWORD cbBufSize,
                                            LPDWORD pcbBytesNeeded) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), static_cast<int>(InfoLevel),
                          static_cast<const void*>(lpBuffer), cbBufSize, pcbBytesNeeded)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail<BOOL>(ERROR_INVALID_LEVEL, FALSE);
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_STATUS, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (pcbBytesNeeded == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (lpBuffer == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  const SERVICE_STATUS_PROCESS status = StatusOf(*entry);
  std::memcpy(lpBuffer, &status, sizeof(status));
  return TRUE;
}

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                                     LPCWSTR* lpServiceArgVectors) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwNumServiceArgs,
                          static_cast<const void*>(lpServiceArgVectors))) {
    return Fail<BOOL>(e, FALSE);
  }
  if (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::vector<std::wstring> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (lpServiceArgVectors[i] == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    args.emplace_back(lpServiceArgVectors[i]);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_START, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (DWORD e = StartLocked(lock, entry, args)) return Fail<BOOL>(e, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl,
                                      LPSERVICE_STATUS lpServiceStatus) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwControl,
                          static_cast<const void*>(lpServiceStatus))) {
    return Fail<BOOL>(e, FALSE);
  }
  // Only these can be sent by a program; the system alone sends the others.
  ACCESS_MASK needed = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: needed = SERVICE_PAUSE_CONTINUE; break;
    default:
      if (dwControl < 128 || dwControl > 255) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
      needed = SERVICE_USER_DEFINED_CONTROL;
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, needed, &entry)) return Fail<BOOL>(e, FALSE);
  if (lpServiceStatus == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  if (DWORD e = DeliverLocked(lock, entry, dwControl, 0, {}, lpServiceStatus)) {
    return Fail<BOOL>(e, FALSE);
  }
  return TRUE;
}

// ----- Win32: the service side -------------------------------------------------------------------

extern "C" BOOL WINAPI
StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(lpServiceStartTable))) {
    return Fail<BOOL>(e, FALSE);
  }
  std::shared_ptr<ServiceProcess> process = t_process;
  Lock lock(MachineLock());
  if (!process || process->main_thread != std::this_thread::get_id()) {
    return Fail<BOOL>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
  }
  if (process->dispatcher_called) return Fail<BOOL>(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  process->dispatcher_called = true;
  if (process->start_given_up || process->abandoned) {
    return Fail<BOOL>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
  }

  auto fail_start = [&](DWORD error) {
    process->start_error = error;
    MachineSignal().notify_all();
    return Fail<BOOL>(error, FALSE);
  };
  if (lpServiceStartTable == nullptr) return fail_start(ERROR_INVALID_PARAMETER);
  size_t count = 0;
  while (lpServiceStartTable[count].lpServiceName != nullptr) {
    if (lpServiceStartTable[count].lpServiceProc == nullptr) return fail_start(ERROR_INVALID_DATA);
    ++count;
  }
  if (count == 0) return fail_start(ERROR_INVALID_PARAMETER);

  // A process of its own serves its one service whatever name the table gives it.
  const auto& entry = process->service;
  const SERVICE_TABLE_ENTRYW* chosen = nullptr;
  if (count == 1 && (entry->service_type & SERVICE_WIN32_OWN_PROCESS)) {
    chosen = &lpServiceStartTable[0];
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (EqualsNoCase(lpServiceStartTable[i].lpServiceName, entry->name)) {
        chosen = &lpServiceStartTable[i];
      }
    }
  }
  if (chosen == nullptr) return fail_start(ERROR_SERVICE_NOT_IN_EXE);

  process->single_entry_table = count == 1;
  process->table_name = chosen->lpServiceName;
  process->argv.clear();
  for (auto& text : process->arg_text) process->argv.push_back(text.data());
  process->argv.push_back(nullptr);
  process->dispatcher_thread = std::this_thread::get_id();
  try {
    std::thread(RunServiceMain, process, chosen->lpServiceProc).detach();
  } catch (const std::system_error&) {
    return fail_start(ERROR_SERVICE_NO_THREAD);
  }
  process->connected = true;
  MachineSignal().notify_all();

  DispatchLocked(lock, process, __func__);
  return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(
    LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc, LPVOID lpContext) {
  if (DWORD e = SIM_ENTER(lpServiceName, reinterpret_cast<const void*>(lpHandlerProc),
                          static_cast<const void*>(lpContext))) {
    return Fail<SERVICE_STATUS_HANDLE>(e, nullptr);
  }
  std::shared_ptr<ServiceProcess> process = t_process;
  Lock lock(MachineLock());
  if (!process || !process->connected || process->abandoned) {
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  // For a service in a process of its own Windows does not check the name.
  const bool own_process =
      process->single_entry_table && (process->service->service_type & SERVICE_WIN32_OWN_PROCESS);
  if (!own_process &&
      (lpServiceName == nullptr || !EqualsNoCase(lpServiceName, process->table_name))) {
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  if (lpHandlerProc == nullptr)
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  process->handler = lpHandlerProc;
  process->context = lpContext;
  if (process->status_handle == 0) {
    process->status_handle = Database().next_status_handle;
    Database().next_status_handle += 8;
    Database().status_handles[process->status_handle] = process;
  }
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(process->status_handle);
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                                        LPSERVICE_STATUS lpServiceStatus) {
  std::wstring args = Args(static_cast<const void*>(hServiceStatus));
  if (lpServiceStatus != nullptr) {
    args += L", state " + ArgText(lpServiceStatus->dwCurrentState) + L", accepts " +
            ArgText(lpServiceStatus->dwControlsAccepted) + L", exit " +
            ArgText(lpServiceStatus->dwWin32ExitCode);
  }
  if (DWORD e = Enter(__func__, std::move(args))) return Fail<BOOL>(e, FALSE);
  Lock lock(MachineLock());
  auto found = Database().status_handles.find(reinterpret_cast<uintptr_t>(hServiceStatus));
  std::shared_ptr<ServiceProcess> process =
      found == Database().status_handles.end() ? nullptr : found->second.lock();
  if (!process || process->exited || process->abandoned || process->service->process != process) {
    return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  if (lpServiceStatus == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    return Fail<BOOL>(ERROR_INVALID_DATA, FALSE);
  }
  auto& entry = process->service;
  entry->reports.push_back(*lpServiceStatus);
  entry->status = *lpServiceStatus;
  entry->status.dwServiceType = entry->service_type;
  process->stopped_reported = lpServiceStatus->dwCurrentState == SERVICE_STOPPED;
  MachineSignal().notify_all();
  return TRUE;
}
