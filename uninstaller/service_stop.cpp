// Stopping the loader service before the cleanup: a stop request for a running service, then a
// bounded wait for the stopped state, so that no profile restore of the service races the
// removal of the profiles.
#include "common/handles.h"
#include "common/registry_layout.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

// The longest the cleanup waits for the service to stop, from the stop request on.
constexpr ULONGLONG kStopBoundMs = 20000;
// Between two status queries: a tenth of the service's wait hint, within these limits.
constexpr DWORD kShortestPauseMs = 50;
constexpr DWORD kLongestPauseMs = 500;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof(status), &needed) != FALSE;
}

// Waits until the service reports SERVICE_STOPPED, for at most kStopBoundMs. A service whose
// checkpoint has not moved for longer than its wait hint has given up stopping, as the service
// control manager judges it, and is not waited for any longer; nor is one whose status can no
// longer be read.
void WaitUntilStopped(SC_HANDLE service, SERVICE_STATUS_PROCESS status) {
  const ULONGLONG start = GetTickCount64();
  ULONGLONG last_progress = start;
  DWORD checkpoint = status.dwCheckPoint;
  while (status.dwCurrentState != SERVICE_STOPPED) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG elapsed = now - start;
    if (elapsed >= kStopBoundMs) return;
    if (status.dwCheckPoint != checkpoint) {
      checkpoint = status.dwCheckPoint;
      last_progress = now;
    } else if (status.dwWaitHint != 0 && now - last_progress > status.dwWaitHint) {
      return;
    }
    DWORD pause = status.dwWaitHint / 10;
    if (pause < kShortestPauseMs) pause = kShortestPauseMs;
    if (pause > kLongestPauseMs) pause = kLongestPauseMs;
    if (pause > kStopBoundMs - elapsed) pause = static_cast<DWORD>(kStopBoundMs - elapsed);
    Sleep(pause);
    if (!QueryStatus(service, status)) return;
  }
}

}  // namespace

void StopLoaderService() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  UniqueScHandle service(OpenServiceW(manager.get(), layout::kServiceName, SERVICE_ALL_ACCESS));
  if (!service) return;
  SERVICE_STATUS_PROCESS status = {};
  if (!QueryStatus(service.get(), status)) return;
  if (status.dwCurrentState == SERVICE_RUNNING) {
    SERVICE_STATUS answer = {};
    // A refused request (the service stopped or began stopping meanwhile) leaves nothing to
    // wait for that the request caused.
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &answer)) return;
    if (!QueryStatus(service.get(), status)) return;
    WaitUntilStopped(service.get(), status);
  } else if (status.dwCurrentState == SERVICE_STOP_PENDING) {
    // Stopping already: no new request, but its end is waited for like that of a stop the
    // cleanup asked for, since a stopping service may still be restoring profiles.
    WaitUntilStopped(service.get(), status);
  }
}

}  // namespace dpal::uninstaller
