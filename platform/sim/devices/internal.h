// What the devices area gives the other areas: its row of the table of areas. Device information
// sets are in the handle table, which the kernel counts.
#pragma once

namespace sim {

void ResetDevicesLocked();  // an empty device tree

}  // namespace sim
