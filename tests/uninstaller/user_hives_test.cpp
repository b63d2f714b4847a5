// The per-user cleanup on a simulated machine with users who have profiles: logged on (their
// hive loaded from ntuser.dat) or not (their hive only in the file), as the uninstaller's
// final-cleanup run meets them, running as LocalSystem.
#include <cctype>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "platform/sim/snapshot.h"
#include "uninstaller/routines.h"

namespace {

using dpal::test::KeyExists;
using dpal::test::PutDword;
using dpal::test::PutString;
namespace layout = dpal::layout;

constexpr wchar_t kAlice[] = L"S-1-5-21-1000-1000-1000-1001";
constexpr wchar_t kBob[] = L"S-1-5-21-1000-1000-1000-1002";
constexpr wchar_t kCarol[] = L"S-1-5-21-1000-1000-1000-1003";
constexpr wchar_t kDave[] = L"S-1-5-21-1000-1000-1000-1004";
constexpr DWORD kSpareSession = 7;  // where users log on only to have their hive file written

std::wstring UserKey(const std::wstring& sid, const std::wstring& sub) { return sid + L"\\" + sub; }
// Key names compare without case.
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
std::wstring ProfileEntry(const std::wstring& sid) {
  return std::wstring(layout::kProfileListKey) + L"\\" + sid;
}

class UserHives : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
  }

  // A user with a profile whose hive file holds the package's tree (the apply state and a
  // profile record) and a key of its own; the user is logged off again afterwards.
  void AddUser(const std::wstring& sid, const std::wstring& name, bool with_tree = true) {
    sim::CreateUserProfile(sid, name);
    sim::LogOn(kSpareSession, sid, name);
    PutDword(HKEY_USERS, UserKey(sid, L"Software\\Other"), L"Keep", 1);
    sim::LogOff(kSpareSession);
    if (with_tree) PutPackageTree(sid);
    ASSERT_FALSE(sim::IsHiveLoaded(HKEY_USERS, sid)) << "the hive went back to its file";
  }
  // Puts the tree into a user's hive, loaded or (through a logon) in its file.
  void PutPackageTree(const std::wstring& sid) {
    const bool loaded = sim::IsHiveLoaded(HKEY_USERS, sid);
    if (!loaded) sim::LogOn(kSpareSession, sid, L"refill");
    PutDword(HKEY_USERS, UserKey(sid, layout::kUserApplyStateKey), L"State", 1);
    dpal::test::MakeKey(HKEY_USERS,
                        UserKey(sid, std::wstring(layout::kProfileMarkerKey) + L"\\QXLCD_A.icm"));
    if (!loaded) sim::LogOff(kSpareSession);
  }

  // What the user's hive holds after the run: the file is loaded by a logon to look.
  bool HasTree(const std::wstring& sid) { return HiveHas(sid, layout::kUserTreeKey); }
  bool HiveHas(const std::wstring& sid, const std::wstring& key) {
    const bool loaded = sim::IsHiveLoaded(HKEY_USERS, sid);
    if (!loaded) sim::LogOn(kSpareSession, sid, L"look");
    const bool found = KeyExists(HKEY_USERS, UserKey(sid, key));
    if (!loaded) sim::LogOff(kSpareSession);
    return found;
  }

  // A registry link that the user makes in his own hive as himself, a standard user, in the
  // spare session when he is not logged on (so that it goes into his hive file). The cleanup's
  // LocalSystem identity is put back afterwards.
  void PlantLink(const std::wstring& sid, const std::wstring& key, const std::wstring& target) {
    const bool loaded = sim::IsHiveLoaded(HKEY_USERS, sid);
    if (!loaded) sim::LogOn(kSpareSession, sid, L"planter");
    sim::SetProcessIdentity(sim::StandardUser(sid, L"planter"));
    HKEY link = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                              KEY_WRITE, nullptr, &link, nullptr),
              ERROR_SUCCESS)
        << "a standard user may make links in his own hive";
    EXPECT_EQ(RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(link);
    sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
    if (!loaded) sim::LogOff(kSpareSession);
  }
  // Whether a user's hive holds a link at `key` (loaded by a logon to look when the user is not).
  bool HiveHasLink(const std::wstring& sid, const std::wstring& key) {
    const bool loaded = sim::IsHiveLoaded(HKEY_USERS, sid);
    if (!loaded) sim::LogOn(kSpareSession, sid, L"look");
    HKEY link = nullptr;
    DWORD type = REG_NONE;
    const bool found = RegOpenKeyExW(HKEY_USERS, UserKey(sid, key).c_str(), REG_OPTION_OPEN_LINK,
                                     KEY_QUERY_VALUE, &link) == ERROR_SUCCESS &&
                       RegQueryValueExW(link, L"SymbolicLinkValue", nullptr, &type, nullptr,
                                        nullptr) == ERROR_SUCCESS &&
                       type == REG_LINK;
    if (link) RegCloseKey(link);
    if (!loaded) sim::LogOff(kSpareSession);
    return found;
  }

  static void DisableHivePrivileges() { SetHivePrivileges(0); }
  static void SetHivePrivileges(DWORD attributes) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    struct {
      DWORD count;
      LUID_AND_ATTRIBUTES privileges[2];
    } both = {2, {{{0, 0}, attributes}, {{0, 0}, attributes}}};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &both.privileges[0].Luid));
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &both.privileges[1].Luid));
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&both), 0,
                                      nullptr, nullptr));
    CloseHandle(token);
  }

  // Whether SeBackupPrivilege and SeRestorePrivilege are enabled in the process token.
  static std::vector<bool> HivePrivilegesEnabled() {
    std::vector<bool> enabled;
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
    CloseHandle(token);
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
      LUID luid = {};
      EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid));
      bool on = false;
      for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
          on = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
      }
      enabled.push_back(on);
    }
    return enabled;
  }
};

