#include "uninstaller/flow.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {

const Routines& PackageRoutines() {
  static const Routines routines = {
      &StopLoaderService,    &RemoveColorProfiles,  &CleanUserHives,
      &DeleteScheduledTasks, &DeleteInstalledFiles, &RemoveDeviceAndDriverPackage,
  };
  return routines;
}

int RunUninstallerProcess() { return RunUninstallerProcess(PackageRoutines()); }

}  // namespace dpal::uninstaller
