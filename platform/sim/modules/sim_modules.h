// The test side of the simulated loader: libraries that exist on the machine with their exports,
// and what the process has loaded. Included from sim.h.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/modules/libloaderapi.h"

namespace sim {

// One export of a library: by name (empty for one exported by ordinal only) and by ordinal (0
// for none).
struct ModuleExport {
  std::string name;
  WORD ordinal = 0;
  void (*function)() = nullptr;
};

// Makes a library exist at a full path with these exports (replacing one registered there). The
// file store is not involved: a library is what the loader knows, not a file's bytes. After
// Reset the system directory holds mscms.dll (the colour system, see sim_colour.h), ntdll.dll,
// newdev.dll, wintrust.dll and crypt32.dll (signature checks, see sim_trust.h).
void RegisterModule(const std::wstring& path, const std::vector<ModuleExport>& exports);
// The same for a library of the system directory, wherever the Windows directory is.
void RegisterSystemModule(const std::wstring& file_name, const std::vector<ModuleExport>& exports);
// The full paths of the libraries that the process holds loaded, and how often.
int ModuleLoadCount(const std::wstring& path);
// How often a library was loaded since it was registered, freed or not.
int ModuleTimesLoaded(const std::wstring& path);
std::vector<std::wstring> LoadedModules();

}  // namespace sim
