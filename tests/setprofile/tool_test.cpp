// SetDPALProfile run as a program of the simulated laptop: the exit code of each command line and
// the panel's defaults it leaves, under the interactive user and under LocalSystem with and
// without a user at the console, and a sweep that fails every platform call of each mode.
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "setprofile/tool.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

namespace layout = dpal::layout;
using dpal::setprofile::RunToolProcess;
using dpal::test::PlatformTest;

constexpr DWORD kStandard = sim::kStandardDisplayColourMode;
const std::wstring kTool = L"C:\\Program Files\\Tarvex\\DPAL\\SetDPALProfile.exe";
const std::wstring kPanel = sim::kPanelDeviceKey;
const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";
const std::wstring kSystemSid = sim::kLocalSystemSid;
const std::wstring kBase = L"QXLCD_Panel_V3_S.icm";
const std::wstring kNew = L"QXLCD_Panel_V4_S.icm";

class Tool : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (const std::wstring& name : {kBase, kNew}) sim::InstallColourProfile(name);
    admin_ = sim::DefaultAdmin();
    admin_.image_path = kTool;
  }

  // Runs the tool as a program of `who` with the arguments after its quoted path.
  static int Run(const sim::Identity& who, const std::wstring& arguments) {
    sim::Identity identity = who;
    identity.image_path = kTool;
    return sim::RunProcess(identity, L"\"" + kTool + L"\" " + arguments,
                           [] { return RunToolProcess(); });
  }
  int RunAsAdmin(const std::wstring& arguments) const { return Run(admin_, arguments); }

  static sim::Identity SystemIn(DWORD session) {
    sim::Identity system = sim::LocalSystem(kTool);
    system.session_id = session;
    return system;
  }
  static sim::Identity SystemWithBobAtTheConsole() {
    sim::LogOn(2, kBobSid, L"bob");
    sim::SetConsoleSession(2);
    return SystemIn(2);
  }
  static sim::Identity SystemWithNobodyAtTheConsole() {
    sim::LogOff(1);
    return SystemIn(1);
  }

  static std::wstring User(const std::wstring& sid) {
    return sim::DefaultColourProfile(sid, kPanel, kStandard);
  }
  static std::wstring Machine() { return User(L""); }
  static void SetUser(const std::wstring& sid, const std::wstring& name) {
    sim::SetDefaultColourProfile(sid, kPanel, kStandard, 1, name);
  }
  static void SetMachine(const std::wstring& name) { SetUser(L"", name); }

  // An apply state "State" in a user's hive (by SID) or, with an empty SID, the machine's.
  static void PutState(const std::wstring& sid, DWORD value) {
    if (sid.empty()) {
      dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue,
                           value);
    } else {
      dpal::test::PutDword(HKEY_USERS, sid + L"\\" + layout::kUserApplyStateKey,
                           layout::kStateValue, value);
    }
  }

  static uint64_t DisplayCalls() { return sim::CallCount("GetDisplayConfigBufferSizes"); }
  static uint64_t ColourCalls() {
    return sim::CallCount("WcsGetDefaultColorProfileSize") +
           sim::CallCount("WcsSetDefaultColorProfile");
  }

  sim::Identity admin_;
};

// ----- The command line ------------------------------------------------------------------------

TEST_F(Tool, ArgumentErrorsExitWithOneAndTouchNothing) {
  SetUser(admin_.user_sid, kBase);
  const std::wstring too_long(260, L'n');
  const std::vector<std::wstring> lines = {
      L"",                        // no arguments
      L"/AllSet 1 " + kNew,       // another letter case
      L"/set 1 " + kNew,          // no such switch
      L"/userset 1",              // no profile name
      L"/baseverify 1 " + kNew,   // no base name
      L"/userset 1 " + too_long,  // 260 units do not fit
      L"/baseverify 1 " + kNew + L" " + too_long,
  };
  for (const std::wstring& line : lines) {
    sim::ClearTrace();
    EXPECT_EQ(RunAsAdmin(line), 1) << std::string(line.begin(), line.end());
    EXPECT_EQ(DisplayCalls() + ColourCalls(), 0u) << "nothing identified, read or set";
  }
  EXPECT_EQ(User(admin_.user_sid), kBase);
  EXPECT_EQ(Machine(), L"");
}

