// What the devices area gives the other areas: its row of the table of areas. Device information
// sets are in the handle table, which the kernel counts.
#pragma once

namespace sim {

class Snapshot;

void ResetDevicesLocked();  // an empty device tree
// Part "devices": every device by its instance ID, with its presence, class, IDs and properties.
void SnapshotDevicesLocked(Snapshot& out);

}  // namespace sim
