#include "tools/scenario/machine.h"

#include "common/registry_layout.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

test::RegistryWriter Key(const std::wstring& path) {
  return test::WriterFor(HKEY_LOCAL_MACHINE, path);
}

std::optional<DWORD> ReadState(Tracker& tracker, const std::wstring& path) {
  Quiet quiet(tracker);
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr,
                   &value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string> PendingDeletions(Tracker& tracker) {
  Quiet quiet(tracker);
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const wchar_t* value = L"PendingFileRenameOperations";
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  data.resize(size / sizeof(wchar_t));
  std::vector<std::wstring> strings;
  std::wstring current;
  for (wchar_t c : data) {
    if (c == L'\0') {
      strings.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  std::vector<std::string> deletions;
  const std::wstring prefix = L"\\??\\";
  for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
    if (!strings[i + 1].empty()) continue;  // a rename, not a deletion
    std::wstring path = strings[i];
    if (path.compare(0, prefix.size(), prefix) == 0) path.erase(0, prefix.size());
    deletions.push_back(Narrow(path));
  }
  return deletions;
}

}  // namespace dpal::scenario
