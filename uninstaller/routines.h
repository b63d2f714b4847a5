// The uninstaller's routines: each removes one kind of thing the package put on the machine.
// The final-cleanup run calls StopLoaderService, RemoveColorProfiles, CleanUserHives,
// DeleteScheduledTasks and DeleteInstalledFiles in that order, each whatever the earlier ones
// achieved; the device-removal run calls RemoveDeviceAndDriverPackage alone.
#pragma once

#include "platform/win32.h"

namespace dpal::uninstaller {

// The package's scheduled tasks, by their absolute paths from the root folder, in the order the
// final cleanup deletes them, and their folder; its parent "\Tarvex" may hold other products'
// tasks and stays.
inline constexpr const WCHAR* kPackageTasks[] = {
    L"\\Tarvex\\DPAL\\TDPALUserAgent",
    L"\\Tarvex\\DPAL\\UninstallTask",
};
inline constexpr WCHAR kPackageTaskFolder[] = L"\\Tarvex\\DPAL";

// Asks the loader service to stop when it is running, and waits a bounded time for it to reach
// the stopped state, so that no profile restore of the service races the removal of the
// profiles. Neither deletes nor reconfigures the service.
void StopLoaderService();

// Disassociates the profiles of the per-user list (console user's scope) and of the catalogue
// (system scope) from the panel, then uninstalls every listed profile, which deletes its file.
// A file a program still holds open is deleted at the next restart instead.
void RemoveColorProfiles();

// Deletes the package's key from the hive of every user with a profile on the machine: in place
// for a loaded hive, through a temporary mount of the hive file otherwise. True when every user
// was cleaned.
bool CleanUserHives();

// Deletes the package's two scheduled tasks and their folder. True when the folder was deleted
// and neither task deletion failed.
bool DeleteScheduledTasks();

// Deletes the installed uninstaller file and then its directory under Program Files. True when
// every file is gone and the directory was removed.
bool DeleteInstalledFiles();

// Uninstalls the package's driver package and then its software device. True when the device is
// absent or both removals succeeded.
bool RemoveDeviceAndDriverPackage();

}  // namespace dpal::uninstaller
