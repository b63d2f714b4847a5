// What the service control manager gives the other areas: its row of the table of areas. SC
// handles are in the handle table, which the kernel counts.
#pragma once

#include "platform/sim/kernel/processes.h"

namespace sim {

class Snapshot;

// An empty services database; the processes of running services are cut off from the machine.
void ResetServicesLocked();
// A service's process that ended from outside reads as a service that stopped.
void ServicesProcessEndedLocked(const SimProcess& process);
// Part "services": each service's registration (by its name), its start type ("NAME start
// type") and its state ("NAME state").
void SnapshotServicesLocked(Snapshot& out);

}  // namespace sim
