// The core library's operations on the panel's default profiles, on the simulated laptop: who
// reads and sets which scope, the caller's buffer, the disassociation and how its function is
// found, uninstalling, and a sweep that fails every platform call of every operation in turn.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/steps/colour_steps.h"
#include "core/steps/identity.h"
#include "core/profile_operations.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using namespace dpal::core;
using dpal::test::PlatformTest;

constexpr DWORD kStandard = sim::kStandardDisplayColourMode;
constexpr DWORD kExtended = sim::kExtendedDisplayColourMode;
const std::wstring kPanel = sim::kPanelDeviceKey;
const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";
const std::wstring kAliceSid = L"S-1-5-21-1-2-3-1001";
const std::wstring kSdr = L"QXLCD_Panel_V3_S.icm";
const std::wstring kHdr = L"QXLCD_Panel_V1_H.icm";
const std::wstring kOther = L"Other.icm";

class ProfileOperations : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (const std::wstring& name : {kSdr, kHdr, kOther}) sim::InstallColourProfile(name);
    admin_ = sim::DefaultAdmin().user_sid;
  }

  // The calling process runs as LocalSystem in Bob's console session.
  void LocalSystemWithBobAtTheConsole() {
    sim::LogOn(2, kBobSid, L"bob");
    sim::SetConsoleSession(2);
    sim::SetProcessIdentity(SystemIn(2));
  }
  // ... or with nobody logged on at the console.
  void LocalSystemWithNobodyAtTheConsole() {
    sim::LogOff(1);
    sim::SetProcessIdentity(SystemIn(1));
  }
  static sim::Identity SystemIn(DWORD session) {
    sim::Identity system = sim::LocalSystem(L"C:\\Program Files\\Client\\client.exe");
    system.session_id = session;
    return system;
  }

  static uint64_t ColourCalls() {
    return sim::CallCount("LoadLibraryExW") + sim::CallCount("WcsGetDefaultColorProfileSize") +
           sim::CallCount("WcsGetDefaultColorProfile") +
           sim::CallCount("WcsSetDefaultColorProfile") +
           sim::CallCount("ColorProfileRemoveDisplayAssociation");
  }

  static std::wstring Machine(DWORD subtype = kStandard) {
    return sim::DefaultColourProfile(L"", kPanel, subtype);
  }
  static std::wstring User(const std::wstring& sid, DWORD subtype = kStandard) {
    return sim::DefaultColourProfile(sid, kPanel, subtype);
  }
  static std::vector<std::wstring> List(const std::wstring& scope, bool advanced) {
    return sim::ColourAssociations(scope, sim::kLaptopGpu, 0, advanced);
  }

  std::wstring admin_;
};

// ----- Reading ---------------------------------------------------------------------------------

TEST_F(ProfileOperations, CallersBufferGetsTheWholeNameOrItsCapacityLessOne) {
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kSdr);
  const DWORD length = static_cast<DWORD>(kSdr.size());
  WCHAR buffer[64];
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 64, buffer), 1);
  EXPECT_EQ(buffer, kSdr);
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, length + 1, buffer), 1) << "just fits";
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, length, buffer), 0) << "one unit short";
  EXPECT_EQ(buffer, kSdr.substr(0, length - 1));
  std::wmemset(buffer, L'#', 64);
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 5, buffer), 0);
  EXPECT_EQ(std::wstring(buffer), L"QXLC");
  EXPECT_EQ(buffer[5], L'#') << "nothing beyond the capacity";
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 0x80000000u, buffer), 0);
  EXPECT_EQ(buffer[0], L'\0') << "a capacity above 2,147,483,647 gets the empty string";
}

TEST_F(ProfileOperations, WithoutADefaultTheStandardProfileIsRead) {
  WCHAR buffer[64];
  for (int kind : {kStandardKind, kExtendedKind}) {
    EXPECT_EQ(GetDefaultSystemProfile(kind, 64, buffer), 1);
    EXPECT_STREQ(buffer, sim::kStandardColourProfile);
    EXPECT_EQ(GetDefaultUserProfile(kind, 64, buffer), 1);
    EXPECT_STREQ(buffer, sim::kStandardColourProfile);
  }
}

