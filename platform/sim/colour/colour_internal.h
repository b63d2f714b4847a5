// The colour system's part of the machine's reset. Callers hold the machine lock.
#pragma once

#include "platform/sim/internal.h"

namespace sim {

// Clears the colour state and registers mscms.dll with the loader (which must be reset first).
void ResetColourLocked();

}  // namespace sim
