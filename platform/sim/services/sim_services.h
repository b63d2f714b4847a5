// The test side of the service control manager: services, their programs, the SCM's own
// starts and controls, and the status reports the services sent.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/services/winsvc.h"

namespace sim {

// ----- Service control manager --------------------------------------------------------------

// The program of a service's process: it plays the image's entry point, so it calls
// StartServiceCtrlDispatcherW as the real program does, and returns the process's exit code. It
// runs on a thread the SCM starts, as LocalSystem with the service's image path; ServiceMain runs
// on another such thread. Threads the program starts itself act as the process identity
// (SetProcessIdentity), as every thread without one of its own does.
using ServiceProgram = std::function<int()>;

struct ServiceSpec {
  std::wstring name;
  std::wstring display_name;  // empty: the name
  std::wstring image_path;
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  // What QueryServiceConfigW reports; the process runs as LocalSystem whatever it says.
  std::wstring account = L"LocalSystem";
  // Empty: the service has no image to run, and starting it fails with ERROR_FILE_NOT_FOUND.
  ServiceProgram program;
};

// Registers a service with the SCM, as an installer does; a service of that name is
// reconfigured (a running one keeps running). A new service is stopped and never started.
void InstallService(const ServiceSpec& spec);
// Gives a service (one made with CreateServiceW, say) the program its process runs.
bool SetServiceProgram(const std::wstring& name, ServiceProgram program);
bool ServiceExists(const std::wstring& name);
// The start type, or SERVICE_NO_CHANGE when there is no such service.
DWORD ServiceStartType(const std::wstring& name);
bool SetServiceStartType(const std::wstring& name, DWORD start_type);

// Starts a service as the SCM does by itself (at boot, say): no handle, no access check. Waits,
// like StartServiceW, until the process has called StartServiceCtrlDispatcherW and ServiceMain is
// starting, and answers what StartServiceW would fail with, or NO_ERROR. argv[0] of ServiceMain
// is the service name, followed by `args`.
DWORD StartServiceAsScm(const std::wstring& name, const std::vector<std::wstring>& args = {});

// Sends a control as ControlService does, without a handle or access check: NO_ERROR or the
// error ControlService would give (the handler's own error included). `status` (when given)
// receives the status as ControlService fills it. A handler that does not return in time, or
// whose process ends before it returns, gives ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD SendServiceControl(const std::wstring& name, DWORD control, SERVICE_STATUS* status = nullptr);
// Controls that only the system sends. Like the SCM, these reach only a service that is running
// (ERROR_SERVICE_CANNOT_ACCEPT_CTRL while its last report is a pending state) and accepts them in
// its last report (ERROR_INVALID_SERVICE_CONTROL otherwise); they run on the dispatcher thread
// like any control. A session change carries its WTS_* event type and a
// WTSSESSION_NOTIFICATION with the session ID; a power event its PBT_* type and no data.
DWORD SendSessionChange(const std::wstring& name, DWORD event_type, DWORD session_id);
DWORD SendPowerEvent(const std::wstring& name, DWORD event_type);
DWORD SendSystemControl(const std::wstring& name, DWORD control, DWORD event_type,
                        const void* event_data, size_t event_data_size);

// Every status report the service sent with SetServiceStatus since it was installed, in order,
// with all fields as sent.
std::vector<SERVICE_STATUS> ServiceStatusReports(const std::wstring& name);
// The status the SCM holds now, as QueryServiceStatusEx gives it (all zero for no service).
SERVICE_STATUS_PROCESS ServiceStatusNow(const std::wstring& name);
// Waits for the SCM's state of the service to become `state`; false when the time ran out.
bool WaitForServiceState(const std::wstring& name, DWORD state, std::chrono::milliseconds timeout);
// Waits until no process runs for the service; false when the time ran out. The exit code of
// the last process goes to `exit_code`.
bool WaitForServiceProcessExit(const std::wstring& name, std::chrono::milliseconds timeout,
                               int* exit_code = nullptr);
// How long a start waits for the process to connect and a control for the handler to return
// (30 s each, as on Windows, until the next Reset).
void SetServiceTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control);

}  // namespace sim
