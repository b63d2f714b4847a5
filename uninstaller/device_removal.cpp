// RemoveDeviceAndDriverPackage: the package's driver package and then its software device are
// uninstalled. Both functions come from newdev.dll at run time: the SDK's import library lacks
// them, older Windows builds lack the driver package's, and a static import of either would keep
// the uninstaller from starting at all where it is missing.
#include "common/module.h"
#include "loader/shared/device_lookup.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

using DiUninstallDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, DWORD, PBOOL);
using DiUninstallDeviceFn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, DWORD, PBOOL);

}  // namespace

bool RemoveDeviceAndDriverPackage() {
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  if (!lookup.found()) {
    lookup.ReleaseDeviceLookup();
    return true;
  }
  const UniqueModule newdev = LoadSystemLibrary(L"newdev.dll");
  const auto uninstall_driver = ExportOf<DiUninstallDriverFn>(newdev, "DiUninstallDriverW");
  const auto uninstall_device = ExportOf<DiUninstallDeviceFn>(newdev, "DiUninstallDevice");
  // Whether a restart is needed is not acted on: the uninstaller never restarts the machine.
  BOOL reboot = FALSE;
  // Flags 0: the INF goes with the driver package. Without an INF path there is no package to
  // name, and the step fails without a call.
  const bool driver_removed = uninstall_driver != nullptr && lookup.inf_path()[0] != L'\0' &&
                              uninstall_driver(nullptr, lookup.inf_path(), 0, &reboot) != FALSE;
  SP_DEVINFO_DATA device = lookup.device();
  const bool device_removed =
      uninstall_device != nullptr &&
      uninstall_device(nullptr, lookup.device_set(), &device, 0, &reboot) != FALSE;
  lookup.ReleaseDeviceLookup();
  return driver_removed && device_removed;
}

}  // namespace dpal::uninstaller
