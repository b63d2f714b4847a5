// Registry symbolic links: a key made with REG_OPTION_CREATE_LINK whose REG_LINK value
// "SymbolicLinkValue" names another key by the registry's own path ("\REGISTRY\USER\...").
// What the sim must do the way Windows documents it; where Wine 8.0 differs, the Wine result is
// recorded under !DPAL_SIM with the gap named. The links live below the test's scratch key under
// HKCU, whose removal at the end of the test deletes links as links.
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/module.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::UniqueKey;
using dpal::test::KeyExists;
using dpal::test::PlatformTest;
using dpal::test::PutDword;

using dpal::test::kSentinel;
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121);
constexpr LONG kStatusKeyDeleted = static_cast<LONG>(0xC000017C);
using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE key);

class Links : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ntdll_ = dpal::LoadSystemLibrary(L"ntdll.dll");
    delete_key_ = dpal::ExportOf<NtDeleteKeyFn>(ntdll_, "NtDeleteKey");
    ASSERT_NE(delete_key_, nullptr) << "ntdll.dll exports NtDeleteKey";
    dpal::UniqueToken token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()));
    sid_ = dpal::test::TokenUserSid(token.get());
    ASSERT_FALSE(sid_.empty());
  }
  void TearDown() override {
    ntdll_.reset();
    PlatformTest::TearDown();
  }

  // A key below the scratch key, and its name in the registry's own namespace.
  std::wstring Path(const std::wstring& sub) const { return Scratch() + L"\\" + sub; }
  std::wstring Native(const std::wstring& sub) const {
    return L"\\REGISTRY\\USER\\" + sid_ + L"\\" + Path(sub);
  }
  // A key below the scratch key with the DWORD "v" = 7 and a subkey "Child".
  void MakeTarget(const std::wstring& sub) {
    PutDword(HKEY_CURRENT_USER, Path(sub), L"v", 7);
    dpal::test::MakeKey(HKEY_CURRENT_USER, Path(sub + L"\\Child"));
  }
  // Makes a link below the scratch key naming `target` (the text as the value's data, without a
  // terminator unless `with_terminator`).
  void MakeLink(const std::wstring& sub, const std::wstring& target, bool with_terminator = false) {
    UniqueKey link;
    DWORD disposition = kSentinel;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, link.Put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const DWORD bytes =
        static_cast<DWORD>((target.size() + (with_terminator ? 1 : 0)) * sizeof(WCHAR));
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()), bytes),
              ERROR_SUCCESS);
  }
  // Opens a key below the scratch key, following a link in its last name or not.
  LSTATUS Open(const std::wstring& sub, DWORD options, REGSAM access, UniqueKey* key) const {
    return RegOpenKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), options, access, key->Put());
  }
  bool IsLink(const std::wstring& sub) const {
    UniqueKey link;
    DWORD type = REG_NONE;
    return Open(sub, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &link) == ERROR_SUCCESS &&
           RegQueryValueExW(link.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) ==
               ERROR_SUCCESS &&
           type == REG_LINK;
  }
  static bool HasValue(HKEY root, const std::wstring& path) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(root, path.c_str(), L"v", RRF_RT_REG_DWORD, nullptr, &value, &size) ==
               ERROR_SUCCESS &&
           value == 7;
  }
  // NtDeleteKey through a handle of the link itself.
  LONG DeleteLink(const std::wstring& sub, REGSAM access = DELETE) const {
    UniqueKey link;
    if (Open(sub, REG_OPTION_OPEN_LINK, access, &link) != ERROR_SUCCESS) return -1;
    return delete_key_(link.get());
  }

  dpal::UniqueModule ntdll_;
  NtDeleteKeyFn delete_key_ = nullptr;
  std::wstring sid_;
};

// ----- Creation and opening ---------------------------------------------------------------------

