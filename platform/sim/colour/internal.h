// The colour system's row of the table of areas. Callers hold the machine lock.
#pragma once

#include "platform/sim/colour/icm.h"
#include "platform/sim/colour/sim_colour.h"

namespace sim {

class AreaUse;
class Snapshot;

// Clears the colour state and registers mscms.dll with the loader (which must be reset first).
void ResetColourLocked();
AreaUse& ColourUse();  // the mark of the colour system's use (kernel/areas.h)
// Part "colour": the installed profiles, the default of each scope, device, type, subtype and
// profile id, and each display's association lists per scope (an empty list is left out).
void SnapshotColourLocked(Snapshot& out);

}  // namespace sim