TEST_F(ProfileOperations, FailedReadsLeaveTheBufferUntouched) {
  WCHAR buffer[8] = {L'#', L'#'};
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 0, buffer), 0);
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 8, nullptr), 0);
  sim::FailAlways("WcsGetDefaultColorProfile", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 8, buffer), 0) << "the read fails";
  EXPECT_EQ(GetDefaultUserProfile(kStandardKind, 8, buffer), 0);
  sim::ClearFaults();
  sim::ClearTrace();
  for (int kind : {0, 3, -1}) {
    EXPECT_EQ(GetDefaultSystemProfile(kind, 8, buffer), 0);
    EXPECT_EQ(GetDefaultUserProfile(kind, 8, buffer), 0);
  }
  EXPECT_EQ(ColourCalls(), 0u) << "an invalid kind reaches no colour function";
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(buffer[1], L'#');
}

TEST_F(ProfileOperations, SizesTheScratchBufferCannotTakeAreRefusedBeforeTheRead) {
  WCHAR buffer[400];
  const std::wstring longest(259, L'n');  // with its terminator, exactly 260 units
  sim::InstallColourProfile(longest);
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, longest);
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 400, buffer), 1);
  EXPECT_EQ(buffer, longest);

  const std::wstring too_long(300, L'n');
  sim::InstallColourProfile(too_long);
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, too_long);
  buffer[0] = L'#';
  sim::ClearTrace();
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 400, buffer), 0);
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(sim::CallCount("WcsGetDefaultColorProfileSize"), 1u);
  EXPECT_EQ(sim::CallCount("WcsGetDefaultColorProfile"), 0u) << "a 600-unit read into 260 units";

  // A size of 0 bytes has no room even for the terminator.
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kSdr);
  sim::SetReportedDefaultProfileSize(0);
  sim::ClearTrace();
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 400, buffer), 0);
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(sim::CallCount("WcsGetDefaultColorProfile"), 0u) << "a reported size of 0";
}

TEST_F(ProfileOperations, InteractiveCallerReadsItsOwnUserDefault) {
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kOther);
  sim::SetDefaultColourProfile(admin_, kPanel, kStandard, 1, kSdr);
  WCHAR buffer[64];
  sim::ClearTrace();
  EXPECT_EQ(GetDefaultUserProfile(kStandardKind, 64, buffer), 1);
  EXPECT_EQ(buffer, kSdr);
  EXPECT_EQ(sim::CallCount("WTSQueryUserToken"), 0u) << "no impersonation is attempted";
  EXPECT_EQ(sim::CallCount("ImpersonateLoggedOnUser"), 0u);
}

TEST_F(ProfileOperations, LocalSystemReadsTheConsoleUsersDefaultOrElseItsOwn) {
  sim::SetDefaultColourProfile(kBobSid, kPanel, kStandard, 1, kSdr);
  sim::SetDefaultColourProfile(sim::kLocalSystemSid, kPanel, kStandard, 1, kOther);
  WCHAR buffer[64];
  LocalSystemWithBobAtTheConsole();
  EXPECT_EQ(GetDefaultUserProfile(kStandardKind, 64, buffer), 1);
  EXPECT_EQ(buffer, kSdr) << "Bob's, read while impersonating him";
  sim::LogOff(2);
  EXPECT_EQ(GetDefaultUserProfile(kStandardKind, 64, buffer), 1);
  EXPECT_EQ(buffer, kOther) << "nobody at the console: the calling account's own";
}

// ----- Setting ---------------------------------------------------------------------------------

TEST_F(ProfileOperations, SettingMakesTheProfileTheUsersAndThenTheMachinesDefault) {
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 1);
  EXPECT_EQ(User(admin_), kSdr);
  EXPECT_EQ(Machine(), kSdr);
  EXPECT_EQ(List(admin_, false), std::vector<std::wstring>{kSdr});
  EXPECT_EQ(List(L"", false), std::vector<std::wstring>{kSdr});
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_EQ(Machine(kExtended), kHdr);
  EXPECT_EQ(List(L"", true), std::vector<std::wstring>{kHdr});
  EXPECT_EQ(Machine(), kSdr) << "the standard mode keeps its own";
}

