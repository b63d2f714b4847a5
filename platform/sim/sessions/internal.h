// What the sessions area gives the other areas: the machine's name, and the rows of sessions (with
// profiles) and processes in the table of areas.
#pragma once

#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/security/internal.h"

namespace sim {

// The machine's name: COMPUTERNAME, and the domain of its local accounts.
inline constexpr const wchar_t* kComputerName = L"DPALSIM";

// ----- Rows of the table of areas --------------------------------------------------------------

void ResetSessionsLocked();
void SessionsLeaksLocked(LeakReport& report);                // profiles loaded and not unloaded
void SessionsProcessEndedLocked(const SimProcess& process);  // the profiles it loaded
void ResetProcessesLocked();
void ProcessesLeaksLocked(LeakReport& report);                // programs still running
void ProcessesProcessEndedLocked(const SimProcess& process);  // a launched program ends

}  // namespace sim