TEST_F(Tool, AKindThatIsNoNumberIdentifiesNothing) {
  sim::ClearTrace();
  EXPECT_EQ(RunAsAdmin(L"/allset sdr " + kNew), 1);
  EXPECT_EQ(DisplayCalls() + ColourCalls(), 0u) << "kind 0 ends the identification at once";
  EXPECT_EQ(User(admin_.user_sid), L"");
  EXPECT_EQ(Machine(), L"");
}

TEST_F(Tool, NamesOf259UnitsFitAndFurtherArgumentsAreIgnored) {
  const std::wstring longest(259, L'n');
  sim::InstallColourProfile(longest);
  EXPECT_EQ(RunAsAdmin(L"/userset 1 " + longest + L" extra words"), 0);
  EXPECT_EQ(User(admin_.user_sid), longest);
  // A quoted name with a blank is one argument.
  sim::InstallColourProfile(L"My Panel.icm");
  EXPECT_EQ(RunAsAdmin(L"/systemset 1 \"My Panel.icm\""), 0);
  EXPECT_EQ(Machine(), L"My Panel.icm");
}

// ----- Setting ---------------------------------------------------------------------------------

TEST_F(Tool, EachModeSetsItsScopes) {
  EXPECT_EQ(RunAsAdmin(L"/userset 1 " + kBase), 0);
  EXPECT_EQ(User(admin_.user_sid), kBase);
  EXPECT_EQ(Machine(), L"");
  EXPECT_EQ(RunAsAdmin(L"/systemset 1 " + kBase), 0);
  EXPECT_EQ(Machine(), kBase);
  EXPECT_EQ(RunAsAdmin(L"/allset 1 " + kNew), 0);
  EXPECT_EQ(User(admin_.user_sid), kNew);
  EXPECT_EQ(Machine(), kNew);
  EXPECT_EQ(sim::DefaultColourProfile(admin_.user_sid, kPanel, sim::kExtendedDisplayColourMode),
            L"")
      << "kind 1 is the standard mode only";
}

TEST_F(Tool, AUserSetStaysWhenTheMachineStepIsRefused) {
  // A standard user may not change the machine's default.
  const std::wstring carol = L"S-1-5-21-1-2-3-1003";
  sim::LogOn(1, carol, L"carol");
  sim::Identity user = sim::StandardUser(carol, L"carol");
  user.session_id = 1;
  EXPECT_EQ(Run(user, L"/allset 1 " + kNew), 1);
  EXPECT_EQ(User(carol), kNew);
  EXPECT_EQ(Machine(), L"");
}

TEST_F(Tool, WithoutTheBuiltInPanelNothingIsSet) {
  sim::LaptopDisplayOptions lid;
  lid.external = sim::ExternalMonitor::Extended;
  lid.lid_closed = true;
  sim::SetDisplays(sim::LaptopDisplays(lid));
  sim::ClearTrace();
  EXPECT_EQ(RunAsAdmin(L"/allset 1 " + kNew), 1);
  EXPECT_EQ(ColourCalls(), 0u);
  EXPECT_EQ(sim::DefaultColourProfile(admin_.user_sid, sim::kExternalDeviceKey, kStandard), L"");
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kExternalDeviceKey, kStandard), L"");
  EXPECT_EQ(User(admin_.user_sid), L"");
  // An external monitor made primary does not hide the panel.
  sim::LaptopDisplayOptions primary;
  primary.external = sim::ExternalMonitor::Primary;
  sim::SetDisplays(sim::LaptopDisplays(primary));
  EXPECT_EQ(RunAsAdmin(L"/allset 1 " + kNew), 0);
  EXPECT_EQ(User(admin_.user_sid), kNew);
  EXPECT_EQ(Machine(), kNew);
}

TEST_F(Tool, LocalSystemSetsTheConsoleUsersDefault) {
  EXPECT_EQ(Run(SystemWithBobAtTheConsole(), L"/allset 1 " + kNew), 0);
  EXPECT_EQ(User(kBobSid), kNew);
  EXPECT_EQ(User(kSystemSid), L"") << "not the service account's own";
  EXPECT_EQ(Machine(), kNew);
}

