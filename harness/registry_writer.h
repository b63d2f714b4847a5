// The one way the tests, the simulated laptop, the scenario runner and the benchmarks write
// registry content: a key created (with its missing parents) and owned by the writer, and a
// set for each kind of value the package stores. Every operation answers the LSTATUS of the
// call that decided it. Both builds.
#pragma once

#include <string>
#include <vector>

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal::test {

class RegistryWriter {
 public:
  RegistryWriter() = default;

  // Creates or opens root\path for all access (closing a key held before). ERROR_SUCCESS or the
  // error of RegCreateKeyExW, with no key held.
  LSTATUS Create(HKEY root, const std::wstring& path, DWORD options = REG_OPTION_NON_VOLATILE);

  bool ok() const { return key_.valid(); }
  HKEY key() const { return key_.get(); }

  // The bytes as given, of any type (also a string without its terminator). Without a key:
  // ERROR_INVALID_HANDLE.
  LSTATUS Raw(const wchar_t* name, DWORD type, const void* data, size_t size);
  LSTATUS Dword(const wchar_t* name, DWORD value);
  // The text and its terminator.
  LSTATUS String(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
  // Each entry with its terminator, then the empty entry that ends the list. An empty entry in
  // the middle is written as given.
  LSTATUS MultiString(const wchar_t* name, const std::vector<std::wstring>& entries);
  LSTATUS Binary(const wchar_t* name, const void* data, size_t size);

 private:
  UniqueKey key_;
};

// The entries of a list given as one string with NULs between them (L"A\0B" as a
// std::wstring of three units); a NUL at the very end closes the last entry instead of adding an
// empty one.
std::vector<std::wstring> EntriesOf(const std::wstring& joined_with_nuls);

// Opens a writer on root\path: check ok() (or the status) before writing.
RegistryWriter WriterFor(HKEY root, const std::wstring& path, LSTATUS* status = nullptr);

}  // namespace dpal::test
