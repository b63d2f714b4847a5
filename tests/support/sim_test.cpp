#include "tests/support/sim_test.h"

#include <cwchar>

#include "common/registry_layout.h"

namespace dpal::test {

namespace {

std::wstring Widen(const char* s) {
  std::wstring out;
  for (; *s; ++s) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return out;
}

HKEY Create(HKEY root, const std::wstring& key) {
  HKEY h = nullptr;
  LSTATUS status = RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &h, nullptr);
  EXPECT_EQ(status, ERROR_SUCCESS) << "creating a test key";
  return status == ERROR_SUCCESS ? h : nullptr;
}

void Put(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
         DWORD size) {
  HKEY h = Create(root, key);
  if (h == nullptr) return;
  EXPECT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(h);
}

}  // namespace

void PlatformTest::SetUp() {
#if !defined(_WIN32)
  sim::Reset();
#endif
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  scratch_ = L"Software\\DPALTests\\" + Widen(info->test_suite_name()) + L"." + Widen(info->name());
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, scratch_.c_str());
  SHDeleteKeyW(HKEY_CURRENT_USER, scratch_.c_str());
}

void PlatformTest::TearDown() {
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, scratch_.c_str());
  SHDeleteKeyW(HKEY_CURRENT_USER, scratch_.c_str());
#if !defined(_WIN32)
  if (check_leaks_) {
    sim::LeakReport leaks = sim::Leaks();
    EXPECT_TRUE(leaks.Clean()) << "leak check: " << leaks.Describe();
  }
#endif
}

namespace {

void RemovePackageKeys() {
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kServiceKey);
  HKEY bios = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kBiosKey, 0, KEY_SET_VALUE, &bios) == ERROR_SUCCESS) {
    RegDeleteValueW(bios, layout::kBiosVersionValue);
    RegCloseKey(bios);
  }
}

}  // namespace

void MachineKeysTest::SetUp() {
  PlatformTest::SetUp();
  RemovePackageKeys();
}

void MachineKeysTest::TearDown() {
  RemovePackageKeys();
  PlatformTest::TearDown();
}

void PutDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD value) {
  Put(root, key, name, REG_DWORD, &value, sizeof(value));
}

void PutString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value,
               DWORD type) {
  Put(root, key, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

void PutMultiString(HKEY root, const std::wstring& key, const wchar_t* name,
                    const std::wstring& joined_with_nuls) {
  // The caller gives the entries separated by NULs; the list ends with one more NUL.
  std::wstring data = joined_with_nuls;
  data.push_back(L'\0');
  Put(root, key, name, REG_MULTI_SZ, data.c_str(),
      static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
}

void PutBinary(HKEY root, const std::wstring& key, const wchar_t* name, const void* data,
               DWORD size) {
  Put(root, key, name, REG_BINARY, data, size);
}

void MakeKey(HKEY root, const std::wstring& key) {
  HKEY h = Create(root, key);
  if (h) RegCloseKey(h);
}

bool KeyExists(HKEY root, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

}  // namespace dpal::test
