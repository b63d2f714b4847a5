// The side of the simulated Windows that tests and the scenario runner use: set up the machine,
// inject faults, read the trace of platform calls and check that nothing leaked. Each area keeps
// its test side in its own folder; this header brings them all in.
// Product code never includes this header.
#pragma once

#include "platform/sim/sim_win32.h"

#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/security/sim_security.h"
#include "platform/sim/files/sim_files.h"
#include "platform/sim/registry/sim_registry.h"
#include "platform/sim/services/sim_services.h"
#include "platform/sim/devices/sim_devices.h"
#include "platform/sim/sessions/sim_sessions.h"
#include "platform/sim/displays/sim_displays.h"
#include "platform/sim/colour/sim_colour.h"
#include "platform/sim/modules/sim_modules.h"
#include "platform/sim/com/sim_com.h"
#include "platform/sim/snapshot.h"
#include "platform/sim/trust/sim_trust.h"