TEST_F(UserHives, LoggedOnUserIsCleanedInPlaceAndOthersThroughTheirHiveFile) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  sim::LogOn(2, kAlice, L"alice");
  sim::RecordTrace(true);
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  sim::RecordTrace(false);

  EXPECT_FALSE(KeyExists(HKEY_USERS, UserKey(kAlice, layout::kUserTreeKey)));
  EXPECT_TRUE(KeyExists(HKEY_USERS, UserKey(kAlice, L"Software\\Other")));
  EXPECT_FALSE(HasTree(kBob)) << "the deletion was written back to bob's ntuser.dat";
  EXPECT_TRUE(HiveHas(kBob, L"Software\\Other"));
  EXPECT_TRUE(KeyExists(HKEY_USERS, UserKey(kAlice, L"Software\\Other")));
  // Bob's hive, and only bob's, was mounted at the temporary name.
  std::vector<std::wstring> loads;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "RegLoadKeyW") loads.push_back(call.args);
  }
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_NE(loads[0].find(layout::kTemporaryHiveName), std::wstring::npos) << loads[0];
  EXPECT_NE(loads[0].find(L"C:\\Users\\bob\\ntuser.dat"), std::wstring::npos) << loads[0];
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, layout::kTemporaryHiveName));
  EXPECT_EQ(HivePrivilegesEnabled(), (std::vector<bool>{false, false}))
      << "the privileges enabled for the mounts are disabled again";
  sim::LogOff(2);
}

// Against the whole machine: the run removes the package's trees and nothing else, in the
// loaded hive and in the other user's hive file.
TEST_F(UserHives, TheDifferenceIsExactlyThePackagesTrees) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  sim::LogOn(2, kAlice, L"alice");
  const sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  const std::string alice_tree = "HKEY_USERS\\" + sim::Utf8(kAlice) + "\\SOFTWARE\\Tarvex\\DPAL";
  int removed_keys = 0;
  int changed_files = 0;
  for (const sim::SnapshotChange& change : diff.Changes()) {
    if (change.part == "registry" && change.kind == sim::SnapshotChange::Kind::Removed &&
        Upper(change.item.substr(0, alice_tree.size())) == Upper(alice_tree)) {
      ++removed_keys;
    } else if (change.part == "files" && change.kind == sim::SnapshotChange::Kind::Changed &&
               change.item == "C:\\Users\\bob\\ntuser.dat") {
      ++changed_files;
    } else {
      ADD_FAILURE() << "not the package's: " << change.Detail();
    }
  }
  EXPECT_GE(removed_keys, 4) << diff;  // DPAL, State with its value, Profiles, the record
  EXPECT_EQ(changed_files, 1) << diff;
  sim::LogOff(2);
}

