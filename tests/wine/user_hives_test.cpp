// The per-user cleanup on the real registry under Wine: the prefix's own user is logged on (its
// hive is HKEY_CURRENT_USER), and a user who is not has a hive file made with RegSaveKeyW. The
// test adds the profile-list entries it needs and removes them again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry_layout.h"
#include "common/registry_tree.h"
#include "tests/conformance/scratch_dir.h"
#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

namespace layout = dpal::layout;
using dpal::test::KeyExists;
using dpal::test::PutDword;
using dpal::test::PutString;
using dpal::test::ScratchDir;

constexpr wchar_t kAbsentUser[] = L"S-1-5-21-0-0-0-4242";    // has a hive file
constexpr wchar_t kHivelessUser[] = L"S-1-5-21-0-0-0-4243";  // has no ntuser.dat

std::wstring Entry(const std::wstring& sid) {
  return std::wstring(layout::kProfileListKey) + L"\\" + sid;
}

bool SetPrivilege(const wchar_t* name, bool enable) {
  dpal::UniqueToken token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Put())) return false;
  TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, enable ? DWORD{SE_PRIVILEGE_ENABLED} : 0}}};
  return LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

bool PrivilegeEnabled(const wchar_t* name) {
  dpal::UniqueToken token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) return false;
  LUID luid = {};
  LookupPrivilegeValueW(nullptr, name, &luid);
  const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
    if (list->Privileges[i].Luid.LowPart == luid.LowPart &&
        list->Privileges[i].Luid.HighPart == luid.HighPart) {
      return (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

class WineUserHives : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    own_sid_ = OwnSid();
    ASSERT_FALSE(own_sid_.empty());
    own_entry_added_ = !KeyExists(HKEY_LOCAL_MACHINE, Entry(own_sid_));
    if (own_entry_added_) dpal::test::MakeKey(HKEY_LOCAL_MACHINE, Entry(own_sid_));
  }
  void TearDown() override {
    if (own_entry_added_) SHDeleteKeyW(HKEY_LOCAL_MACHINE, Entry(own_sid_).c_str());
    for (const wchar_t* sid : {kAbsentUser, kHivelessUser}) {
      SHDeleteKeyW(HKEY_LOCAL_MACHINE, Entry(sid).c_str());
    }
    dpal::DeleteTreeWithoutLinks(HKEY_CURRENT_USER, layout::kUserTreeKey);
    PlatformTest::TearDown();
  }
  static std::wstring OwnSid() {
    dpal::UniqueToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return L"";
    return dpal::test::TokenUserSid(token.get());
  }

  // A hive file holding the package's tree, saved from a scratch key, as the user's ntuser.dat
  // in `directory`; with a link in the tree at `link` naming `target` when both are given (Wine
  // saves a link as a link).
  void MakeHiveFile(const std::wstring& directory, const std::wstring& link = L"",
                    const std::wstring& target = L"") {
    const std::wstring tree = Scratch() + L"\\Hive";
    PutDword(HKEY_CURRENT_USER, tree + L"\\" + layout::kUserApplyStateKey, L"State", 1);
    PutDword(HKEY_CURRENT_USER, tree + L"\\Software\\Other", L"Keep", 1);
    if (!link.empty()) MakeLink(HKEY_CURRENT_USER, tree + L"\\" + link, target);
    dpal::UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, tree.c_str(), 0, KEY_READ, key.Put()),
              ERROR_SUCCESS);
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
    ASSERT_EQ(RegSaveKeyW(key.get(), (directory + L"\\ntuser.dat").c_str(), nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, false));
  }

  // A registry link at `key` below `root` naming `target` (the registry's own path).
  static void MakeLink(HKEY root, const std::wstring& key, const std::wstring& target) {
    dpal::UniqueKey link;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_WRITE,
                              nullptr, link.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
  }
  // A key with a value and a subkey, for a link to lead to.
  static void MakeVictim(HKEY root, const std::wstring& key) {
    PutDword(root, key, L"Keep", 1);
    PutDword(root, key + L"\\Inner", L"Keep", 2);
  }
  static bool VictimIntact(HKEY root, const std::wstring& key) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(root, (key + L"\\Inner").c_str(), L"Keep", RRF_RT_REG_DWORD, nullptr,
                        &value, &size) == ERROR_SUCCESS &&
           value == 2 && KeyExists(root, key);
  }

  std::wstring own_sid_;
  bool own_entry_added_ = false;
};

