// The colour system's row of the table of areas. Callers hold the machine lock.
#pragma once

#include "platform/sim/colour/icm.h"
#include "platform/sim/colour/sim_colour.h"
#include "platform/sim/kernel/internal.h"

namespace sim {

// Clears the colour state and registers mscms.dll with the loader (which must be reset first).
void ResetColourLocked();

}  // namespace sim