TEST_F(Links, AnOpenFollowsALinkUnlessItAsksForTheLinkItself) {
  MakeTarget(L"Target");
  UniqueKey link;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"Link").c_str(), 0, nullptr,
                            REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, link.Put(), nullptr),
            ERROR_SUCCESS)
      << "KEY_CREATE_LINK need not be asked for";
  UniqueKey key;
  EXPECT_EQ(Open(L"Link", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << "a link without a target";
  const std::wstring target = Native(L"Target");
  const auto* data = reinterpret_cast<const BYTE*>(target.c_str());
  const DWORD bytes = static_cast<DWORD>(target.size() * sizeof(WCHAR));
  EXPECT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_SZ, data, bytes),
            ERROR_ACCESS_DENIED)
      << "the target is a REG_LINK";
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(link.get(), L"Other", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                           sizeof(one)),
            ERROR_ACCESS_DENIED)
      << "a link holds nothing but its target";
  ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, data, bytes),
            ERROR_SUCCESS);
  link.reset();

  // Opened the ordinary way, the link is its target, in the last name and on the way.
  ASSERT_EQ(Open(L"Link", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD subkeys = kSentinel, values = kSentinel;
  ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             &values, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 1u);
  EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Link")));
  EXPECT_EQ(RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(L"Link\\Child", REG_OPTION_OPEN_LINK, KEY_READ, &key), ERROR_SUCCESS)
      << "REG_OPTION_OPEN_LINK concerns the last name only";

  // With REG_OPTION_OPEN_LINK it is the link itself: its value, and no subkeys of its own.
  ASSERT_EQ(Open(L"Link", REG_OPTION_OPEN_LINK, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = kSentinel;
  DWORD size = kSentinel;
  EXPECT_EQ(RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_LINK));
  EXPECT_EQ(size, bytes);
  ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             &values, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 1u);
  WCHAR name[16];
  DWORD length = 16;
  EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  UniqueKey child;
  EXPECT_EQ(RegOpenKeyExW(key.get(), L"Child", 0, KEY_READ, child.Put()), ERROR_SUCCESS)
      << "a path relative to the link starts at its target";

  // RegCreateKeyExW: the link options open the link itself; creating a link over a key fails.
  DWORD disposition = kSentinel;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"Link").c_str(), 0, nullptr,
                            REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, key.Put(), nullptr),
            ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"Target").c_str(), 0, nullptr,
                            REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, key.Put(), nullptr),
            ERROR_ALREADY_EXISTS);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"Link").c_str(), 0, nullptr,
                            REG_OPTION_OPEN_LINK, KEY_READ, nullptr, key.Put(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"Link").c_str(), 0, nullptr, 0, KEY_READ,
                            nullptr, key.Put(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key.get(), L"v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
      << "without them, the target";

  // The parent lists the link under its own name.
  std::vector<std::wstring> listed;
  UniqueKey scratch;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, KEY_READ, scratch.Put()),
            ERROR_SUCCESS);
  for (DWORD i = 0;; ++i) {
    length = 16;
    if (RegEnumKeyExW(scratch.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    listed.push_back(name);
  }
  EXPECT_EQ(listed, (std::vector<std::wstring>{L"Link", L"Target"}));
}

TEST_F(Links, TheTargetIsTheRegistrysOwnPathWithoutATerminator) {
  MakeTarget(L"Target");
  MakeLink(L"Lower", L"\\registry\\user\\" + sid_ + L"\\" + Path(L"Target"));
  MakeLink(L"Terminated", Native(L"Target"), /*with_terminator=*/true);
  MakeLink(L"Win32Name", L"HKEY_CURRENT_USER\\" + Path(L"Target"));
  MakeLink(L"Relative", L"Target");
  MakeLink(L"Chained", Native(L"Lower"));
  EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Lower"))) << "names compare without case";
  EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Chained"))) << "a link to a link leads on";
  UniqueKey key;
  for (const wchar_t* dangling : {L"Terminated", L"Win32Name", L"Relative"}) {
    EXPECT_EQ(Open(dangling, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << dangling;
    EXPECT_TRUE(IsLink(dangling)) << dangling;
  }

  // Creating through a link whose target is missing creates the target.
  MakeLink(L"ToNew", Native(L"New"));
  DWORD disposition = kSentinel;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"ToNew").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.Put(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path(L"New")));
  EXPECT_TRUE(IsLink(L"ToNew"));
}

// ----- Deletion ---------------------------------------------------------------------------------

TEST_F(Links, NtDeleteKeyThroughTheLinksOwnHandleDeletesTheLinkAlone) {
  MakeTarget(L"Target");
  MakeLink(L"Link", Native(L"Target"));
  EXPECT_EQ(DeleteLink(L"Link", KEY_READ), kStatusAccessDenied) << "the handle needs DELETE";
  EXPECT_TRUE(IsLink(L"Link"));
  UniqueKey key;
  ASSERT_EQ(Open(L"Link", REG_OPTION_OPEN_LINK, DELETE, &key), ERROR_SUCCESS);
  EXPECT_EQ(delete_key_(key.get()), 0);
  const LONG again = delete_key_(key.get());
  // Wine gap: Wine deletes a deleted key again without complaint.
  DPAL_TODO_WINE EXPECT_EQ(again, kStatusKeyDeleted) << "the handle's key is gone";
  EXPECT_EQ(Open(L"Link", REG_OPTION_OPEN_LINK, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Target"))) << "the target is untouched";
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path(L"Target\\Child")));

  ASSERT_EQ(Open(L"Target", 0, DELETE, &key), ERROR_SUCCESS);
  const LONG with_subkeys = delete_key_(key.get());
  // Wine gap: Wine answers STATUS_ACCESS_DENIED.
  DPAL_TODO_WINE EXPECT_EQ(with_subkeys, kStatusCannotDelete) << "a key with subkeys stays";
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path(L"Target\\Child")));
}

