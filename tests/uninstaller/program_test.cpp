// TarvexDPALUninstaller as a program with the package's own routines, run as its own process on a
// machine the development installer set up: what each run changes on the machine, exactly, and
// that no failing platform call of either run changes anything that is not the package's.
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "platform/sim/snapshot.h"
#include "tests/support/platform_test.h"
#include "harness/installer.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
namespace installer = dpal::installer;
namespace laptop = dpal::laptop;
using Lines = std::vector<std::string>;

constexpr const wchar_t* kBobSid = L"S-1-5-21-1000-1000-1000-1002";
const std::string kColour = "C:\\Windows\\System32\\spool\\drivers\\color\\";

class UninstallerProgram : public dpal::test::PlatformTest {
 protected:
  // The package installed and, when asked, its service started; then the device-removal run
  // has removed the device and the owner is withdrawn: the final cleanup's gates are open. Bob is
  // at the console with the package's key in his hive.
  static void ReadyForTheFinalCleanup(bool service_running = false) {
    laptop::Options options;
    options.install_pending = false;  // the service has nothing left to do when it starts
    installer::InstallPackage(options);
    sim::CreateUserProfile(kBobSid, L"bob");
    sim::LogOn(2, kBobSid, L"bob");
    sim::SetConsoleSession(2);
    dpal::test::PutDword(HKEY_USERS,
                         std::wstring(kBobSid) + L"\\" + dpal::layout::kUserApplyStateKey,
                         dpal::layout::kStateValue, 1);
    if (service_running) {
      laptop::InstallStandIn();
      ASSERT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
      ASSERT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, 10s));
      // Its start-up run and the logon run for Bob are over, and what they launched has ended:
      // a program launched after this point would change the machine under the test's snapshot.
      ASSERT_TRUE(sim::WaitUntilSettled(10s));
      ASSERT_TRUE(sim::WaitForProcessesToEnd(10s));
    }
    ASSERT_EQ(installer::RunDeviceRemoval(), 0);
    installer::WithdrawOwner();
  }
  void TearDown() override {
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    PlatformTest::TearDown();
  }
};

// The items of a difference, whatever their kind and states.
std::set<std::string> Items(const sim::SnapshotDiff& diff) {
  std::set<std::string> items;
  for (const std::string& heading : diff.Headings()) items.insert(heading.substr(2));
  return items;
}

TEST_F(UninstallerProgram, LocalSystemWithoutTheSwitchChangesNothing) {
  ReadyForTheFinalCleanup();
  const sim::Snapshot before = sim::TakeSnapshot();
  for (const wchar_t* arguments : {L"", L" /checkremoval", L" --checkremoval", L" checkremoval",
                                   L" -checkremoval2", L" \"-checkremoval \""}) {
    EXPECT_EQ(installer::RunUninstaller(sim::LocalSystem(), arguments), 0) << arguments;
    EXPECT_EQ(sim::DifferenceFrom(before).Lines(), Lines{}) << arguments;
  }
}

TEST_F(UninstallerProgram, TheFinalCleanupRemovesThePackagesItemsAndMovesItsImage) {
  ReadyForTheFinalCleanup(/*service_running=*/true);
  // The service's controller and its detached threads live as long as the service process
  // would; in the sim that is the test process, so what they hold is not a leak.
  KeepLeaksOnPurpose();
  const sim::Snapshot before = sim::TakeSnapshot();

  // The switch in another letter case, after another argument.
  EXPECT_EQ(installer::RunUninstaller(sim::LocalSystem(), L" /quiet -CheckRemoval"), 0);

  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_EQ(
      diff.Without({"services"}).Lines(),
      (Lines{
          "- colour: profile QXLCD_Panel_V1_H.icm",
          "- colour: profile QXLCD_Panel_V3_S.icm",
          "- files: C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe",
          "- files: " + kColour + "QXLCD_Panel_V1_H.icm",
          "- files: " + kColour + "QXLCD_Panel_V3_S.icm",
          "+ files: C:\\Windows\\Temp\\ufn.000",
          "+ registry: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session "
          "Manager \"PendingFileRenameOperations\"",
          "- registry: HKEY_USERS\\S-1-5-21-1000-1000-1000-1002\\SOFTWARE\\Tarvex\\DPAL",
          "- registry: HKEY_USERS\\S-1-5-21-1000-1000-1000-1002\\SOFTWARE\\Tarvex\\DPAL\\State",
          "- registry: HKEY_USERS\\S-1-5-21-1000-1000-1000-1002\\SOFTWARE\\Tarvex\\DPAL\\State "
          "\"State\"",
          "- tasks: \\Tarvex\\DPAL",
          "- tasks: \\Tarvex\\DPAL\\TDPALUserAgent",
          "- tasks: \\Tarvex\\DPAL\\UninstallTask",
      }))
      << diff;
  EXPECT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_STOPPED, 0s));

  // The restart deletes the moved image; the install directory, which held the running image
  // while the file step ran, is the outside installer's to remove.
  sim::Restart();
  EXPECT_FALSE(sim::FileExists(L"C:\\Windows\\Temp\\ufn.000"));
  EXPECT_TRUE(sim::DirectoryExists(laptop::kInstallDirectory));
}

