// The owner of a loaded module. The sim does not declare the loader's functions yet, so only the
// windows build includes this header.
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

}  // namespace dpal