TEST_F(Links, RegDeleteKeyAndSHDeleteKeyNeverDeleteTheLinkItself) {
  PutDword(HKEY_CURRENT_USER, Path(L"Leaf"), L"v", 7);
  MakeLink(L"ToLeaf", Native(L"Leaf"));
  const LSTATUS by_name = RegDeleteKeyW(HKEY_CURRENT_USER, Path(L"ToLeaf").c_str());
  // The registry's delete methods answer ERROR_FILE_NOT_FOUND for a link. Wine gap: Wine follows
  // the link and deletes the target.
  DPAL_TODO_WINE {
    EXPECT_EQ(by_name, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Leaf")));
  }
  EXPECT_TRUE(IsLink(L"ToLeaf")) << "the link stays either way";
  MakeLink(L"Dangling", Native(L"Nothing"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, Path(L"Dangling").c_str()), ERROR_FILE_NOT_FOUND);

  // SHDeleteKeyW opens each subkey to delete it: through the link, into the target.
  MakeTarget(L"Target");
  dpal::test::MakeKey(HKEY_CURRENT_USER, Path(L"Tree\\Own"));
  MakeLink(L"Tree\\Evil", Native(L"Target"));
  EXPECT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, Path(L"Tree").c_str()),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(IsLink(L"Tree\\Evil")) << "the link stays";
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path(L"Tree\\Own"))) << "and what comes after it";
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path(L"Target\\Child")))
      << "the target's subkeys are gone";
  // Wine gap: Wine's deletion of the link by name deletes the target too.
  DPAL_TODO_WINE EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Target")))
      << "the target itself stays: deleting the link by name finds no key";
}

// A user's hive and the machine's hives are of different trust classes: Windows does not follow
// a link from one into the other. Wine has no trust classes.
TEST_F(Links, ALinkFromAUsersHiveIntoTheMachineIsNotFollowed) {
  const std::wstring victim = Scratch() + L"\\Victim";
  PutDword(HKEY_LOCAL_MACHINE, victim, L"v", 7);
  dpal::test::MakeKey(HKEY_LOCAL_MACHINE, victim + L"\\Inner");
  MakeLink(L"Tree\\Evil", L"\\REGISTRY\\MACHINE\\" + victim);
  UniqueKey key;
  const LSTATUS opened = Open(L"Tree\\Evil", 0, KEY_READ, &key);
  const auto deleted = SHDeleteKeyW(HKEY_CURRENT_USER, Path(L"Tree").c_str());
  // Wine gap: Wine follows the link into HKEY_LOCAL_MACHINE, and SHDeleteKeyW deletes the
  // machine's key through the user's link.
  DPAL_TODO_WINE {
    EXPECT_EQ(opened, ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleted, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, victim));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, victim + L"\\Inner"));
  }
  EXPECT_TRUE(IsLink(L"Tree\\Evil"));
  EXPECT_EQ(DeleteLink(L"Tree\\Evil"), 0) << "the link itself can always be deleted";
}

#if DPAL_SIM

const std::wstring kBob = L"S-1-5-21-1000-1000-1000-1001";