TEST_F(UninstallerProgram, AFailedTaskStepAndDisassociationStillDeleteTheFileAndMoveTheImage) {
  ReadyForTheFinalCleanup();
  sim::FailAlways("CoCreateInstance", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  sim::FailAlways("ColorProfileRemoveDisplayAssociation", ERROR_ACCESS_DENIED);
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  sim::ClearFaults();
  EXPECT_TRUE(sim::TaskExists(installer::kUninstallTask));
  EXPECT_FALSE(sim::FileExists(installer::kUninstallerImage));
  EXPECT_TRUE(sim::FileExists(L"C:\\Windows\\Temp\\ufn.000"));
}

TEST_F(UninstallerProgram, TheDeviceRemovalRunIgnoresTheSwitchAndRemovesOnlyTheDevice) {
  installer::InstallPackage();
  const sim::Snapshot before = sim::TakeSnapshot();
  sim::Identity administrator = sim::DefaultAdmin();
  EXPECT_EQ(installer::RunUninstaller(administrator, L" -checkremoval"), 0);
  EXPECT_EQ(sim::DifferenceFrom(before).Lines(),
            (Lines{"- devices: " + sim::Utf8(laptop::kDeviceInstance),
                   "- driver packages: oem42.inf", "- files: C:\\Windows\\INF\\oem42.inf"}));
  // A second run finds no device and changes nothing.
  const sim::Snapshot after = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunDeviceRemoval(), 0);
  EXPECT_EQ(sim::DifferenceFrom(after).Lines(), Lines{});
}

// Each run with its n-th platform call failing, for every n until a run meets no fault: the run
// ends with 0, leaks nothing, and changes only items that the clean run changes too.
template <typename Prepare, typename Run>
void SweepRun(Prepare prepare, Run run) {
  sim::Reset();
  prepare();
  sim::Snapshot before = sim::TakeSnapshot();
  ASSERT_EQ(run(), 0);
  const std::set<std::string> owned = Items(sim::DifferenceFrom(before));
  ASSERT_FALSE(owned.empty());
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 2000u) << "the run still met a fault after 2000 calls";
    sim::Reset();
    prepare();
    before = sim::TakeSnapshot();
    sim::FailNthAny(n, ERROR_NOT_ENOUGH_MEMORY);
    const int code = run();
    const bool faulted = sim::FaultsFired() > 0;
    sim::ClearFaults();
    EXPECT_EQ(code, 0) << "call " << n << " failing";
    for (const std::string& item : Items(sim::DifferenceFrom(before))) {
      EXPECT_EQ(owned.count(item), 1u) << "call " << n << " failing changed " << item;
    }
    ASSERT_TRUE(sim::WaitForProcessesToEnd(10s));
    const sim::LeakReport leaks = sim::Leaks();
    ASSERT_TRUE(leaks.Clean()) << "call " << n << " failing left behind: " << leaks.Describe();
    if (!faulted) {
      std::printf("failed each of the run's %llu platform calls in turn\n",
                  static_cast<unsigned long long>(n - 1));
      break;
    }
  }
}

TEST_F(UninstallerProgram, FaultSweepOfTheFinalCleanupRun) {
  SweepRun([] { ReadyForTheFinalCleanup(); }, [] { return installer::RunFinalCleanup(); });
}

TEST_F(UninstallerProgram, FaultSweepOfTheDeviceRemovalRun) {
  SweepRun([] { installer::InstallPackage(); }, [] { return installer::RunDeviceRemoval(); });
}

}  // namespace
