// The loader: libraries that exist on the machine, the search for a library by name, the
// process's load counts, and the lookup of exports by name and by ordinal.
#include <algorithm>
#include <map>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/security/internal.h"

namespace sim {

AreaUse& ModulesUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

namespace {

struct Library {
  std::wstring path;       // full path; for a system library only its file name
  bool in_system = false;  // lives in the system directory, wherever that is
  std::vector<ModuleExport> exports;
  uintptr_t base = 0;  // the HMODULE
  int loads = 0;
  int loads_ever = 0;  // since it was registered
  // The loads by process (0 for the host's threads): a process's end takes its own back.
  std::map<uint64_t, int> loads_by_process;
};

struct Loader {
  std::vector<Library> libraries;
  uintptr_t next_base = 0x180000000;
  // The default directories each process has set, by its image: the threads of one program's
  // run share its image, and the machine holds no process object of its own.
  std::vector<std::pair<std::wstring, DWORD>> default_directories;
};

constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                               LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

Loader& L() {
  static Loader* loader = new Loader();
  ModulesUse().Mark();
  return *loader;
}

std::wstring FullPathLocked(const Library& library) {
  return library.in_system ? SystemDirectoryLocked() + L"\\" + library.path : library.path;
}

void RegisterLocked(const std::wstring& path, bool in_system,
                    const std::vector<ModuleExport>& exports) {
  for (Library& library : L().libraries) {
    if (library.in_system == in_system && EqualsNoCase(library.path, path)) {
      library.exports = exports;
      return;
    }
  }
  Library library;
  library.path = path;
  library.in_system = in_system;
  library.exports = exports;
  library.base = L().next_base;
  L().next_base += 0x100000;
  L().libraries.push_back(library);
}

Library* AtPathLocked(const std::wstring& full_path) {
  const std::wstring key = FileKey(full_path);
  for (Library& library : L().libraries) {
    if (FileKey(FullPathLocked(library)) == key) return &library;
  }
  return nullptr;
}

Library* OfHandleLocked(HMODULE module) {
  for (Library& library : L().libraries) {
    if (library.base == reinterpret_cast<uintptr_t>(module) && library.loads > 0) return &library;
  }
  return nullptr;
}

std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Finds the library a LoadLibraryExW call names; 0 or the error to fail with.
DWORD FindLocked(const std::wstring& name, DWORD flags, Library** found) {
  const Identity self = CurrentIdentityLocked();
  if (name.find_first_of(L"\\/") != std::wstring::npos) {
    std::wstring full;
    if (DWORD e = FullFilePath(name.c_str(), self.current_directory, &full)) return e;
    *found = AtPathLocked(full);
    return *found ? 0 : ERROR_MOD_NOT_FOUND;
  }
  std::wstring file = name;
  if (file.find(L'.') == std::wstring::npos) file += L".dll";
  // A library of that name that the process holds already is the one, wherever it lives.
  for (Library& library : L().libraries) {
    if (library.loads > 0 && EqualsNoCase(BaseName(FullPathLocked(library)), file)) {
      *found = &library;
      return 0;
    }
  }
  std::vector<std::wstring> directories;
  if (flags == 0) {
    for (const auto& [image, directories_set] : L().default_directories) {
      if (FileKey(image) == FileKey(self.image_path)) flags = directories_set;
    }
  }
  const bool application =
      (flags & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0;
  const bool system =
      (flags & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) != 0;
  if (flags == 0) {
    directories = {DirectoryOf(self.image_path), SystemDirectoryLocked(), WindowsDirectoryLocked(),
                   self.current_directory};
  } else {
    if (application) directories.push_back(DirectoryOf(self.image_path));
    if (system) directories.push_back(SystemDirectoryLocked());
  }
  for (const std::wstring& directory : directories) {
    if (directory.empty()) continue;
    if (Library* library = AtPathLocked(directory + L"\\" + file)) {
      *found = library;
      return 0;
    }
  }
  return ERROR_MOD_NOT_FOUND;
}

}  // namespace

void RegisterSystemModuleLocked(const std::wstring& file_name,
                                const std::vector<ModuleExport>& exports) {
  RegisterLocked(file_name, true, exports);
}

void ResetModulesLocked() {
  L().libraries.clear();
  L().default_directories.clear();
}

void ModulesProcessEndedLocked(const SimProcess& process) {
  for (Library& library : L().libraries) {
    const auto held = library.loads_by_process.find(process.id);
    if (held == library.loads_by_process.end()) continue;
    library.loads -= held->second;
    library.loads_by_process.erase(held);
  }
}

void ModulesLeaksLocked(LeakReport& report) {
  for (const Library& library : L().libraries) {
    if (library.loads > 0) report.open_handles["module"] += library.loads;
  }
}

// ----- Test-facing side ----------------------------------------------------------------------

void RegisterModule(const std::wstring& path, const std::vector<ModuleExport>& exports) {
  Lock lock(MachineLock());
  RegisterLocked(path, false, exports);
}

void RegisterSystemModule(const std::wstring& file_name, const std::vector<ModuleExport>& exports) {
  Lock lock(MachineLock());
  RegisterLocked(file_name, true, exports);
}

int ModuleLoadCount(const std::wstring& path) {
  Lock lock(MachineLock());
  Library* library = AtPathLocked(path);
  return library ? library->loads : 0;
}

int ModuleTimesLoaded(const std::wstring& path) {
  Lock lock(MachineLock());
  Library* library = AtPathLocked(path);
  return library ? library->loads_ever : 0;
}

std::vector<std::wstring> LoadedModules() {
  Lock lock(MachineLock());
  std::vector<std::wstring> paths;
  for (const Library& library : L().libraries) {
    if (library.loads > 0) paths.push_back(FullPathLocked(library));
  }
  return paths;
}

}  // namespace sim

// ----- Win32 ----------------------------------------------------------------------------------

using namespace sim;

extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(lpLibFileName, hFile, dwFlags)) {
    return Fail(e, static_cast<HMODULE>(nullptr));
  }
  if (lpLibFileName == nullptr || lpLibFileName[0] == L'\0' || hFile != nullptr ||
      (dwFlags & ~kSearchFlags) != 0) {
    return Fail(ERROR_INVALID_PARAMETER, static_cast<HMODULE>(nullptr));
  }
  Lock lock(MachineLock());
  Library* library = nullptr;
  if (DWORD e = FindLocked(lpLibFileName, dwFlags, &library)) {
    return Fail(e, static_cast<HMODULE>(nullptr));
  }
  ++library->loads;
  ++library->loads_ever;
  ++library->loads_by_process[CurrentProcessId()];
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HMODULE>(library->base);
}