TEST_F(Links, AStandardUserMakesLinksInHisOwnHiveOnlyAndNoneLeadsOutOfIt) {
  sim::LoadUserHive(kBob);
  sim::SetProcessIdentity(sim::StandardUser(kBob, L"bob"));
  sid_ = kBob;
  MakeTarget(L"Target");
  MakeLink(L"Own", Native(L"Target"));
  EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, Path(L"Own"))) << "a link within his hive is followed";
  const std::wstring admin = sim::DefaultAdmin().user_sid;
  MakeLink(L"OtherUser", L"\\REGISTRY\\USER\\" + admin + L"\\Software");
  MakeLink(L"Machine", L"\\REGISTRY\\MACHINE\\SOFTWARE");
  UniqueKey key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\BobsLink", 0, nullptr,
                            REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, key.Put(), nullptr),
            ERROR_ACCESS_DENIED)
      << "no link where he may not create keys";

  // Whoever opens them, links out of a user's hive are not followed, and nothing is created
  // through them.
  for (const sim::Identity& who : {sim::StandardUser(kBob, L"bob"), sim::LocalSystem()}) {
    sim::SetProcessIdentity(who);
    const std::wstring bob = kBob + L"\\" + Scratch() + L"\\";
    for (const wchar_t* link : {L"OtherUser", L"Machine"}) {
      SCOPED_TRACE(::testing::Message() << link);
      EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, (bob + link).c_str(), 0, KEY_READ, key.Put()),
                ERROR_ACCESS_DENIED);
      EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, (bob + link + L"\\New").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
                ERROR_ACCESS_DENIED);
    }
  }
  EXPECT_FALSE(KeyExists(HKEY_USERS, admin + L"\\Software\\New"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New"));

  // Within the machine's hives a link is followed.
  sim::SetProcessIdentity(sim::DefaultAdmin());
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ToSystem", 0, nullptr,
                            REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  const std::wstring system = L"\\REGISTRY\\MACHINE\\SYSTEM";
  ASSERT_EQ(RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK,
                           reinterpret_cast<const BYTE*>(system.c_str()),
                           static_cast<DWORD>(system.size() * sizeof(WCHAR))),
            ERROR_SUCCESS);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ToSystem\\CurrentControlSet"));
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ToSystem", REG_OPTION_OPEN_LINK, DELETE,
                          key.Put()),
            ERROR_SUCCESS);
  EXPECT_EQ(delete_key_(key.get()), 0);
}

// A link is kept in the hive file, and a hive that RegLoadKeyW mounted is a trust class of its
// own: its links lead nowhere outside it.
TEST_F(Links, LinksStayLinksInTheHiveFileAndAMountedHiveKeepsThemInside) {
  sim::CreateUserProfile(kBob, L"bob");
  sim::LogOn(4, kBob, L"bob");
  sid_ = kBob;
  const std::wstring tree = kBob + L"\\" + Scratch();
  PutDword(HKEY_USERS, tree + L"\\Target", L"v", 7);
  for (const auto& [name, target] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"Own", L"\\REGISTRY\\USER\\" + tree + L"\\Target"},
           {L"Machine", L"\\REGISTRY\\MACHINE\\SOFTWARE"}}) {
    UniqueKey link;
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, (tree + L"\\" + name).c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK, KEY_WRITE, nullptr, link.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
  }
  sim::LogOff(4);

  dpal::UniqueToken token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Put()));
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[2];
  } both = {2, {{{0, 0}, SE_PRIVILEGE_ENABLED}, {{0, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &both.entries[0].Luid));
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &both.entries[1].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&both),
                                    0, nullptr, nullptr));
  const std::wstring file = sim::ProfileDirectory(L"bob") + L"\\ntuser.dat";
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, L"Mounted", file.c_str()), ERROR_SUCCESS);
  {
    const std::wstring mounted = L"Mounted\\" + Scratch() + L"\\";
    UniqueKey key;
    for (const wchar_t* name : {L"Own", L"Machine"}) {
      ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, (mounted + name).c_str(), REG_OPTION_OPEN_LINK,
                              KEY_QUERY_VALUE, key.Put()),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(
          RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr),
          ERROR_SUCCESS)
          << name << " is still a link";
    }
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, (mounted + L"Own").c_str(), 0, KEY_READ, key.Put()),
              ERROR_FILE_NOT_FOUND)
        << "its target names bob's hive, which is not loaded";
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, (mounted + L"Machine").c_str(), 0, KEY_READ, key.Put()),
              ERROR_ACCESS_DENIED);
    const sim::Snapshot snapshot = sim::TakeSnapshot();
    const auto& registry = snapshot.Items("registry");
    auto item = registry.find("HKEY_USERS\\Mounted\\" + sim::Utf8(Scratch()) + "\\Machine");
    ASSERT_NE(item, registry.end());
    EXPECT_EQ(item->second, "symbolic link to \"\\REGISTRY\\MACHINE\\SOFTWARE\"");
  }
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, L"Mounted"), ERROR_SUCCESS);
  for (auto& entry : both.entries) entry.Attributes = 0;
  EXPECT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&both),
                                    0, nullptr, nullptr));

  sim::LogOn(4, kBob, L"bob");
  EXPECT_TRUE(HasValue(HKEY_USERS, tree + L"\\Own")) << "back in bob's own hive, it leads on";
  sim::LogOff(4);
}

TEST_F(Links, ALoopOfLinksOpensAsMissing) {
  MakeLink(L"A", Native(L"B"));
  MakeLink(L"B", Native(L"A"));
  UniqueKey key;
  EXPECT_EQ(Open(L"A", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Path(L"A\\Below").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(IsLink(L"A"));
  EXPECT_TRUE(IsLink(L"B"));
}

#endif  // DPAL_SIM

}  // namespace
