// The test side of the device tree.
#pragma once

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
};

// Adds a device after the others (enumeration follows the order of adding); a device with the
// same instance ID is replaced where it stands. The tree is empty after Reset.
void AddDevice(const Device& device);
bool RemoveDevice(const std::wstring& instance_id);
bool SetDevicePresent(const std::wstring& instance_id, bool present);
std::vector<Device> Devices();

}  // namespace sim