// A standard user's links in his part of the tree, into the machine's keys, into another user's
// hive and into his own hive, for logged-on users and for users known by their hive file only
// (dave's whole tree is a link). Windows would not follow the first two (their targets are in
// hives of other trust classes); SHDeleteKeyW would then fail the user and keep his tree, and
// follow the third into his own keys. The cleanup deletes the links themselves and nothing else.
TEST_F(UserHives, LinksInAUsersTreeAreDeletedAsLinksAndTheirTargetsStay) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  AddUser(kCarol, L"carol");
  AddUser(kDave, L"dave", /*with_tree=*/false);
  sim::LogOn(2, kAlice, L"alice");
  sim::LogOn(3, kBob, L"bob");
  PutDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Victim", L"Keep", 1);
  PutDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Victim\\Inner", L"Keep", 2);
  PutDword(HKEY_USERS, UserKey(kBob, L"Software\\Victim\\Inner"), L"Keep", 3);
  const std::wstring tree = layout::kUserTreeKey;
  for (const wchar_t* sid : {kAlice, kCarol}) {
    PlantLink(sid, tree + L"\\Evil", L"\\REGISTRY\\MACHINE\\SOFTWARE\\Victim");
    PlantLink(sid, std::wstring(layout::kProfileMarkerKey) + L"\\ToBob",
              L"\\REGISTRY\\USER\\" + std::wstring(kBob) + L"\\Software\\Victim");
    PlantLink(sid, tree + L"\\Mine", L"\\REGISTRY\\USER\\" + std::wstring(sid) + L"\\Software");
  }
  PlantLink(kDave, tree, L"\\REGISTRY\\MACHINE\\SOFTWARE\\Victim");
  ASSERT_TRUE(HiveHasLink(kCarol, tree + L"\\Evil")) << "the link went into carol's hive file";
  const sim::Snapshot before = sim::TakeSnapshot();

  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());

  for (const wchar_t* sid : {kAlice, kBob, kCarol, kDave}) {
    EXPECT_FALSE(HasTree(sid)) << sim::Utf8(sid);
    EXPECT_FALSE(HiveHasLink(sid, tree)) << sim::Utf8(sid);
  }
  // Nothing changed but the trees (the links in them included) and the hive files of the users
  // who are not logged on.
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  int removed = 0;
  for (const sim::SnapshotChange& change : diff.Changes()) {
    bool in_a_tree = false;
    for (const wchar_t* sid : {kAlice, kBob}) {
      const std::string prefix = Upper("HKEY_USERS\\" + sim::Utf8(sid) + "\\" + sim::Utf8(tree));
      in_a_tree = in_a_tree || Upper(change.item.substr(0, prefix.size())) == prefix;
    }
    if (change.part == "registry" && change.kind == sim::SnapshotChange::Kind::Removed &&
        in_a_tree) {
      ++removed;
    } else if (change.part != "files" || change.kind != sim::SnapshotChange::Kind::Changed ||
               (change.item != "C:\\Users\\carol\\ntuser.dat" &&
                change.item != "C:\\Users\\dave\\ntuser.dat")) {
      ADD_FAILURE() << "not the package's: " << change.Detail();
    }
  }
  EXPECT_GE(removed, 10) << diff;  // both trees, alice's three links among them
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Victim\\Inner"));
  EXPECT_TRUE(KeyExists(HKEY_USERS, UserKey(kBob, L"Software\\Victim\\Inner")));
  EXPECT_TRUE(HiveHas(kCarol, L"Software\\Other")) << "carol's own keys stay";
  sim::LogOff(3);
  sim::LogOff(2);
}

// A link on the way to the tree ("SOFTWARE\Tarvex" made a link into the user's own keys) is not
// followed: what it leads to is not in the tree. That user is not cleaned; the others are.
TEST_F(UserHives, ALinkOnTheWayToTheTreeIsNotFollowed) {
  AddUser(kAlice, L"alice", /*with_tree=*/false);
  AddUser(kBob, L"bob");
  sim::LogOn(2, kAlice, L"alice");
  PutDword(HKEY_USERS, UserKey(kAlice, L"Software\\Elsewhere\\DPAL"), L"Keep", 1);
  PlantLink(kAlice, L"SOFTWARE\\Tarvex",
            L"\\REGISTRY\\USER\\" + std::wstring(kAlice) + L"\\Software\\Elsewhere");
  ASSERT_TRUE(HasTree(kAlice)) << "the tree's path leads through the link";

  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  EXPECT_TRUE(KeyExists(HKEY_USERS, UserKey(kAlice, L"Software\\Elsewhere\\DPAL")));
  EXPECT_TRUE(HiveHasLink(kAlice, L"SOFTWARE\\Tarvex"));
  EXPECT_FALSE(HasTree(kBob));
  sim::LogOff(2);
}

