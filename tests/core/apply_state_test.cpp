// The apply state and the profile markers: where SaveCurrentApplyStatus and SaveUserProfile
// write for an interactive caller, a standard user and a LocalSystem caller with and without a
// user at the console, and a sweep that fails every platform call of each in turn.
#include <string>

#include "common/registry_layout.h"
#include "core/apply_state.h"
#include "core/steps/identity.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using namespace dpal::core;
namespace layout = dpal::layout;
using dpal::test::KeyExists;
using dpal::test::PlatformTest;

const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";
const std::wstring kAliceSid = L"S-1-5-21-1-2-3-1001";

// "State" of a key, or -1 when it cannot be read.
long long StateOf(HKEY root, const std::wstring& key) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(root, key.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return -1;
  }
  return value;
}

class ApplyState : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    SHDeleteKeyW(HKEY_CURRENT_USER, layout::kUserTreeKey);
  }
  static long long UserState() { return StateOf(HKEY_CURRENT_USER, layout::kUserApplyStateKey); }
  static long long MachineState() {
    return StateOf(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey);
  }
  static std::wstring InHive(const std::wstring& sid, const std::wstring& key) {
    return sid + L"\\" + key;
  }
  static void LocalSystemWithBobAtTheConsole() {
    sim::LogOn(2, kBobSid, L"bob");
    sim::SetConsoleSession(2);
    sim::Identity system = sim::LocalSystem(L"C:\\Program Files\\Client\\client.exe");
    system.session_id = 2;
    sim::SetProcessIdentity(system);
  }
  static void LocalSystemWithNobodyAtTheConsole() {
    sim::LogOff(1);
    sim::Identity system = sim::LocalSystem(L"C:\\Program Files\\Client\\client.exe");
    system.session_id = 1;
    sim::SetProcessIdentity(system);
  }
  static void StandardUserAlice() {
    sim::LogOn(2, kAliceSid, L"alice");
    sim::Identity alice = sim::StandardUser(kAliceSid, L"alice");
    alice.session_id = 2;
    sim::SetProcessIdentity(alice);
  }
};

TEST_F(ApplyState, TargetsWriteTheUserTheMachineOrBoth) {
  EXPECT_EQ(SaveCurrentApplyStatus(kUserOnly, 7), 1);
  EXPECT_EQ(UserState(), 7);
  EXPECT_EQ(MachineState(), -1);
  EXPECT_EQ(SaveCurrentApplyStatus(kMachineOnly, 0), 1);
  EXPECT_EQ(MachineState(), 0);
  EXPECT_EQ(UserState(), 7);
  EXPECT_EQ(SaveCurrentApplyStatus(kUserAndMachine, 1), 1);
  EXPECT_EQ(UserState(), 1);
  EXPECT_EQ(MachineState(), 1);
  sim::ClearTrace();
  EXPECT_EQ(SaveCurrentApplyStatus(4, 0), 1) << "an unknown target writes nothing and answers 1";
  EXPECT_EQ(sim::CallCount("RegSetValueExW"), 0u);
  EXPECT_EQ(UserState(), 1);
  EXPECT_EQ(MachineState(), 1);
}

TEST_F(ApplyState, UserCopyIsWrittenBeforeTheMachineCopy) {
  sim::RecordTrace(true);
  ASSERT_EQ(SaveCurrentApplyStatus(kUserAndMachine, 1), 1);
  std::vector<std::wstring> created;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "RegCreateKeyExW") created.push_back(call.args.substr(0, 4));
  }
  EXPECT_EQ(created, (std::vector<std::wstring>{L"HKCU", L"HKLM"}));
}

TEST_F(ApplyState, StandardUserGetsOneWhileTheMachineWriteFails) {
  StandardUserAlice();
  EXPECT_EQ(SaveCurrentApplyStatus(kUserAndMachine, 0), 1) << "the machine write fails quietly";
  EXPECT_EQ(UserState(), 0);
  EXPECT_EQ(MachineState(), -1);
  EXPECT_EQ(SaveCurrentApplyStatus(kMachineOnly, 1), 1);
  EXPECT_EQ(MachineState(), -1);
  EXPECT_EQ(SaveCurrentApplyStatus(kUserOnly, 1), 1);
  EXPECT_EQ(UserState(), 1);
}

TEST_F(ApplyState, LocalSystemWritesIntoTheConsoleUsersHive) {
  LocalSystemWithBobAtTheConsole();
  EXPECT_EQ(SaveCurrentApplyStatus(kUserAndMachine, 1), 1);
  EXPECT_EQ(StateOf(HKEY_USERS, InHive(kBobSid, layout::kUserApplyStateKey)), 1);
  EXPECT_EQ(StateOf(HKEY_USERS, InHive(sim::kLocalSystemSid, layout::kUserApplyStateKey)), -1);
  EXPECT_EQ(MachineState(), 1);
  EXPECT_EQ(sim::LoadedProfileCount(), 0) << "the hive's profile is unloaded again";
  EXPECT_EQ(SaveUserProfile(L"QXLCD_Panel_V3_S"), 1);
  EXPECT_TRUE(KeyExists(HKEY_USERS, InHive(kBobSid, std::wstring(layout::kProfileMarkerKey) +
                                                        L"\\QXLCD_Panel_V3_S")));
}

