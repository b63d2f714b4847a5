#include <new>
#include <stdexcept>

#include "loader/shared/device_lookup.h"
#include "uninstaller/flow.h"

namespace dpal::uninstaller {
namespace {

// Runs one step; an exception of the kinds a step can raise (no memory, a list or string past
// its limit) ends that step only. Anything else is a fault and is not hidden.
template <typename Step>
void RunContainedStep(Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    // The step counts as failed; the sequence goes on with the next one.
  } catch (const std::length_error&) {
    // Likewise.
  }
}

// The final-cleanup run: the two gates, the cleanup, the image's move. The device record lives
// from the lookup to the end of the run and is released on every path.
int RunFinalCleanupRun(const Routines& routines) {
  CSoftwareDeviceLookup device(kSoftwareDeviceHardwareId);
  try {
    // A failed enumeration counts as the device being gone.
    if (!device.found() && HasNoOwners()) {
      RunFinalCleanup(routines);
      RelocateSelf();
    }
  } catch (const std::bad_alloc&) {
    device.ReleaseDeviceLookup();
    return 1;
  } catch (const std::length_error&) {
    device.ReleaseDeviceLookup();
    return 1;
  }
  device.ReleaseDeviceLookup();
  return 0;
}

int RunChosen(const Routines& routines) {
  RunMode mode = RunMode::None;
  if (!SelectRunMode(&mode)) return 0;
  switch (mode) {
    case RunMode::FinalCleanup: return RunFinalCleanupRun(routines);
    case RunMode::DeviceRemoval:
      // Its result changes nothing: a failed removal or an absent device still ends with 0.
      routines.remove_device_and_driver_package();
      return 0;
    case RunMode::None: break;
  }
  return 0;
}

}  // namespace

void RunFinalCleanup(const Routines& routines) {
  routines.stop_loader_service();
  RunContainedStep([&] {
    routines.remove_color_profiles();
    routines.clean_user_hives();
  });
  RunContainedStep([&] { routines.delete_scheduled_tasks(); });
  routines.delete_installed_files();
}

int RunUninstallerProcess(const Routines& routines) {
  // An exception that leaves a run would otherwise end the process as a crash; it ends the run
  // with 1 instead, in the device-removal run as in the final cleanup.
  try {
    return RunChosen(routines);
  } catch (const std::bad_alloc&) {
    return 1;
  } catch (const std::length_error&) {
    return 1;
  }
}

}  // namespace dpal::uninstaller
