// A loaded library and the typed lookup of its exports. Libraries that older Windows builds or
// Wine may lack are loaded at run time, from the system directory only, so that a missing one
// fails one call instead of keeping the whole program from loading.
#pragma once

#include "platform/win32.h"

namespace dpal {

// Owns one load of a library: FreeLibrary on destruction, copy deleted, move transfers.
class UniqueModule {
 public:
  UniqueModule() = default;
  explicit UniqueModule(HMODULE module) : module_(module) {}
  ~UniqueModule() { reset(); }
  UniqueModule(const UniqueModule&) = delete;
  UniqueModule& operator=(const UniqueModule&) = delete;
  UniqueModule(UniqueModule&& other) noexcept : module_(other.module_) { other.module_ = nullptr; }
  UniqueModule& operator=(UniqueModule&& other) noexcept {
    if (this != &other) {
      reset();
      module_ = other.module_;
      other.module_ = nullptr;
    }
    return *this;
  }

  HMODULE get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }
  void reset() {
    if (module_ != nullptr) {
      const DWORD error = GetLastError();
      FreeLibrary(module_);
      SetLastError(error);
      module_ = nullptr;
    }
  }

 private:
  HMODULE module_ = nullptr;
};

// Loads a library of the system directory (never the application's directory, the current
// directory or the path, where a planted copy could be found first).
inline UniqueModule LoadSystemLibrary(const WCHAR* file_name) {
  return UniqueModule(LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
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
