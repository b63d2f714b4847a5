// What the devices area gives the other areas: its row of the table of areas. Device information
// sets are in the handle table, which the kernel counts.
#pragma once

namespace sim {

class AreaUse;
class Snapshot;

// An empty device tree and driver store, and newdev.dll registered with the loader (which must be
// reset first).
void ResetDevicesLocked();
AreaUse& DevicesUse();  // the mark of the device tree's use (kernel/areas.h)
// Part "devices": every device by its instance ID, with its presence, class, IDs and properties.
// Part "driver packages": each package of the driver store by its published INF name.
void SnapshotDevicesLocked(Snapshot& out);

}  // namespace sim