TEST_F(Tool, LocalSystemWithNobodyAtTheConsoleSetsOnlyTheMachine) {
  const sim::Identity system = SystemWithNobodyAtTheConsole();
  EXPECT_EQ(Run(system, L"/allset 1 " + kNew), 1);
  EXPECT_EQ(Machine(), L"") << "the machine step follows only a user step that succeeded";
  EXPECT_EQ(User(kSystemSid), L"");
  EXPECT_EQ(Run(system, L"/systemset 1 " + kNew), 0);
  EXPECT_EQ(Machine(), kNew);
  EXPECT_EQ(Run(system, L"/userset 1 " + kNew), 1);
}

// ----- Replacing a base profile ------------------------------------------------------------------

TEST_F(Tool, BaseVerifyWithBothStatesOffReadsNothing) {
  PutState(L"", 0);
  PutState(admin_.user_sid, 0);
  SetUser(admin_.user_sid, kBase);
  SetMachine(kBase);
  sim::ClearTrace();
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(ColourCalls(), 0u);
  EXPECT_EQ(User(admin_.user_sid), kBase);
  EXPECT_EQ(Machine(), kBase);
}

TEST_F(Tool, BaseVerifyWithoutStatesReplacesBothScopes) {
  SetUser(admin_.user_sid, kBase);
  SetMachine(kBase);
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(User(admin_.user_sid), kNew);
  EXPECT_EQ(Machine(), kNew);
  // Now neither is the base any more: both are left alone, and that is success.
  sim::ClearTrace();
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kBase + L" " + kBase), 0);
  EXPECT_EQ(sim::CallCount("WcsSetDefaultColorProfile"), 0u);
  EXPECT_EQ(User(admin_.user_sid), kNew);
}

TEST_F(Tool, BaseVerifyComparesTheBaseCaseSensitively) {
  PutState(L"", 0);
  SetUser(admin_.user_sid, L"qxlcd_panel_v3_s.icm");
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 0)
      << "a default that differs is left alone and counts as success";
  EXPECT_EQ(User(admin_.user_sid), L"qxlcd_panel_v3_s.icm");
}