TEST_F(ProfileOperations, LocalSystemSetsTheConsoleUsersDefault) {
  LocalSystemWithBobAtTheConsole();
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 1);
  EXPECT_EQ(User(kBobSid), kSdr);
  EXPECT_EQ(User(sim::kLocalSystemSid), L"");
  EXPECT_EQ(Machine(), kSdr);
}

TEST_F(ProfileOperations, LocalSystemWithoutTheConsoleUsersContextSetsNothing) {
  // Nobody at the console; then Bob at the console, but his token or the impersonation fails.
  LocalSystemWithNobodyAtTheConsole();
  sim::ClearTrace();
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 0);
  EXPECT_EQ(sim::CallCount("WcsSetDefaultColorProfile"), 0u);
  LocalSystemWithBobAtTheConsole();
  for (const char* call : {"WTSQueryUserToken", "ImpersonateLoggedOnUser"}) {
    sim::ClearFaults();
    sim::FailAlways(call, ERROR_ACCESS_DENIED);
    sim::ClearTrace();
    EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 0) << call;
    EXPECT_EQ(sim::CallCount("WcsSetDefaultColorProfile"), 0u) << call;
  }
  EXPECT_EQ(Machine(), L"");
  EXPECT_EQ(User(sim::kLocalSystemSid), L"");
  EXPECT_EQ(User(kBobSid), L"");
}

TEST_F(ProfileOperations, UserDefaultStaysWhenTheMachineStepIsRefused) {
  sim::LogOn(2, kAliceSid, L"alice");
  sim::Identity alice = sim::StandardUser(kAliceSid, L"alice");
  alice.session_id = 2;
  sim::SetProcessIdentity(alice);
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 0);
  EXPECT_EQ(User(kAliceSid), kSdr);
  EXPECT_EQ(Machine(), L"") << "a standard user may not change the machine's default";
}

TEST_F(ProfileOperations, SettingFailsForNoNameNoPanelAndNoInstalledProfile) {
  sim::ClearTrace();
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, nullptr), 0);
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(3, kSdr.c_str()), 0);
  EXPECT_EQ(ColourCalls(), 0u);
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, L"Missing.icm"), 0);
  EXPECT_EQ(Machine(), L"");
  sim::SetDisplays(sim::DisplayTopology{});  // no display at all
  EXPECT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 0);
  EXPECT_EQ(User(admin_), L"");
}

// ----- Disassociation ------------------------------------------------------------------------

