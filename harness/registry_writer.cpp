#include "harness/registry_writer.h"

namespace dpal::test {

LSTATUS RegistryWriter::Create(HKEY root, const std::wstring& path, DWORD options) {
  return RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr,
                         key_.Put(), nullptr);
}

LSTATUS RegistryWriter::Raw(const wchar_t* name, DWORD type, const void* data, size_t size) {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data),
                        static_cast<DWORD>(size));
}

LSTATUS RegistryWriter::Dword(const wchar_t* name, DWORD value) {
  return Raw(name, REG_DWORD, &value, sizeof(value));
}

LSTATUS RegistryWriter::String(const wchar_t* name, const std::wstring& text, DWORD type) {
  return Raw(name, type, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

LSTATUS RegistryWriter::MultiString(const wchar_t* name, const std::vector<std::wstring>& entries) {
  std::wstring data;
  for (const std::wstring& entry : entries) {
    data += entry;
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  return Raw(name, REG_MULTI_SZ, data.data(), data.size() * sizeof(WCHAR));
}

LSTATUS RegistryWriter::Binary(const wchar_t* name, const void* data, size_t size) {
  return Raw(name, REG_BINARY, data, size);
}

std::vector<std::wstring> EntriesOf(const std::wstring& joined_with_nuls) {
  std::wstring joined = joined_with_nuls;
  if (!joined.empty() && joined.back() == L'\0') joined.pop_back();
  std::vector<std::wstring> entries;
  size_t start = 0;
  for (size_t end; (end = joined.find(L'\0', start)) != std::wstring::npos; start = end + 1) {
    entries.push_back(joined.substr(start, end - start));
  }
  entries.push_back(joined.substr(start));
  return entries;
}

RegistryWriter WriterFor(HKEY root, const std::wstring& path, LSTATUS* status) {
  RegistryWriter writer;
  const LSTATUS created = writer.Create(root, path);
  if (status != nullptr) *status = created;
  return writer;
}

}  // namespace dpal::test
