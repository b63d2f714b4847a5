// What other areas of the simulated Windows may ask of the loader (the colour system registers
// its library). Callers hold the machine lock.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/modules/sim_modules.h"

namespace sim {

class AreaUse;

void RegisterSystemModuleLocked(const std::wstring& file_name,
                                const std::vector<ModuleExport>& exports);

void ResetModulesLocked();
AreaUse& ModulesUse();  // the mark of the loader's use (kernel/areas.h)
void ModulesLeaksLocked(LeakReport& report);
void ModulesProcessEndedLocked(const SimProcess& process);  // its loads

}  // namespace sim
