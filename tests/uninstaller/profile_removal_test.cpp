// RemoveColorProfiles on the simulated laptop: both lists are disassociated in their scopes (the
// per-user list as the console user) and every listed profile is uninstalled; the difference of
// the machine before and after is exactly the package's profiles and their associations.
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

using dpal::test::MakeKey;
using dpal::test::PlatformTest;
using dpal::test::PutDword;
using dpal::uninstaller::RemoveColorProfiles;
using Lines = std::vector<std::string>;
namespace layout = dpal::layout;

const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";
const std::wstring kSdr = L"QXLCD_Panel_V3_S";
const std::wstring kHdr = L"QXLCD_Panel_V1_H";
const std::wstring kOther = L"Other.icm";  // not the package's
const std::string kColour = "C:\\Windows\\System32\\spool\\drivers\\color\\";

class RemoveProfiles : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    for (const std::wstring& name : {kSdr + L".icm", kHdr + L".icm", kOther}) {
      sim::InstallColourProfile(name);
    }
    // The final-cleanup run: LocalSystem, with Bob at the console.
    sim::LogOn(2, kBobSid, L"bob");
    sim::SetConsoleSession(2);
    sim::Identity system = sim::LocalSystem(L"C:\\Program Files\\Tarvex\\DPAL\\uninstall.exe");
    system.session_id = 0;
    sim::SetProcessIdentity(system);
  }

  static void Catalogue(const std::wstring& name, int type = -1) {
    const std::wstring key = std::wstring(layout::kCatalogueKey) + L"\\" + name;
    MakeKey(HKEY_LOCAL_MACHINE, key);
    if (type >= 0) PutDword(HKEY_LOCAL_MACHINE, key, L"Type", static_cast<DWORD>(type));
  }
  // The per-user list of the uninstaller's own account.
  static void UserList(const std::wstring& name, int type = -1) {
    const std::wstring key = std::wstring(layout::kProfileMarkerKey) + L"\\" + name;
    MakeKey(HKEY_CURRENT_USER, key);
    if (type >= 0) PutDword(HKEY_CURRENT_USER, key, L"Type", static_cast<DWORD>(type));
  }
  static std::vector<std::wstring> List(const std::wstring& scope, bool advanced) {
    return sim::ColourAssociations(scope, sim::kLaptopGpu, 0, advanced);
  }
  // The removal calls in order, as "scope name adapter source advanced".
  static std::vector<std::wstring> Removals() {
    std::vector<std::wstring> calls;
    for (const sim::Call& call : sim::Trace()) {
      if (call.function == "ColorProfileRemoveDisplayAssociation") calls.push_back(call.args);
    }
    return calls;
  }
  static std::vector<std::wstring> Uninstalls() {
    std::vector<std::wstring> calls;
    for (const sim::Call& call : sim::Trace()) {
      if (call.function == "UninstallColorProfileW") calls.push_back(call.args);
    }
    return calls;
  }
};

TEST_F(RemoveProfiles, BothListsInTheirScopesAndOnlyThePackagesProfilesGo) {
  UserList(kSdr, 1);
  Catalogue(kSdr, 1);
  Catalogue(kHdr, 2);
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, false, {kOther, kSdr + L".icm"});
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, true, {kHdr + L".icm"});
  const sim::Snapshot before = sim::TakeSnapshot();
  sim::RecordTrace(true);

  RemoveColorProfiles();

  // The per-user list in the console user's scope, then the catalogue machine-wide (in the
  // order the keys enumerate); Type 2 takes the advanced colour list.
  EXPECT_EQ(Removals(), (std::vector<std::wstring>{
                            L"1, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0",
                            L"0, \"QXLCD_Panel_V1_H.icm\", 0xd1a5, 0, 0, 1",
                            L"0, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0",
                        }));
  // The name in both lists is uninstalled twice; the second finds nothing.
  EXPECT_EQ(Uninstalls(), (std::vector<std::wstring>{
                              L"NULL, \"QXLCD_Panel_V3_S.icm\", 1",
                              L"NULL, \"QXLCD_Panel_V1_H.icm\", 1",
                              L"NULL, \"QXLCD_Panel_V3_S.icm\", 1",
                          }));
  EXPECT_EQ(List(kBobSid, false), std::vector<std::wstring>{kOther});
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_EQ(diff.Lines(),
            (Lines{
                "- colour: advanced colour associations of the machine for adapter 0:d1a5 source 0",
                "- colour: profile QXLCD_Panel_V1_H.icm",
                "- colour: profile QXLCD_Panel_V3_S.icm",
                "~ colour: standard associations of S-1-5-21-1-2-3-1002 for adapter 0:d1a5 "
                "source 0: [\"Other.icm\", \"QXLCD_Panel_V3_S.icm\"] -> [\"Other.icm\"]",
                "- colour: standard associations of the machine for adapter 0:d1a5 source 0",
                "- files: " + kColour + "QXLCD_Panel_V1_H.icm",
                "- files: " + kColour + "QXLCD_Panel_V3_S.icm",
            }))
      << diff;
}

