// What the trust area gives the other areas: its row of the table of areas. Signature checks read
// the files they verify from the file store, and act as the calling thread's identity.
#pragma once

#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"

namespace sim {

void ResetTrustLocked();
void TrustLeaksLocked(LeakReport& report);  // verification states and certificate holds
void TrustProcessEndedLocked(const SimProcess& process);  // its verification states

}  // namespace sim