extern "C" BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
  if (DWORD e = SIM_ENTER(DirectoryFlags)) return Fail(e, FALSE);
  if (DirectoryFlags == 0 || (DirectoryFlags & ~kSearchFlags) != 0) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  const std::wstring image = CurrentIdentityLocked().image_path;
  auto& all = L().default_directories;
  const auto same = [&](const auto& entry) { return FileKey(entry.first) == FileKey(image); };
  all.erase(std::remove_if(all.begin(), all.end(), same), all.end());
  all.emplace_back(image, DirectoryFlags);
  return TRUE;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  const bool by_ordinal = IS_INTRESOURCE(lpProcName);
  std::wstring what;
  if (by_ordinal) {
    what = L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(lpProcName));
  } else {
    what = L"\"";
    for (const char* p = lpProcName; *p; ++p) what.push_back(static_cast<wchar_t>(*p));
    what += L"\"";
  }
  if (DWORD e = Enter(__func__, ArgText(static_cast<const void*>(hModule)) + L", " + what)) {
    return Fail(e, static_cast<FARPROC>(nullptr));
  }
  Lock lock(MachineLock());
  Library* library = OfHandleLocked(hModule);
  if (library == nullptr) return Fail(ERROR_MOD_NOT_FOUND, static_cast<FARPROC>(nullptr));
  for (const ModuleExport& entry : library->exports) {
    const bool match =
        by_ordinal ? entry.ordinal != 0 && entry.ordinal == reinterpret_cast<uintptr_t>(lpProcName)
                   : !entry.name.empty() && entry.name == lpProcName;
    if (match && entry.function != nullptr) {
      SetLastError(ERROR_SUCCESS);
      return reinterpret_cast<FARPROC>(entry.function);
    }
  }
  return Fail(ERROR_PROC_NOT_FOUND, static_cast<FARPROC>(nullptr));
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (DWORD e = SIM_ENTER_RELEASE(static_cast<const void*>(hLibModule))) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  Library* library = OfHandleLocked(hLibModule);
  if (library == nullptr) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
  --library->loads;
  // The caller's process's load, or (a handle passed between processes' threads) another's.
  auto held = library->loads_by_process.find(CurrentProcessId());
  if (held == library->loads_by_process.end()) held = library->loads_by_process.begin();
  if (held != library->loads_by_process.end() && --held->second == 0) {
    library->loads_by_process.erase(held);
  }
  return TRUE;
}