TEST_F(UserHives, PrivilegesAlreadyEnabledStaySo) {
  AddUser(kBob, L"bob");
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES backup = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &backup.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &backup, 0, nullptr, nullptr));
  CloseHandle(token);
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(HasTree(kBob));
  EXPECT_EQ(HivePrivilegesEnabled(), (std::vector<bool>{true, false}));
}

TEST_F(UserHives, AUserWhoCannotBeCleanedFailsAloneAndTheOthersAreCleaned) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  AddUser(kCarol, L"carol", /*with_tree=*/false);
  // Alice's profile directory has lost its ntuser.dat.
  sim::RemoveFile(sim::ProfileDirectory(L"alice") + L"\\ntuser.dat");
  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(HasTree(kBob)) << "the user after the failed one is still cleaned";
  EXPECT_FALSE(HasTree(kCarol));
  EXPECT_TRUE(HiveHas(kCarol, L"Software\\Other"));

  // With alice gone from the profile list, a hive without the tree counts as clean.
  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, ProfileEntry(kAlice).c_str()), ERROR_SUCCESS);
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
}

TEST_F(UserHives, AStaleMountFailsTheNextUserAndIsRemovedForTheRest) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  // An interrupted earlier run left a hive mounted at the temporary name.
  sim::CreateUserProfile(L"S-1-5-21-9-9-9-9", L"stale");
  SetHivePrivileges(SE_PRIVILEGE_ENABLED);
  ASSERT_EQ(RegLoadKeyW(HKEY_USERS, layout::kTemporaryHiveName,
                        (sim::ProfileDirectory(L"stale") + L"\\ntuser.dat").c_str()),
            ERROR_SUCCESS);
  DisableHivePrivileges();
  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, ProfileEntry(L"S-1-5-21-9-9-9-9").c_str()),
            ERROR_SUCCESS);

  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  // The profile list enumerates in SID order: alice meets the stale mount, bob is cleaned.
  EXPECT_TRUE(HasTree(kAlice));
  EXPECT_FALSE(HasTree(kBob));
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, layout::kTemporaryHiveName));
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives()) << "a second run cleans alice too";
  EXPECT_FALSE(HasTree(kAlice));
}

TEST_F(UserHives, ServiceAccountsAndNamesOutsideTheFilterAreNeverTouched) {
  // Service accounts whose hives are loaded and hold the tree: still not theirs to clean.
  for (const wchar_t* sid : {L"S-1-5-19", L"S-1-5-20"}) {
    sim::LoadUserHive(sid);
    PutPackageTree(sid);
  }
  PutPackageTree(L"S-1-5-18");
  sim::RecordTrace(true);
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  sim::RecordTrace(false);
  for (const wchar_t* sid : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
    EXPECT_TRUE(KeyExists(HKEY_USERS, UserKey(sid, layout::kUserTreeKey))) << sid;
  }
  for (const sim::Call& call : sim::Trace()) {
    EXPECT_NE(call.function, "RegLoadKeyW");
    EXPECT_EQ(call.args.find(L"S-1-5-1"), std::wstring::npos)
        << call.function << "(" << call.args << ") touches a service account";
  }
  SHDeleteKeyW(HKEY_USERS, UserKey(L"S-1-5-18", layout::kUserTreeKey).c_str());
  for (const wchar_t* sid : {L"S-1-5-19", L"S-1-5-20"}) EXPECT_TRUE(sim::UnloadUserHive(sid));
}

