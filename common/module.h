// A loaded library and the typed lookup of its exports. Libraries that older Windows builds or
// Wine may lack are loaded at run time, from the system directory only, so that a missing one
// fails one call instead of keeping the whole program from loading.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

namespace traits {

struct Module {
  using Raw = HMODULE;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { FreeLibrary(h); }
};

}  // namespace traits

// A module loaded with LoadLibraryExW, freed with FreeLibrary: functions resolved from it with
// GetProcAddress must not be called after the owner ends.
using UniqueModule = Unique<traits::Module>;

// Loads a library of the system directory (never the application's directory, the current
// directory or the path, where a planted copy could be found first).
inline UniqueModule LoadSystemLibrary(const WCHAR* file_name) {
  return UniqueModule(LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// A program's first act: every later load by name without search flags looks in the system
// directory only, for the rest of the process. The libraries the program imports were resolved
// before it ran; the ones it loads itself name the system directory anyway, so a failure here
// (none on the Windows the package supports) changes nothing the package loads and is passed
// over.
inline void RestrictLibrarySearchToSystemDirectory() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// An export as a function of type F; null when the library does not export it. `name` is a
// name, or an ordinal made with MAKEINTRESOURCEA.
template <typename F>
F ExportOf(const UniqueModule& module, LPCSTR name) {
  if (!module) return nullptr;
  // Through the one function type every function pointer converts to and from without a
  // warning: the export's real type is F.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module.get(), name)));
}

}  // namespace dpal