// The core library, called by a LocalSystem program in the console session, records the profiles
// in the console user's hive, with no "Type": that list is disassociated too, as the console
// user, in the mode the catalogue gives the name; a name the catalogue lacks is only uninstalled,
// which fails while it is still associated.
TEST_F(RemoveProfiles, TheConsoleUsersOwnListIsDisassociatedInTheModeOfTheCatalogue) {
  Catalogue(kHdr, 2);
  for (const std::wstring& name : {kHdr, kSdr}) {
    MakeKey(HKEY_USERS, kBobSid + L"\\" + layout::kProfileMarkerKey + L"\\" + name);
  }
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, true, {kHdr + L".icm"});
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::RecordTrace(true);

  RemoveColorProfiles();

  EXPECT_EQ(Removals(), (std::vector<std::wstring>{
                            L"0, \"QXLCD_Panel_V1_H.icm\", 0xd1a5, 0, 0, 1",
                            L"1, \"QXLCD_Panel_V1_H.icm\", 0xd1a5, 0, 0, 1",
                        }));
  EXPECT_TRUE(List(kBobSid, true).empty());
  EXPECT_EQ(List(kBobSid, false), std::vector<std::wstring>{kSdr + L".icm"});
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr + L".icm"));
  EXPECT_TRUE(sim::ColourProfileInstalled(kSdr + L".icm")) << "still in use: its uninstall fails";
  EXPECT_EQ(Uninstalls().size(), 3u) << "his two, then the catalogue's";
}

// The console user writes his own list, and a key name may hold "/": a name that would make the
// file name a path (or a device, or no name at all) is passed over, and the rest of his list and
// the catalogue still go. Before, "QXLCD_/../../../../Users/Public/victim" deleted
// C:\Users\Public\victim.icm through UninstallColorProfileW, which takes relative paths.
TEST_F(RemoveProfiles, NamesInTheConsoleUsersListThatAreNoPlainFileNamesArePassedOver) {
  const std::wstring victim = L"C:\\Users\\Public\\victim.icm";
  sim::PutFile(victim, {1, 2, 3});
  Catalogue(kHdr, 2);
  Catalogue(kSdr, 1);
  const std::wstring list = kBobSid + L"\\" + layout::kProfileMarkerKey + L"\\";
  for (const std::wstring& name :
       {std::wstring(L"QXLCD_/../../../../Users/Public/victim"), std::wstring(L"QXLCD_../victim"),
        std::wstring(L"QXLCD_C:victim"), std::wstring(L"QXLCD_//?/C:/Users/Public/victim"),
        std::wstring(L"QXLCD_x:stream"), std::wstring(L"QXLCD_.."), std::wstring(L"QXLCD_a "),
        std::wstring(L"QXLCD_\x01"), std::wstring(L"x/QXLCD_*"), kSdr}) {
    MakeKey(HKEY_USERS, list + name);
  }
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::RecordTrace(true);

  RemoveColorProfiles();

  EXPECT_TRUE(sim::FileExists(victim));
  EXPECT_EQ(Uninstalls(), (std::vector<std::wstring>{L"NULL, \"QXLCD_Panel_V1_H.icm\", 1",
                                                     L"NULL, \"QXLCD_Panel_V3_S.icm\", 1",
                                                     L"NULL, \"QXLCD_Panel_V3_S.icm\", 1"}));
  EXPECT_EQ(Removals(), (std::vector<std::wstring>{
                            L"0, \"QXLCD_Panel_V1_H.icm\", 0xd1a5, 0, 0, 1",
                            L"0, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0",
                            L"1, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0",
                        }));
  EXPECT_TRUE(List(kBobSid, false).empty());
}

