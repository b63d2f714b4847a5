#include "loader/service_host.h"

#include <atomic>
#include <mutex>

#include "common/failure_boundary.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/registry_layout.h"
#include "loader/controller.h"
#include "loader/integrity.h"

namespace dpal {

namespace {

constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;  // 0xC1
constexpr DWORD kWaitHintMs = 60000;
constexpr DWORD kReadyEventWaitMs = 2000;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 255;

// Written once by ServiceMain before its first report; read by the control handler.
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{};

// Set by the control handler when a stop was requested. Together with the controller's "was
// started" mark it makes sure a stop always ends ServiceMain's wait: the handler sets this and
// then looks at the mark, ServiceMain sets the mark and then looks at this (both sequentially
// consistent), so at least one of the two sees the other and calls Stop.
std::atomic<bool> g_stop_requested{false};

// Reports are serialised, and once SERVICE_STOPPED has gone out nothing more is said: a stop
// request handled on the dispatcher thread while ServiceMain finishes must not report
// STOP_PENDING after STOPPED.
std::mutex g_report_lock;
bool g_stopped_reported = false;  // guarded by g_report_lock

// Every report is built here, so that the fixed fields cannot differ between reports. False
// when the report could not be made.
bool ReportStatus(DWORD state) {
  std::lock_guard<std::mutex> guard(g_report_lock);
  if (g_stopped_reported) return true;
  g_stopped_reported = state == SERVICE_STOPPED;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = kControlsAccepted;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = kWaitHintMs;
  return SetServiceStatus(g_status_handle.load(), &status) != FALSE;
}

CDPALMainController* InstanceOrNull() {
  return ContainFailure(nullptr, [] { return CDPALMainController::GetInstance(); });
}

// Asks the start type; false when any step of the query fails.
bool QueryStartType(DWORD* start_type) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueScHandle service(OpenServiceW(manager.get(), layout::kServiceName, SERVICE_QUERY_CONFIG));
  if (!service) return false;
  SetLastError(0);
  DWORD needed = 0;
  if (QueryServiceConfigW(service.get(), nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  UniqueLocalMemory buffer(LocalAlloc(LMEM_FIXED, needed));
  if (!buffer) return false;
  auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return false;
  *start_type = config->dwStartType;
  return true;
}

}  // namespace

void ResetServiceProcessStateForTesting() {
  {
    std::lock_guard<std::mutex> guard(g_report_lock);
    g_stopped_reported = false;
  }
  g_stop_requested.store(false);
  g_status_handle.store(nullptr);
  CDPALMainController::ForgetInstanceForTesting();
  ForgetProcessTrustStateForTesting();
}

int RunServiceProcess() {
  RestrictLibrarySearchToSystemDirectory();
  // The table takes a writable name.
  WCHAR name[kPathUnits];
  Copy(name, layout::kServiceName);
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  const WCHAR* name =
      (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : layout::kServiceName;
  const SERVICE_STATUS_HANDLE status_handle =
      RegisterServiceCtrlHandlerExW(name, ServiceControlHandler, nullptr);
  // Without a handler the service can neither report its state nor receive a stop: it would run
  // on where nothing can stop it. ServiceMain returns at once instead, having started nothing.
  if (status_handle == nullptr) return;
  g_status_handle.store(status_handle);
  // ServiceMain is a boundary: a failure that throws anywhere in the service's life ends that
  // life as the steps after a failure do, with SERVICE_STOPPED, rather than the process.
  ContainFailure(false, [] {
    ReportStatus(SERVICE_START_PENDING);
    {
      // Sessions are only usable once terminal services are ready; wait a bounded time for it.
      UniqueEvent ready(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TermSrvReadyEvent"));
      if (ready) WaitForSingleObject(ready.get(), kReadyEventWaitMs);
    }
    CDPALMainController* controller = InstanceOrNull();
    if (controller == nullptr) return true;
    // A service that could not say it runs is still starting for the SCM, which sends it no
    // stop: it starts nothing and stops.
    if (!ReportStatus(SERVICE_RUNNING)) return false;
    if (controller->IsSupported()) {
      controller->Start();
      if (g_stop_requested.load()) controller->Stop();
      controller->Wait();
    } else {
      SwitchToDemandStart();
    }
    return true;
  });
  ReportStatus(SERVICE_STOPPED);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, LPVOID /*event_data*/,
                                   LPVOID /*context*/) {
  // The handler is a boundary too: whatever a control meets, the dispatcher gets NO_ERROR.
  ContainFailure(false, [&] {
    if (control == SERVICE_CONTROL_STOP) {
      ReportStatus(SERVICE_STOP_PENDING);
      g_stop_requested.store(true);
      if (CDPALMainController* controller = InstanceOrNull()) {
        // Stop when the machine still qualifies, and also whenever the sub-controllers were
        // started: their completion events are what ends ServiceMain's wait, so a device that
        // disappeared while the service ran must not leave the service stuck in STOP_PENDING.
        if (controller->IsSupported() || controller->WasStarted()) controller->Stop();
      }
    } else if (control == SERVICE_CONTROL_SESSIONCHANGE ||
               (control >= kFirstUserControl && control <= kLastUserControl)) {
      ForwardServiceControl(control, event_type);
    }
    return true;
  });
  return NO_ERROR;
}

bool ForwardServiceControl(DWORD control, DWORD event_type) {
  return ContainFailure(false, [&] {
    CDPALMainController* controller = CDPALMainController::GetInstance();
    if (controller == nullptr) return false;
    controller->OnServiceControl(control, event_type);
    return true;
  });
}

bool SwitchToDemandStart() {
  DWORD start_type = 0;
  if (!QueryStartType(&start_type) || start_type != SERVICE_AUTO_START) return true;
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return true;
  UniqueScHandle service(OpenServiceW(manager.get(), layout::kServiceName, SERVICE_CHANGE_CONFIG));
  if (!service) return true;
  ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  return true;
}

}  // namespace dpal
