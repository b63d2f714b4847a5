// The processes the SCM starts for services, and their control dispatcher.
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
#include <system_error>
#include <thread>

#include "platform/sim/kernel/call_depth.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/services/internal.h"
#include "platform/sim/services/scm.h"

namespace sim {
using namespace scm;  // the database's names, shared by the services area's files
}  // namespace sim

namespace sim::scm {
namespace {

// The service process the calling thread belongs to (its main thread and ServiceMain thread).
thread_local std::shared_ptr<ServiceProcess> t_process;

}  // namespace
}  // namespace sim::scm

namespace sim::scm {

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
  EndProcessLocked(lock, process->record, ProcessEnd::Returned);
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
  process->record =
      NewProcessLocked(IsProcessIdentityLocked(process->identity), ImageOf(entry->image_path));
  process->arg_text.push_back(entry->name);
  process->arg_text.insert(process->arg_text.end(), args.begin(), args.end());
  ServiceProgram program = entry->program;

  entry->process = process;
  entry->last_record = process->record;
  Database().next_process_id += 4;
  entry->process_id = Database().next_process_id;
  entry->status =
      SERVICE_STATUS{entry->service_type, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 2000};
  try {
    std::thread(RunServiceProcess, process, std::move(program)).detach();
  } catch (const std::system_error&) {
    MarkEndedLocked(*process->record);
    process->record->released = true;
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
    // A process that ends while its handler runs (a fail-fast in it) never answers: the SCM
    // notices the end at once rather than at the time-out, and answers as for a time-out.
    const auto deadline = Clock::now() + Database().control_timeout;
    if (!MachineSignal().wait_until(lock, deadline,
                                    [&] { return request->done || process->record->ended; }) ||
        !request->done) {
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
    ResumeInTurnLocked(lock);
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

}  // namespace sim::scm

namespace sim {

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
  // A process ended from outside (a restart) is gone as well, though its program never returned;
  // either way it is gone once what it held has been released, which may come after its
  // SERVICE_STOPPED report.
  const std::shared_ptr<SimProcess> record = entry->last_record;
  if (record &&
      !MachineSignal().wait_until(lock, Clock::now() + timeout, [&] { return record->released; })) {
    return false;
  }
  if (exit_code) *exit_code = entry->last_exit_code;
  return true;
}

void SetServiceTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control) {
  Lock lock(MachineLock());
  Database().start_timeout = start;
  Database().control_timeout = control;
}

}  // namespace sim

using namespace sim;

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