TEST_F(ProfileOperations, DisassociationRemovesFromTheListOfTheKindAndScope) {
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kOther, kSdr});
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, true, {kHdr});
  sim::SetColourAssociations(admin_, sim::kLaptopGpu, 0, false, {kSdr});
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_EQ(List(L"", false), std::vector<std::wstring>{kOther});
  EXPECT_EQ(List(admin_, false), std::vector<std::wstring>{kSdr}) << "the user's list is apart";
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kHdr.c_str()), 0)
      << "the HDR profile is in the advanced list";
  EXPECT_EQ(DisassociateSystemColorProfile(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_TRUE(List(L"", true).empty());
  EXPECT_EQ(DisassociateUserColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_TRUE(List(admin_, false).empty());
  EXPECT_EQ(DisassociateUserColorProfile(kStandardKind, nullptr), 0);
  sim::ClearTrace();
  EXPECT_EQ(DisassociateSystemColorProfile(3, kOther.c_str()), 0);
  EXPECT_EQ(ColourCalls(), 0u);
}

TEST_F(ProfileOperations, DisassociationNamesThePanelsDisplayByItsTargetAdapter) {
  // A hybrid laptop: the panel's source is on the discrete adapter, its target on the
  // integrated one, which is the adapter of the display its lists belong to.
  sim::LaptopDisplayOptions hybrid;
  hybrid.hybrid = true;
  sim::SetDisplays(sim::LaptopDisplays(hybrid));
  ASSERT_EQ(SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()), 1);
  ASSERT_EQ(List(L"", false), std::vector<std::wstring>{kSdr});
  ASSERT_EQ(List(admin_, false), std::vector<std::wstring>{kSdr});
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_EQ(DisassociateUserColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_TRUE(List(L"", false).empty());
  EXPECT_TRUE(List(admin_, false).empty());
}

TEST_F(ProfileOperations, UserDisassociationOfLocalSystemWorksInItsOwnScope) {
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, false, {kSdr});
  sim::SetColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false, {kSdr});
  LocalSystemWithBobAtTheConsole();
  EXPECT_EQ(DisassociateUserColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_TRUE(List(sim::kLocalSystemSid, false).empty()) << "no impersonation here";
  EXPECT_EQ(List(kBobSid, false), std::vector<std::wstring>{kSdr});
}

TEST_F(ProfileOperations, RemovalIsFoundByNameThenAtOrdinal231OrNotAtAll) {
  auto lookups = [] {
    std::vector<std::wstring> found;
    for (const sim::Call& call : sim::Trace()) {
      if (call.function == "GetProcAddress")
        found.push_back(call.args.substr(call.args.find(L", ") + 2));
    }
    return found;
  };
  sim::RecordTrace(true);
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr, kOther});

  sim::ClearTrace();
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kSdr.c_str()), 1);
  EXPECT_EQ(lookups(), std::vector<std::wstring>{L"\"ColorProfileRemoveDisplayAssociation\""})
      << "the name is enough; the ordinal is not looked at";

  sim::SetAssociationRemovalExports(/*by_name=*/false, /*at_ordinal=*/true);
  sim::ClearTrace();
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kOther.c_str()), 1);
  EXPECT_EQ(lookups(),
            (std::vector<std::wstring>{L"\"ColorProfileRemoveDisplayAssociation\"", L"#231"}));

  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr});
  sim::SetAssociationRemovalExports(false, false);
  sim::ClearTrace();
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kSdr.c_str()), 0);
  EXPECT_EQ(sim::CallCount("ColorProfileRemoveDisplayAssociation"), 0u);
  EXPECT_EQ(List(L"", false), std::vector<std::wstring>{kSdr});
}

TEST_F(ProfileOperations, DisassociationWithAMonitorButNoPathUsesAZeroDisplay) {
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr});
  sim::FailAlways("GetDisplayConfigBufferSizes", ERROR_GEN_FAILURE);
  sim::RecordTrace(true);
  EXPECT_EQ(DisassociateSystemColorProfile(kStandardKind, kSdr.c_str()), 0);
  std::vector<std::wstring> removals;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "ColorProfileRemoveDisplayAssociation") removals.push_back(call.args);
  }
  ASSERT_EQ(removals.size(), 1u) << "the call is made";
  EXPECT_EQ(removals[0], L"0, \"" + kSdr + L"\", 0, 0, 0, 0") << "zero LUID, source 0";
  EXPECT_EQ(List(L"", false), std::vector<std::wstring>{kSdr});
}

// ----- Uninstalling ------------------------------------------------------------------------------

TEST_F(ProfileOperations, UninstallDeletesTheFileWhateverTheKind) {
  EXPECT_EQ(UninstallICCProfile(7, kOther.c_str()), 1);
  EXPECT_FALSE(sim::ColourProfileInstalled(kOther));
  EXPECT_EQ(UninstallICCProfile(kStandardKind, kOther.c_str()), 0) << "gone";
  EXPECT_EQ(UninstallICCProfile(kStandardKind, nullptr), 0);
}