// Only a LocalSystem process reads the console user's list: another account's own HKEY_CURRENT_USER
// is where the core library writes for it.
TEST_F(RemoveProfiles, AnotherAccountDoesNotReadTheConsoleUsersList) {
  Catalogue(kHdr, 2);
  MakeKey(HKEY_USERS, kBobSid + L"\\" + layout::kProfileMarkerKey + L"\\" + kSdr);
  sim::RecordTrace(true);
  sim::RunAs(sim::DefaultAdmin(), [] { RemoveColorProfiles(); });
  EXPECT_EQ(Uninstalls(), std::vector<std::wstring>{L"NULL, \"QXLCD_Panel_V1_H.icm\", 1"});
  EXPECT_TRUE(sim::ColourProfileInstalled(kSdr + L".icm"));
}

TEST_F(RemoveProfiles, AnEntryWithoutAKindOrWithAnotherIsNotDisassociatedButUninstalled) {
  Catalogue(kSdr);  // no "Type"
  Catalogue(kHdr, 3);
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::RecordTrace(true);
  RemoveColorProfiles();
  EXPECT_TRUE(Removals().empty());
  EXPECT_EQ(Uninstalls().size(), 2u);
  EXPECT_TRUE(sim::ColourProfileInstalled(kSdr + L".icm")) << "still in use: its uninstall fails";
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr + L".icm"));
}

TEST_F(RemoveProfiles, AFailedOrMissingDisassociationStillUninstalls) {
  Catalogue(kSdr, 1);
  Catalogue(kHdr, 2);
  sim::FailAlways("ColorProfileRemoveDisplayAssociation", ERROR_ACCESS_DENIED);
  RemoveColorProfiles();
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr + L".icm"));

  sim::ClearFaults();
  sim::InstallColourProfile(kSdr + L".icm");
  sim::SetAssociationRemovalExports(false, false);  // an older Windows build
  RemoveColorProfiles();
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
}

TEST_F(RemoveProfiles, AHybridLaptopsPanelIsNamedByTheAdapterThatDrivesIt) {
  sim::LaptopDisplayOptions hybrid;
  hybrid.hybrid = true;
  sim::SetDisplays(sim::LaptopDisplays(hybrid));
  Catalogue(kSdr, 1);
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  RemoveColorProfiles();
  EXPECT_TRUE(List(L"", false).empty());
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
}

TEST_F(RemoveProfiles, APrimaryMonitorWithoutAPathIsCalledWithAZeroAdapterAndSource) {
  sim::DisplayTopology topology = sim::LaptopDisplays();
  topology.paths.clear();
  sim::SetDisplays(topology);
  Catalogue(kSdr, 1);
  sim::RecordTrace(true);
  RemoveColorProfiles();
  EXPECT_EQ(Removals(), std::vector<std::wstring>{L"0, \"QXLCD_Panel_V3_S.icm\", 0, 0, 0, 0"});
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
}

TEST_F(RemoveProfiles, NoPrimaryMonitorDisassociatesNothingAndStillUninstalls) {
  sim::SetDisplays({});
  Catalogue(kSdr, 1);
  UserList(kHdr, 2);
  sim::RecordTrace(true);
  RemoveColorProfiles();
  EXPECT_TRUE(Removals().empty());
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr + L".icm"));
}

