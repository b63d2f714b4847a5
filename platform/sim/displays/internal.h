// What other areas of the simulated Windows may ask of the displays (the colour system links
// a monitor's device key to the display that shows it). Callers hold the machine lock.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/displays/sim_displays.h"

namespace sim {

// The display (adapter LUID and source id) whose source lists a monitor with this device key
// (case-insensitive); false when no monitor has it.
bool DisplayOfDeviceKeyLocked(const std::wstring& device_key, LUID* adapter, UINT32* source_id);
// Whether some source of the topology has this adapter LUID and source id.
bool DisplayExistsLocked(const LUID& adapter, UINT32 source_id);
// The device keys of the monitors that the source lists, in order.
std::vector<std::wstring> DeviceKeysOfDisplayLocked(const LUID& adapter, UINT32 source_id);

void ResetDisplaysLocked();

}  // namespace sim