TEST_F(ProfileOperations, ProfileInUseIsUninstalledOnlyOnceDisassociated) {
  ASSERT_EQ(SetDefaultColorProfileToPrimaryMonitor(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_EQ(UninstallICCProfile(kExtendedKind, kHdr.c_str()), 0);
  EXPECT_TRUE(sim::ColourProfileInstalled(kHdr));
  ASSERT_EQ(DisassociateUserColorProfile(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_EQ(UninstallICCProfile(kExtendedKind, kHdr.c_str()), 0) << "the machine's list holds it";
  ASSERT_EQ(DisassociateSystemColorProfile(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_EQ(UninstallICCProfile(kExtendedKind, kHdr.c_str()), 1);
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr));
}

// ----- The colour system's library -----------------------------------------------------------

TEST_F(ProfileOperations, ColourSystemIsLoadedFromTheSystemDirectoryOnly) {
  static int planted = 0;
  struct Planted {
    static BOOL WINAPI GetSize(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR, COLORPROFILETYPE, DWORD, DWORD,
                               PDWORD size) {
      ++planted;
      *size = 4 * sizeof(WCHAR);
      return TRUE;
    }
  };
  // A copy beside the client program, where the standard search would look first.
  sim::Identity client = sim::DefaultAdmin();
  client.image_path = L"C:\\Program Files\\Client\\client.exe";
  client.current_directory = L"C:\\Program Files\\Client";
  sim::SetProcessIdentity(client);
  sim::RegisterModule(
      L"C:\\Program Files\\Client\\mscms.dll",
      {{"WcsGetDefaultColorProfileSize", 0, reinterpret_cast<void (*)()>(&Planted::GetSize)}});
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kSdr);
  WCHAR buffer[64];
  EXPECT_EQ(GetDefaultSystemProfile(kStandardKind, 64, buffer), 1);
  EXPECT_EQ(buffer, kSdr);
  EXPECT_EQ(planted, 0);
}

TEST_F(ProfileOperations, IdentityCheck) {
  bool is_system = true;
  ASSERT_TRUE(IsLocalSystemCaller(&is_system));
  EXPECT_FALSE(is_system);
  sim::SetProcessIdentity(sim::LocalSystem());
  ASSERT_TRUE(IsLocalSystemCaller(&is_system));
  EXPECT_TRUE(is_system);
  for (const char* call : {"CreateWellKnownSid", "OpenProcessToken", "GetTokenInformation"}) {
    sim::ClearFaults();
    sim::FailNth(call, 1, ERROR_ACCESS_DENIED);
    is_system = false;
    EXPECT_FALSE(IsLocalSystemCaller(&is_system)) << call;
    EXPECT_FALSE(is_system);
  }
}

// ----- Every platform call of every operation failing in turn -----------------------------------

struct Operation {
  const char* name;
  int expected;
  std::function<int()> run;
};

TEST_F(ProfileOperations, EveryFailingCallGivesZeroAndLeavesNothingBehind) {
  LocalSystemWithBobAtTheConsole();
  sim::SetDefaultColourProfile(kBobSid, kPanel, kStandard, 1, kSdr);
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kSdr);
  WCHAR buffer[64];
  const std::vector<Operation> operations = {
      {"GetDefaultUserProfile", 1,
       [&] { return GetDefaultUserProfile(kStandardKind, 64, buffer); }},
      {"GetDefaultSystemProfile", 1,
       [&] { return GetDefaultSystemProfile(kStandardKind, 64, buffer); }},
      {"SetDefaultColorProfileToPrimaryMonitor", 1,
       [&] { return SetDefaultColorProfileToPrimaryMonitor(kStandardKind, kSdr.c_str()); }},
      {"DisassociateUserColorProfile", 1,
       [&] {
         sim::SetColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false, {kSdr});
         return DisassociateUserColorProfile(kStandardKind, kSdr.c_str());
       }},
      {"DisassociateSystemColorProfile", 1,
       [&] {
         sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kOther});
         return DisassociateSystemColorProfile(kStandardKind, kOther.c_str());
       }},
      {"UninstallICCProfile", 1,
       [&] {
         sim::InstallColourProfile(kHdr);
         return UninstallICCProfile(kStandardKind, kHdr.c_str());
       }},
  };
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.name);
    dpal::test::SweepFaults(operation.run, [&](int result, uint64_t n, bool faulted) {
      if (faulted) {
        EXPECT_TRUE(result == 0 || result == operation.expected) << "call " << n;
      } else {
        EXPECT_EQ(result, operation.expected);
      }
    });
  }
}

}  // namespace