TEST_F(ApplyState, LocalSystemWithNobodyAtTheConsoleWritesNothing) {
  LocalSystemWithNobodyAtTheConsole();
  sim::ClearTrace();
  for (int target : {1, 2, 3, 4}) EXPECT_EQ(SaveCurrentApplyStatus(target, 1), 0) << target;
  EXPECT_EQ(SaveUserProfile(L"QXLCD_Panel_V3_S"), 0);
  EXPECT_EQ(sim::CallCount("RegCreateKeyExW"), 0u);
  EXPECT_EQ(MachineState(), -1);
}

TEST_F(ApplyState, ProfileMarkerIsAKeyWithoutValuesWhosePathMustFit) {
  EXPECT_EQ(SaveUserProfile(L"QXLCD_Panel_V3_S"), 1);
  const std::wstring marker = std::wstring(layout::kProfileMarkerKey) + L"\\QXLCD_Panel_V3_S";
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, marker));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, marker.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD values = 99;
  EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(SaveUserProfile(L"QXLCD_Panel_V3_S"), 1) << "an existing marker is opened";

  // "Software\Tarvex\DPAL\Profiles\" is 30 units; the path needs a terminator within 260.
  const size_t prefix = std::wstring(layout::kProfileMarkerKey).size() + 1;
  const std::wstring fits(259 - prefix, L'p');
  const std::wstring too_long(260 - prefix, L'q');
  EXPECT_EQ(SaveUserProfile(fits.c_str()), 1);
  EXPECT_EQ(SaveUserProfile(too_long.c_str()), 0);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::wstring(layout::kProfileMarkerKey) + L"\\" +
                                                too_long.substr(0, 200)));
  EXPECT_EQ(SaveUserProfile(nullptr), 0);
}

// A marker's name is read back by LocalSystem as a profile's file name: only a plain file name
// is recorded. Before, "" answered 1 and recorded nothing, and "a\\b\\c" made three nested keys.
TEST_F(ApplyState, AMarkerNameThatIsNoPlainFileNameRecordsNothing) {
  LocalSystemWithBobAtTheConsole();
  const std::wstring list = InHive(kBobSid, layout::kProfileMarkerKey);
  sim::ClearTrace();
  for (const WCHAR* name : {L"", L"a\\b\\c", L"QXLCD_/../../../../Users/Public/victim", L"..",
                            L"QXLCD_a:b", L"NUL", L"QXLCD_tab\tname", L"QXLCD_a."}) {
    EXPECT_EQ(SaveUserProfile(name), 0) << name;
  }
  EXPECT_EQ(sim::CallCount("RegCreateKeyExW"), 0u);
  EXPECT_EQ(sim::CallCount("LoadUserProfileW"), 0u) << "refused before the hive is loaded";
  EXPECT_FALSE(KeyExists(HKEY_USERS, list));
  EXPECT_EQ(SaveUserProfile(L"QXLCD_Panel_V3_S"), 1);
  EXPECT_TRUE(KeyExists(HKEY_USERS, list + L"\\QXLCD_Panel_V3_S"));
}

TEST_F(ApplyState, WhoIsCalling) {
  EXPECT_EQ(IsSystemUser(), 0);
  sim::SetProcessIdentity(sim::LocalSystem());
  EXPECT_NE(IsSystemUser(), 0);
  sim::FailNth("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(IsSystemUser(), 0) << "a failed check answers 0";
}

TEST_F(ApplyState, RevertBackToSelfEndsTheThreadsImpersonation) {
  LocalSystemWithBobAtTheConsole();
  dpal::UniqueToken bob;
  ASSERT_TRUE(dpal::QueryConsoleUserToken(bob));
  ASSERT_TRUE(ImpersonateLoggedOnUser(bob.get()));
  EXPECT_EQ(sim::Leaks().impersonating_threads, 1);
  EXPECT_EQ(RevertBackToSelf(), 1);
  EXPECT_EQ(sim::Leaks().impersonating_threads, 0);
}

TEST_F(ApplyState, EveryFailingCallLeavesNoHiveTokenOrKeyBehind) {
  LocalSystemWithBobAtTheConsole();
  struct Case {
    const char* name;
    int (*run)();
  };
  const Case cases[] = {
      {"SaveCurrentApplyStatus(1)", [] { return SaveCurrentApplyStatus(kUserAndMachine, 1); }},
      {"SaveCurrentApplyStatus(2)", [] { return SaveCurrentApplyStatus(kUserOnly, 1); }},
      {"SaveUserProfile", [] { return SaveUserProfile(L"QXLCD_Panel_V3_S"); }},
      {"IsSystemUser", [] { return IsSystemUser(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dpal::test::SweepFaults(c.run, [](int result, uint64_t n, bool faulted) {
      EXPECT_EQ(sim::LoadedProfileCount(), 0) << "call " << n;
      if (faulted) {
        EXPECT_TRUE(result == 0 || result == 1) << "call " << n;
      } else {
        EXPECT_EQ(result, 1);
      }
    });
  }
}

}  // namespace
