#include "loader/update_controller.h"

#include <utility>

#include "common/failure_boundary.h"
#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/launcher.h"
#include "loader/platform_gate.h"
#include "loader/shared/registry.h"

namespace dpal {

namespace {

DWORD ReadApplyState() {
  return ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue);
}

// Launches the program for a new apply state: "/ss" for 1, "/rs" for 0, nothing for any other
// value. False only when a launch was made and not accepted.
bool LaunchForState(DWORD state) {
  const WCHAR* switch_text = state == 1   ? kSwitchSetState
                             : state == 0 ? kSwitchResetState
                                          : nullptr;
  if (switch_text == nullptr) return true;
  ProfileProgramLauncher launcher;
  return launcher.LaunchProfileProgram(switch_text);
}

}  // namespace

CDPALUpdateSubController::CDPALUpdateSubController() {
  // The event is owned from the moment it is made, so that a failure to allocate its holder
  // closes it again.
  UniqueEvent stop_event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ContainFailure(false, [&] {
    stop_event_ = std::make_unique<UniqueEvent>(std::move(stop_event));
    return true;
  });
}

CDPALUpdateSubController::~CDPALUpdateSubController() {
  // The service never gets here: its sub-controllers live as long as its process. End the
  // watch before its event goes away.
  if (stop_event_ && stop_event_->valid()) SetEvent(stop_event_->get());
  workers_.WaitIdle();
}

bool CDPALUpdateSubController::IsSupported() {
  if (!stop_event_) return false;
  return IsPlatformSupported();
}

bool CDPALUpdateSubController::Start() {
  return workers_.Spawn([this] { ThreadProc(); });
}

bool CDPALUpdateSubController::Stop() {
  bool set = true;
  if (stop_event_ && stop_event_->valid()) set = SetEvent(stop_event_->get()) != FALSE;
  if (completion_event_) set = SetEvent(completion_event_.get()) != FALSE && set;
  return set;
}

bool CDPALUpdateSubController::OnServiceControl(DWORD control, DWORD /*event_type*/) {
  ProfileProgramLauncher launcher;
  if (control == kControlSetUser) return launcher.LaunchProfileProgram(kSwitchSetUser);
  if (control == kControlSetState) return launcher.LaunchProfileProgram(kSwitchSetState);
  return true;
}

DWORD CDPALUpdateSubController::ThreadProc() {
  if (!stop_event_) return 1;
  // The thread's boundary: a watch that a failure ends by throwing ends as one that fails, and
  // the completion event is set all the same, or the main controller's wait would never end.
  ContainFailure(false, [&] { return WatchApplyState(stop_event_->get()); });
  SetEvent(completion_event_.get());
  return 0;
}

bool CDPALUpdateSubController::WatchApplyState(HANDLE stop_event) {
  UniqueEvent changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!changed) return false;
  const HANDLE wait_set[2] = {changed.get(), stop_event};
  DWORD last = ReadApplyState();
  for (;;) {
    UniqueKey key;
    const bool armed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, 0,
                                     layout::kReadAccess, key.Put()) == ERROR_SUCCESS;
    if (armed) {
      if (RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(),
                                  TRUE) != ERROR_SUCCESS) {
        return false;
      }
      // Compare only once the watch is armed: a change made before this point (while a launch
      // ran, or before the first arming) is seen here, and one made after it wakes the wait.
      const DWORD current = ReadApplyState();
      if (current != last) {
        last = current;
        if (!LaunchForState(current)) return false;
        continue;  // re-arm on a fresh key, then look again
      }
    }
    // Without the key nothing is armed, and only the stop event can end the wait.
    switch (WaitForMultipleObjects(2, wait_set, FALSE, INFINITE)) {
      case WAIT_FAILED: return false;
      case WAIT_OBJECT_0 + 1: return true;
      default: break;  // the key changed (or the wait ended otherwise): re-arm and compare
    }
  }
}

}  // namespace dpal
