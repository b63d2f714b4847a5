#include "loader/profile_controller.h"

#include "common/failure_boundary.h"
#include "common/handles.h"
#include "loader/catalogue.h"
#include "loader/launcher.h"
#include "loader/platform_gate.h"

namespace dpal {

namespace {

// Whether the session at the console is active (a user works in it); false when the state
// cannot be had.
bool ConsoleSessionIsActive() {
  // The function hands every kind of information back as text; the connect state is a
  // WTS_CONNECTSTATE_CLASS in that buffer.
  UniqueWtsMemory<WCHAR> state;
  DWORD bytes = 0;
  return WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(),
                                     WTSConnectState, state.Put(), &bytes) &&
         state && bytes >= sizeof(WTS_CONNECTSTATE_CLASS) &&
         *reinterpret_cast<const WTS_CONNECTSTATE_CLASS*>(state.get()) == WTSActive;
}

}  // namespace

CDPALProfileSubController::CDPALProfileSubController() {
  supported_ = ContainFailure(false, [] { return IsPlatformSupported(); });
}

// Work runs still under way are let finish; the service itself never gets here.
CDPALProfileSubController::~CDPALProfileSubController() { workers_.WaitIdle(); }

bool CDPALProfileSubController::Start() {
  return workers_.Spawn([this] { RunStartup(); });
}

bool CDPALProfileSubController::Stop() {
  if (!completion_event_) return false;
  return SetEvent(completion_event_.get()) != FALSE;
}

bool CDPALProfileSubController::ProvisionProfiles(bool install_pending, DWORD& result) {
  const bool ran = ContainFailure(false, [&] {
    ProfileProgramLauncher launcher;
    if (install_pending) {
      if (launcher.LaunchProfileProgram(kSwitchInstall)) {
        result = kSuccess;
        MarkInstallDone();
      }
    } else {
      switch (VerifyProfileCatalogue()) {
        case CatalogueStatus::CatalogueInvalid:
          if (launcher.LaunchProfileProgram(kSwitchInstall)) result = kSuccess;
          break;
        case CatalogueStatus::FilesInvalid:
          if (launcher.LaunchProfileProgram(kSwitchRestore)) result = kSuccess;
          break;
        case CatalogueStatus::Verified: break;
      }
    }
    return true;
  });
  if (!ran) result = kFailure;
  return result == kSuccess;
}

DWORD CDPALProfileSubController::RunStartup() {
  if (!supported_) return kNothingDone;
  DWORD result = kNothingDone;
  const bool ran = ContainFailure(false, [&] {
    // At the logon screen (or with no console session) there is nobody to provision for; the
    // first logon does it.
    if (ConsoleSessionIsActive()) ProvisionProfiles(IsInstallPending(), result);
    return true;
  });
  if (!ran) result = kFailure;
  SetEvent(completion_event_.get());
  return result;
}

DWORD CDPALProfileSubController::RunLogonProvision() {
  if (!supported_) return kNothingDone;
  DWORD result = kNothingDone;
  const bool ran = ContainFailure(false, [&] {
    ProvisionProfiles(IsInstallPending(), result);
    return true;
  });
  if (!ran) result = kFailure;
  return result;
}

bool CDPALProfileSubController::RunLogonVerify() {
  // A thread's boundary, as the other runs are: a failure that throws is the run's failure.
  return ContainFailure(false, [] {
    ProfileProgramLauncher launcher;
    return launcher.LaunchProfileProgram(kSwitchVerifyProfile);
  });
}

bool CDPALProfileSubController::OnServiceControl(DWORD control, DWORD event_type) {
  if (!supported_) return false;
  if (control != SERVICE_CONTROL_SESSIONCHANGE) return true;
  switch (event_type) {
    case WTS_SESSION_LOGON: {
      if (logoff_flag_) {
        // The logon that follows a logoff is the same user coming back: leave it alone.
        logoff_flag_ = false;
        return true;
      }
      const bool started = IsInstallPending() ? workers_.Spawn([this] { RunLogonProvision(); })
                                              : workers_.Spawn([this] { RunLogonVerify(); });
      logoff_flag_ = false;
      return started;
    }
    case WTS_SESSION_LOGOFF: logoff_flag_ = true; return true;
    default: return true;
  }
}

}  // namespace dpal
