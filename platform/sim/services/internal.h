// What the service control manager gives the other areas: its row of the table of areas. SC
// handles are in the handle table, which the kernel counts.
#pragma once

namespace sim {

// An empty services database; the processes of running services are cut off from the machine.
void ResetServicesLocked();

}  // namespace sim