TEST_F(RemoveProfiles, TheUserListIsDisassociatedAsTheProcessWhenNobodyIsAtTheConsole) {
  sim::LogOff(2);
  UserList(kSdr, 1);
  sim::SetColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::SetColourAssociations(kBobSid, sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  RemoveColorProfiles();
  EXPECT_TRUE(List(sim::kLocalSystemSid, false).empty()) << "LocalSystem's own scope";
  EXPECT_EQ(List(kBobSid, false), std::vector<std::wstring>{kSdr + L".icm"});
  EXPECT_TRUE(sim::ColourProfileInstalled(kSdr + L".icm")) << "Bob's association keeps it in use";
}

// A program that still holds a profile file open (the per-user program outlives the service)
// makes its uninstall fail: the file is recorded once for deletion at the restart, even when
// both lists name it, and the restart deletes it. The other profile goes at once.
TEST_F(RemoveProfiles, AProfileFileHeldOpenIsDeletedAtTheRestart) {
  UserList(kSdr, 1);
  Catalogue(kSdr, 1);
  Catalogue(kHdr, 2);
  const std::wstring held =
      sim::WindowsDirectory() + L"\\System32\\spool\\drivers\\color\\" + kSdr + L".icm";
  HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  RemoveColorProfiles();
  EXPECT_TRUE(sim::FileExists(held)) << "held open";
  EXPECT_FALSE(sim::ColourProfileInstalled(kHdr + L".icm"));
  WCHAR pending[1024] = {};
  DWORD size = sizeof(pending);
  ASSERT_EQ(
      RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                   L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending, &size),
      ERROR_SUCCESS);
  // One pair: the file, and the empty target of a deletion; then the list's end.
  EXPECT_EQ(std::wstring(pending, size / sizeof(WCHAR)), L"\\??\\" + held + std::wstring(3, L'\0'));
  CloseHandle(file);
  sim::Restart();
  EXPECT_FALSE(sim::FileExists(held));
  EXPECT_TRUE(sim::ColourProfileInstalled(kOther)) << "not the package's";
}

TEST_F(RemoveProfiles, ANameTooLongForItsKeyPathSkipsThatWholeList) {
  // 240 characters: the catalogue entry's key path would pass 259.
  Catalogue(L"QXLCD_" + std::wstring(234, L'L'), 1);
  Catalogue(kHdr, 2);
  UserList(kSdr, 1);
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, true, {kHdr + L".icm"});
  sim::RecordTrace(true);
  RemoveColorProfiles();
  EXPECT_EQ(Removals(), std::vector<std::wstring>{L"1, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0"})
      << "the per-user list still runs";
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
  EXPECT_TRUE(sim::ColourProfileInstalled(kHdr + L".icm")) << "no entry of the catalogue goes";
  EXPECT_EQ(List(L"", true), std::vector<std::wstring>{kHdr + L".icm"});
}

// The service installs a catalogue entry's profile under the part of its name from the first
// "QXLCD_" on; the uninstaller names it the same way.
TEST_F(RemoveProfiles, AnEntryWithAPrefixRemovesTheFileTheServiceInstalled) {
  Catalogue(L"Vendor_" + kSdr, 1);
  Catalogue(L"Unrelated", 1);  // names no profile of the package
  sim::InstallColourProfile(L"Vendor_" + kSdr + L".icm");
  sim::InstallColourProfile(L"Unrelated.icm");
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kSdr + L".icm"});
  sim::RecordTrace(true);
  RemoveColorProfiles();
  EXPECT_EQ(Removals(), std::vector<std::wstring>{L"0, \"QXLCD_Panel_V3_S.icm\", 0xd1a5, 0, 0, 0"});
  EXPECT_FALSE(sim::ColourProfileInstalled(kSdr + L".icm"));
  EXPECT_TRUE(List(L"", false).empty());
  EXPECT_TRUE(sim::ColourProfileInstalled(L"Vendor_" + kSdr + L".icm"));
  EXPECT_TRUE(sim::ColourProfileInstalled(L"Unrelated.icm"));
}

TEST_F(RemoveProfiles, EveryFailingCallLeavesNothingBehindAndTheOtherEntriesGo) {
  UserList(kSdr, 1);
  Catalogue(kHdr, 2);
  const uint64_t calls = dpal::test::SweepFaults(
      [&] {
        for (const std::wstring& name : {kSdr, kHdr}) sim::InstallColourProfile(name + L".icm");
        RemoveColorProfiles();
        return 0;
      },
      [&](int, uint64_t n, bool faulted) {
        // One failing call costs at most the one profile whose step it was in.
        const int left = sim::ColourProfileInstalled(kSdr + L".icm") +
                         sim::ColourProfileInstalled(kHdr + L".icm");
        EXPECT_LE(left, faulted ? 1 : 0) << "with call " << n << " failing";
      });
  EXPECT_GT(calls, 20u);
}

}  // namespace
