// The fuzz targets' reset, which puts back before every input only what the last one used. Its
// own header, beside Reset's (sim_kernel.h), as only the fuzz targets and its test need it.
#pragma once

namespace sim {

// The same end state as Reset, reached faster when little was used: an area whose state nothing
// reached since the last reset (no platform call, no call of the test side, no other area on its
// behalf) is still as booted and is passed over (kernel/areas.h, AreaUse). Tests use Reset.
void ResetUsed();

}  // namespace sim
