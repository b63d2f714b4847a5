#include "common/failure_boundary.h"
#include "common/module.h"
#include "loader/shared/device_lookup.h"
#include "uninstaller/flow.h"

namespace dpal::uninstaller {
namespace {

// Runs one step; a failure the package contains ends that step only, which counts as failed,
// and the sequence goes on with the next one. Anything else is a fault and is not hidden.
template <typename Step>
void RunContainedStep(Step step) {
  ContainFailure(false, [&] {
    step();
    return true;
  });
}

// The final-cleanup run: the two gates, the cleanup, the image's move. The device record lives
// from the lookup to the end of the run and is released on every path.
int RunFinalCleanupRun(const Routines& routines) {
  CSoftwareDeviceLookup device(kSoftwareDeviceHardwareId);
  const int code = ContainFailure(1, [&] {
    // A failed enumeration counts as the device being gone.
    if (!device.found() && HasNoOwners()) {
      RunFinalCleanup(routines);
      RelocateSelf();
    }
    return 0;
  });
  device.ReleaseDeviceLookup();
  return code;
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
  RestrictLibrarySearchToSystemDirectory();
  // A failure that leaves a run would otherwise end the process as a crash; it ends the run
  // with 1 instead, in the device-removal run as in the final cleanup.
  return ContainFailure(1, [&] { return RunChosen(routines); });
}

}  // namespace dpal::uninstaller
