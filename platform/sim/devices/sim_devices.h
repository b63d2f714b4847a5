// The test side of the device tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/devices/setupapi.h"

namespace sim {

// ----- Devices ----------------------------------------------------------------------------------

// A device of the machine's device tree, as SetupAPI enumerates it.
struct Device {
  std::wstring instance_id;                  // e.g. L"SWD\\DPAL\\0001"; the enumerator comes first
  std::vector<std::wstring> hardware_ids;    // empty: the device has no such property
  std::vector<std::wstring> compatible_ids;  // empty: the device has no such property
  bool present = true;                       // installed but not present when false
  GUID class_guid = {};
  std::wstring driver_inf;  // DEVPKEY_Device_DriverInfPath (e.g. L"oem7.inf"); empty: none
  // Its removal completes only at the next restart (a driver that cannot be stopped while the
  // machine runs): DiUninstallDevice succeeds and asks for the restart through its NeedReboot
  // flag, and the device stays present, as enumeration shows it, until Restart.
  bool removal_waits_for_restart = false;
  // Set once such a removal was asked for: Restart takes the device out of the tree.
  bool removal_pending = false;
};

// Adds a device after the others (enumeration follows the order of adding); a device with the
// same instance ID is replaced where it stands. The tree is empty after Reset.
void AddDevice(const Device& device);
bool RemoveDevice(const std::wstring& instance_id);
bool SetDevicePresent(const std::wstring& instance_id, bool present);
std::vector<Device> Devices();

// ----- Driver packages and newdev.dll
// -------------------------------------------------------------

// The flag of DiUninstallDriverW that keeps the package in the driver store (not declared by the
// SDK headers the package is built with).
inline constexpr DWORD kNoRemoveInf = 0x00000001;  // DIURFLAG_NO_REMOVE_INF

// Puts a driver package into the driver store under the name its INF was published with in the
// INF directory (e.g. L"oem7.inf"), and the INF file there. A device uses it when its
// driver_inf names it. The store is empty after Reset.
void AddDriverPackage(const std::wstring& published_inf,
                      const std::vector<uint8_t>& inf_bytes = {'[', 'V', 'e', 'r', 's', 'i', 'o',
                                                               'n', ']'});
// The published INF names of the store's packages, in order of adding.
std::vector<std::wstring> DriverPackages();

// Which removals newdev.dll of the system directory exports (it exports nothing else):
// DiUninstallDriverW (Windows 10 1703 and later) removes a driver package from the devices
// that use it and, with its INF, from the driver store; DiUninstallDevice removes a device.
// Both after Reset; older Windows builds lack the first, Wine has neither that works.
void SetDeviceUninstallExports(bool uninstall_driver, bool uninstall_device);

}  // namespace sim