TEST_F(WineUserHives, LoggedOnUserInPlaceAndAUserWhoIsNotThroughTheHiveFile) {
  ScratchDir dir;
  const std::wstring profile = dir.Name(L"absent");
  ASSERT_TRUE(CreateDirectoryW(profile.c_str(), nullptr));
  dir.Name(L"absent\\ntuser.dat");
  ASSERT_NO_FATAL_FAILURE(MakeHiveFile(profile));
  PutString(HKEY_LOCAL_MACHINE, Entry(kAbsentUser), layout::kProfileImagePathValue, profile,
            REG_EXPAND_SZ);
  PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, L"State", 1);
  ASSERT_FALSE(PrivilegeEnabled(SE_BACKUP_NAME));
  ASSERT_FALSE(PrivilegeEnabled(SE_RESTORE_NAME));

  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, layout::kUserTreeKey)) << "deleted in place";
  EXPECT_FALSE(KeyExists(HKEY_USERS, layout::kTemporaryHiveName)) << "the mount is gone";
  EXPECT_FALSE(PrivilegeEnabled(SE_BACKUP_NAME)) << "the privileges are put back";
  EXPECT_FALSE(PrivilegeEnabled(SE_RESTORE_NAME));

  // What the mount held: the answer true says the tree was deleted there. Wine 8.0 writes
  // nothing of a mounted hive back to its file, so the file itself still holds the tree.
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, L"DPALTest.Look", (profile + L"\\ntuser.dat").c_str()),
            ERROR_SUCCESS);
  const bool tree_in_file =
      KeyExists(HKEY_USERS, std::wstring(L"DPALTest.Look\\") + layout::kUserTreeKey);
  EXPECT_TRUE(KeyExists(HKEY_USERS, L"DPALTest.Look\\Software\\Other"));
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, L"DPALTest.Look"), ERROR_SUCCESS);
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
  EXPECT_TRUE(tree_in_file) << "Wine now writes a mounted hive back: expect the tree gone";
}

TEST_F(WineUserHives, AUserWithoutHiveFileFailsAndAStaleMountIsRemoved) {
  ScratchDir dir;
  const std::wstring profile = dir.Name(L"empty");
  ASSERT_TRUE(CreateDirectoryW(profile.c_str(), nullptr));
  PutString(HKEY_LOCAL_MACHINE, Entry(kHivelessUser), layout::kProfileImagePathValue, profile,
            REG_SZ);
  const std::wstring stale = dir.Name(L"stale");
  ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
  dir.Name(L"stale\\ntuser.dat");
  ASSERT_NO_FATAL_FAILURE(MakeHiveFile(stale));
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, layout::kTemporaryHiveName, (stale + L"\\ntuser.dat").c_str()),
            ERROR_SUCCESS);
  ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));

  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(KeyExists(HKEY_USERS, layout::kTemporaryHiveName))
      << "the unload after the failed user removed the stale mount";
}

// Links in the trees, into HKEY_LOCAL_MACHINE and into the user's own keys. Wine follows every
// link (it has no trust classes), so SHDeleteKeyW here would delete the keys they lead to; the
// cleanup deletes the links themselves.
TEST_F(WineUserHives, LinksInTheTreesAreDeletedAsLinksAndTheirTargetsStay) {
  const std::wstring machine_victim = Scratch() + L"\\Victim";
  const std::wstring own_victim = Scratch() + L"\\Own";
  MakeVictim(HKEY_LOCAL_MACHINE, machine_victim);
  MakeVictim(HKEY_CURRENT_USER, own_victim);
  const std::wstring to_machine = L"\\REGISTRY\\MACHINE\\" + machine_victim;
  const std::wstring to_own = L"\\REGISTRY\\USER\\" + own_sid_ + L"\\" + own_victim;
  ScratchDir dir;
  const std::wstring profile = dir.Name(L"absent");
  ASSERT_TRUE(CreateDirectoryW(profile.c_str(), nullptr));
  dir.Name(L"absent\\ntuser.dat");
  ASSERT_NO_FATAL_FAILURE(
      MakeHiveFile(profile, std::wstring(layout::kUserTreeKey) + L"\\Evil", to_machine));
  PutString(HKEY_LOCAL_MACHINE, Entry(kAbsentUser), layout::kProfileImagePathValue, profile,
            REG_SZ);
  PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, L"State", 1);
  const std::wstring tree = layout::kUserTreeKey;
  ASSERT_NO_FATAL_FAILURE(MakeLink(HKEY_CURRENT_USER, tree + L"\\Evil", to_machine));
  ASSERT_NO_FATAL_FAILURE(MakeLink(HKEY_CURRENT_USER, tree + L"\\Mine", to_own));
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, tree + L"\\Evil\\Inner")) << "Wine follows the link";

  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, layout::kUserTreeKey));
  dpal::UniqueKey link;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (tree + L"\\Evil").c_str(), REG_OPTION_OPEN_LINK,
                          KEY_READ, link.Put()),
            ERROR_FILE_NOT_FOUND)
      << "the link itself is gone";
  EXPECT_TRUE(VictimIntact(HKEY_LOCAL_MACHINE, machine_victim));
  EXPECT_TRUE(VictimIntact(HKEY_CURRENT_USER, own_victim));
  EXPECT_FALSE(KeyExists(HKEY_USERS, layout::kTemporaryHiveName));
}

}  // namespace
