// What other areas of the simulated Windows may ask of the displays (the colour system links
// a monitor's device key to the display that shows it). Callers hold the machine lock.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/displays/sim_displays.h"

namespace sim {

class AreaUse;

// A display, as the colour system names it: the adapter LUID of its target (the adapter that
// drives the monitor, which on a cross-adapter path is not the source's) and the id of its
// source.
//
// The display of the monitor with this device key (case-insensitive): its source's id, and the
// target adapter of the source's path to that monitor (of the source's first path when none
// leads to it by its interface path). False when no monitor has the key or its source has no
// path.
bool DisplayOfDeviceKeyLocked(const std::wstring& device_key, LUID* adapter, UINT32* source_id);
// Whether some path of the topology has this target adapter LUID and source id.
bool DisplayExistsLocked(const LUID& adapter, UINT32 source_id);
// The device keys of the monitors that the sources of the display's paths list, in order.
std::vector<std::wstring> DeviceKeysOfDisplayLocked(const LUID& adapter, UINT32 source_id);

void ResetDisplaysLocked();
AreaUse& DisplaysUse();  // the mark of the displays' use (kernel/areas.h)

}  // namespace sim
