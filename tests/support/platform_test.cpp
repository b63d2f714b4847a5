#include "tests/support/platform_test.h"

#include <cwchar>
#include <vector>

#include "common/registry_layout.h"
#include "common/registry_tree.h"

namespace dpal::test {

namespace {

std::wstring Widen(const char* s) {
  std::wstring out;
  for (; *s; ++s) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return out;
}

// Opens the writer for a test's set-up, failing the test when the key cannot be had.
RegistryWriter Writer(HKEY root, const std::wstring& key) {
  LSTATUS status = ERROR_SUCCESS;
  RegistryWriter writer = WriterFor(root, key, &status);
  EXPECT_EQ(status, ERROR_SUCCESS) << "creating a test key";
  return writer;
}

}  // namespace

// A test may leave registry links in its scratch keys (and under Wine they outlive the test's
// process): they are deleted as links, never followed.
void PlatformTest::RemoveScratch() const {
  DeleteTreeWithoutLinks(HKEY_LOCAL_MACHINE, scratch_.c_str());
  DeleteTreeWithoutLinks(HKEY_CURRENT_USER, scratch_.c_str());
}

void PlatformTest::SetUp() {
#if !defined(_WIN32)
  sim::Reset();
#endif
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  scratch_ = L"Software\\DPALTests\\" + Widen(info->test_suite_name()) + L"." + Widen(info->name());
#if defined(_WIN32)
  RemoveScratch();  // an earlier run's (the sim's machine starts without one)
#endif
}

void PlatformTest::TearDown() {
  RemoveScratch();
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
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kBiosKey, 0, KEY_SET_VALUE, &bios) ==
      ERROR_SUCCESS) {
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
  EXPECT_EQ(Writer(root, key).Dword(name, value), ERROR_SUCCESS);
}

void PutString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value,
               DWORD type) {
  EXPECT_EQ(Writer(root, key).String(name, value, type), ERROR_SUCCESS);
}

void PutMultiString(HKEY root, const std::wstring& key, const wchar_t* name,
                    const std::wstring& joined_with_nuls) {
  EXPECT_EQ(Writer(root, key).MultiString(name, EntriesOf(joined_with_nuls)), ERROR_SUCCESS);
}

void PutBinary(HKEY root, const std::wstring& key, const wchar_t* name, const void* data,
               DWORD size) {
  EXPECT_EQ(Writer(root, key).Binary(name, data, size), ERROR_SUCCESS);
}

void MakeKey(HKEY root, const std::wstring& key) { Writer(root, key); }

bool KeyExists(HKEY root, const std::wstring& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::wstring TokenUserSid(HANDLE token) {
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return L"";
  }
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return L"";
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return L"";
  }
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

}  // namespace dpal::test
