#include "loader/shared/registry.h"

#include "common/handles.h"
#include "common/registry_layout.h"

namespace dpal {

namespace {

// Reads a string-typed value with the two-call size pattern into a buffer of WCHARs. Returns
// false on any failure. The data holds what the second call wrote, terminators included where
// there are any: a value stored without its terminator comes back without one from some
// registries (Wine) and, from others, needs a unit more than the size query reported for the
// terminator the call adds (Windows documents that it ensures one). One spare unit serves both.
bool ReadTextData(HKEY root, const std::wstring& key, const std::wstring& value, DWORD type_flag,
                  std::wstring& data) {
  DWORD size = 0;
  if (RegGetValueW(root, key.c_str(), value.c_str(), type_flag, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  // A size below one unit cannot hold even one character: that is the empty result, and the
  // buffer arithmetic below must never see it.
  if (size < sizeof(WCHAR)) return false;
  data.assign(size / sizeof(WCHAR) + 1, L'\0');
  DWORD read = static_cast<DWORD>(data.size() * sizeof(WCHAR));
  if (RegGetValueW(root, key.c_str(), value.c_str(), type_flag, nullptr, data.data(), &read) !=
      ERROR_SUCCESS) {
    return false;
  }
  // The value may have shrunk between the two calls; never look past what was written.
  data.resize(read / sizeof(WCHAR));
  return true;
}

}  // namespace

bool ReadDword(HKEY root, const WCHAR* key, const WCHAR* value, DWORD* data) {
  DWORD read = 0;
  DWORD size = sizeof(read);
  if (RegGetValueW(root, key, value, RRF_RT_REG_DWORD, nullptr, &read, &size) != ERROR_SUCCESS ||
      size != sizeof(read)) {
    return false;  // a REG_DWORD of another size is malformed, and reads as missing
  }
  *data = read;
  return true;
}

DWORD ReadDwordValue(HKEY root, const std::wstring& key, const std::wstring& value) {
  DWORD data = 0;
  return ReadDword(root, key.c_str(), value.c_str(), &data) ? data : 0;
}

std::wstring ReadStringValue(HKEY root, const std::wstring& key, const std::wstring& value) {
  std::wstring data;
  if (!ReadTextData(root, key, value, RRF_RT_REG_SZ, data)) return std::wstring();
  // The terminator, where the value came with one, is the last unit; the text is what precedes
  // it. A value without one keeps its last character.
  if (!data.empty() && data.back() == L'\0') data.pop_back();
  return data;
}

std::vector<std::wstring> ReadMultiStringValue(HKEY root, const std::wstring& key,
                                               const std::wstring& value) {
  std::vector<std::wstring> entries;
  std::wstring data;
  if (!ReadTextData(root, key, value, RRF_RT_REG_MULTI_SZ, data)) return entries;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find(L'\0', start);
    if (end == std::wstring::npos) end = data.size();
    if (end == start) break;  // the first empty entry ends the list
    entries.emplace_back(data, start, end - start);
    start = end + 1;
  }
  return entries;
}

bool ReadBinaryValue(HKEY root, const std::wstring& key, const std::wstring& value, BYTE* buffer) {
  if (buffer == nullptr) return false;
  DWORD size = kBinaryValueBytes;
  return RegGetValueW(root, key.c_str(), value.c_str(), RRF_RT_REG_BINARY, nullptr, buffer,
                      &size) == ERROR_SUCCESS;
}

bool EnumerateSubKeys(HKEY root, const std::wstring& key, std::vector<std::wstring>& names) {
  UniqueKey opened;
  if (RegOpenKeyExW(root, key.c_str(), 0, layout::kReadAccess, opened.Put()) != ERROR_SUCCESS) {
    return true;
  }
  DWORD count = 0;
  if (RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return true;
  }
  for (DWORD index = 0; index < count; ++index) {
    // Key names have up to 255 characters; the length passed is the buffer's, terminator
    // included, so that a name of the full 255 characters is read rather than skipped.
    WCHAR name[256] = {};
    DWORD length = 256;
    if (RegEnumKeyExW(opened.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    names.emplace_back(name, length);
  }
  return true;
}

bool SetDwordFlag(const std::wstring& key, const std::wstring& value) {
  UniqueKey opened;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, layout::kWriteAccess, opened.Put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  const DWORD one = 1;
  return RegSetValueExW(opened.get(), value.c_str(), 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&one), sizeof(one)) == ERROR_SUCCESS;
}

}  // namespace dpal