TEST_F(Tool, BaseVerifyAnswersTheLastScopeProcessed) {
  // The machine's default cannot be read: its failure is the answer, though the user's default
  // was replaced.
  SetUser(admin_.user_sid, kBase);
  sim::FailNth("WcsGetDefaultColorProfile", 2, ERROR_GEN_FAILURE);
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 1);
  EXPECT_EQ(User(admin_.user_sid), kNew);
  sim::ClearFaults();
  // Without a default of its own the machine reads the standard profile, which is no base.
  SetUser(admin_.user_sid, kBase);
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(Machine(), L"");
  // With the machine's state off, the user scope is the last one.
  PutState(L"", 0);
  SetUser(admin_.user_sid, kBase);
  EXPECT_EQ(RunAsAdmin(L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(User(admin_.user_sid), kNew);
}

TEST_F(Tool, BaseVerifySucceedsWhenOnlyTheUserStepFails) {
  // LocalSystem with nobody at the console reads its own user default, which it has not.
  const sim::Identity system = SystemWithNobodyAtTheConsole();
  SetMachine(kBase);
  EXPECT_EQ(Run(system, L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(Machine(), kNew);
  EXPECT_EQ(User(kSystemSid), L"");
}

TEST_F(Tool, BaseVerifyAsLocalSystemFollowsTheConsoleUsersState) {
  const sim::Identity system = SystemWithBobAtTheConsole();
  PutState(kBobSid, 0);
  SetUser(kBobSid, kBase);
  SetMachine(kBase);
  EXPECT_EQ(Run(system, L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(User(kBobSid), kBase) << "Bob has switched the profiles off";
  EXPECT_EQ(Machine(), kNew);
  EXPECT_EQ(sim::LoadedProfileCount(), 0) << "Bob's profile is unloaded again";
}

TEST_F(Tool, BaseVerifyFallsBackToItsOwnHiveWhenTheConsoleUsersCannotBeLoaded) {
  const sim::Identity system = SystemWithBobAtTheConsole();
  PutState(kBobSid, 1);
  PutState(kSystemSid, 0);  // the service account's own
  PutState(L"", 0);
  SetUser(kBobSid, kBase);
  sim::FailAlways("LoadUserProfileW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run(system, L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(User(kBobSid), kBase) << "the state read was LocalSystem's own: off";
  sim::ClearFaults();
  EXPECT_EQ(Run(system, L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(User(kBobSid), kNew) << "Bob's own state: on";
}

// "/allset" identifies the panel afresh for the machine step, "/baseverify" once for both scopes.
TEST_F(Tool, EachModeIdentifiesThePanelAsOftenAsItMust) {
  const auto identifications = [&](const std::wstring& arguments) {
    SetUser(admin_.user_sid, kBase);
    SetMachine(kBase);
    sim::ClearTrace();
    EXPECT_EQ(RunAsAdmin(arguments), 0) << std::string(arguments.begin(), arguments.end());
    return DisplayCalls();
  };
  const uint64_t once = identifications(L"/userset 1 " + kNew);
  ASSERT_GT(once, 0u);
  EXPECT_EQ(identifications(L"/systemset 1 " + kNew), once);
  EXPECT_EQ(identifications(L"/allset 1 " + kNew), 2 * once);
  EXPECT_EQ(identifications(L"/baseverify 1 " + kNew + L" " + kBase), once);
}

// A command line that cannot be split has no mode, whichever of its two splits fails.
TEST_F(Tool, AFailedSplitOfTheCommandLineExitsWithOne) {
  for (uint64_t nth : {1u, 2u}) {
    sim::ClearFaults();
    sim::FailNth("CommandLineToArgvW", nth, ERROR_NOT_ENOUGH_MEMORY);
    sim::ClearTrace();
    EXPECT_EQ(RunAsAdmin(L"/allset 1 " + kNew), 1) << "split " << nth;
    EXPECT_EQ(DisplayCalls() + ColourCalls(), 0u);
  }
  EXPECT_EQ(User(admin_.user_sid), L"");
}

// When the tool cannot tell whose it is, the user's state is not read and counts as on: Bob's
// own "off" is not seen, and his default is replaced like the machine's.
TEST_F(Tool, BaseVerifyWhoseIdentityCheckFailsTakesTheUserStateAsOn) {
  const sim::Identity system = SystemWithBobAtTheConsole();
  PutState(kBobSid, 0);
  SetUser(kBobSid, kBase);
  SetMachine(kBase);
  sim::FailNth("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
  sim::ClearTrace();
  EXPECT_EQ(Run(system, L"/baseverify 1 " + kNew + L" " + kBase), 0);
  EXPECT_EQ(sim::CallCount("LoadUserProfileW"), 0u) << "no hive loaded to read a state";
  EXPECT_EQ(User(kBobSid), kNew);
  EXPECT_EQ(Machine(), kNew);
}

// ----- Every platform call failing in turn -------------------------------------------------------

// The tool's entry on the test's thread (not as a process of its own, whose end would release
// what it left), as LocalSystem with Bob at the console: the leak check after each run sees
// what the tool itself failed to release: handles, the argument array, an impersonation that
// was not reverted, a profile or hive still loaded.
TEST_F(Tool, EveryFailingCallGivesOneAndLeavesNothingBehind) {
  const struct {
    const char* name;
    std::wstring arguments;
  } modes[] = {
      {"allset", L"/allset 1 " + kNew},
      {"userset", L"/userset 1 " + kNew},
      {"systemset", L"/systemset 1 " + kNew},
      {"baseverify", L"/baseverify 1 " + kNew + L" " + kBase},
  };
  sim::Identity system = SystemWithBobAtTheConsole();
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode.name);
    system.command_line = L"\"" + kTool + L"\" " + mode.arguments;
    sim::SetProcessIdentity(system);
    const uint64_t calls = dpal::test::SweepFaults(
        [&] {
          SetUser(kBobSid, kBase);
          SetMachine(kBase);
          return RunToolProcess();
        },
        [&](int code, uint64_t n, bool faulted) {
          EXPECT_TRUE(faulted ? (code == 0 || code == 1) : code == 0) << "call " << n;
        });
    EXPECT_GT(calls, 5u);
  }
}

}  // namespace