// The profile directory as the profile list gives it: expanded when it is a REG_EXPAND_SZ,
// always terminated, and a value too long for a path fails that user alone.
TEST_F(UserHives, ProfileImagePathIsExpandedTerminatedAndBounded) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  AddUser(kCarol, L"carol");
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kAlice), layout::kProfileImagePathValue,
            L"%SystemDrive%\\Users\\alice", REG_EXPAND_SZ);
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kBob), layout::kProfileImagePathValue,
            L"C:\\Users\\bob", REG_SZ);
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  EXPECT_FALSE(HasTree(kAlice)) << "the variable was expanded";
  EXPECT_FALSE(HasTree(kBob));
  EXPECT_FALSE(HasTree(kCarol));

  // A value stored without its terminator. The unit after it in memory is no NUL, or
  // RegSetValueExW would count it in, as Windows does.
  const auto put_unterminated = [](const wchar_t* sid, DWORD type, std::wstring text) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    text += L'!';
    HKEY entry = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileEntry(sid).c_str(), 0, KEY_SET_VALUE, &entry),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(entry, layout::kProfileImagePathValue, 0, type,
                             reinterpret_cast<const BYTE*>(text.data()), bytes),
              ERROR_SUCCESS);
    RegCloseKey(entry);
  };
  // 260 units without a terminator: no path fits, and nothing past the value is read.
  for (const wchar_t* sid : {kAlice, kBob, kCarol}) PutPackageTree(sid);
  std::wstring long_path = L"C:\\Users\\";
  long_path.append(260 - long_path.size(), L'x');
  put_unterminated(kAlice, REG_SZ, long_path);
  // Fewer units without a terminator: a path that fits, terminated by the reader.
  put_unterminated(kBob, REG_SZ, L"C:\\Users\\bob");
  // An expansion that no longer fits in a path fails too: 258 units stored, 260 expanded
  // ("C:\Program Files" is two units longer than its variable), one more than a path holds.
  std::wstring expands_long = L"%ProgramFiles%";
  expands_long.append(258 - expands_long.size(), L'y');
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kCarol), layout::kProfileImagePathValue, expands_long,
            REG_EXPAND_SZ);
  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  // The logons that look into the hives need the paths back.
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kAlice), layout::kProfileImagePathValue,
            L"C:\\Users\\alice", REG_SZ);
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kCarol), layout::kProfileImagePathValue,
            L"C:\\Users\\carol", REG_SZ);
  EXPECT_TRUE(HasTree(kAlice));
  EXPECT_FALSE(HasTree(kBob)) << "a value without terminator that fits is used";
  EXPECT_TRUE(HasTree(kCarol));

  // The same for a REG_EXPAND_SZ, whose text is expanded: 260 units without a terminator fail
  // (under the sanitizers, a read past the value would show), a shorter one is expanded as
  // stored.
  for (const wchar_t* sid : {kAlice, kBob}) PutPackageTree(sid);
  std::wstring long_expanding = L"%SystemDrive%\\Users\\";
  long_expanding.append(260 - long_expanding.size(), L'x');
  put_unterminated(kAlice, REG_EXPAND_SZ, long_expanding);
  put_unterminated(kBob, REG_EXPAND_SZ, L"%SystemDrive%\\Users\\bob");
  EXPECT_FALSE(dpal::uninstaller::CleanUserHives());
  PutString(HKEY_LOCAL_MACHINE, ProfileEntry(kAlice), layout::kProfileImagePathValue,
            L"C:\\Users\\alice", REG_SZ);
  EXPECT_TRUE(HasTree(kAlice));
  EXPECT_FALSE(HasTree(kBob)) << "an unterminated REG_EXPAND_SZ that fits is expanded";
}

TEST_F(UserHives, NoProfileListOrNoUsersIsNothingToDo) {
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives()) << "only the service accounts";
  ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kProfileListKey), ERROR_SUCCESS);
  sim::ClearTrace();
  EXPECT_TRUE(dpal::uninstaller::CleanUserHives());
  EXPECT_EQ(sim::CallCount("AdjustTokenPrivileges"), 0u) << "no privilege is touched for nobody";
}

TEST_F(UserHives, EveryFailingCallLeavesNothingBehind) {
  AddUser(kAlice, L"alice");
  AddUser(kBob, L"bob");
  sim::LogOn(2, kAlice, L"alice");
  dpal::test::SweepOptions options;
  options.limit = 200;
  const uint64_t calls = dpal::test::SweepFaults(
      [] { return dpal::uninstaller::CleanUserHives(); },
      [this](bool cleaned, uint64_t n, bool faulted) {
        // Only a failed restore itself leaves them enabled.
        if (HivePrivilegesEnabled() != std::vector<bool>{false, false}) {
          EXPECT_TRUE(faulted) << "with call " << n << " failing";
          DisableHivePrivileges();
        }
        EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, layout::kTemporaryHiveName));
        if (!faulted) {
          EXPECT_TRUE(cleaned);
          EXPECT_FALSE(HasTree(kAlice));
          EXPECT_FALSE(HasTree(kBob));
        }
        // The next run meets both trees again.
        PutPackageTree(kAlice);
        PutPackageTree(kBob);
      },
      options);
  EXPECT_GT(calls, 20u) << "the sweep went through both users";
  sim::LogOff(2);
}

}  // namespace
