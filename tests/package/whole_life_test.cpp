// The package's whole life on one simulated machine: installed by the outside installer, a day of
// use (the service at boot and logons, the core library's client, the tool), the uninstall as the
// outside installer does it (the device-removal run as an administrator, the final-cleanup run as
// LocalSystem while the device is present, while an owner is registered, and for real, then the
// installer's own removal), and the restart. Afterwards the machine differs from the one before
// the install by exactly the items kept on purpose; anything else, left or lost, fails.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "setprofile/tool.h"
#include "tests/support/platform_test.h"
#include "harness/registry_writer.h"
#include "tests/support/two_users.h"
#include "tools/core_client.h"
#include "harness/installer.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
namespace installer = dpal::installer;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;
using Lines = std::vector<std::string>;

using dpal::test::InstallationDone;
using dpal::test::kAliceSid;
using dpal::test::kBobSid;
using dpal::test::Launched;
using dpal::test::UsersHives;

// What the package leaves on purpose, as the snapshot difference names it (kind, part, item):
// - the parent "\Tarvex" task folder and the parent "Tarvex" directory under Program Files,
//   which other products of the maker may share;
// - the parent key "SOFTWARE\Tarvex" in the hive of each user the package kept keys for (only
//   the package's own "SOFTWARE\Tarvex\DPAL" is deleted), and so that user's hive file.
const Lines& KeptOnPurpose() {
  static const Lines kept = {
      "+ files: C:\\Program Files\\Tarvex",
      "~ files: C:\\Users\\bob\\ntuser.dat",
      "+ tasks: \\Tarvex",
  };
  return kept;
}
const Lines& KeptInUsersHives() {
  static const Lines kept = {
      "+ registry: HKEY_USERS\\S-1-5-21-1000-1000-1000-1002\\SOFTWARE\\Tarvex",
  };
  return kept;
}

class WholeLife : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // The machine before the install: the laptop with two users who have profiles, freshly
    // booted, nobody logged on.
    dpal::test::SetUpTwoUsers();
    sim::Restart();
    users_before_ = UsersHives();
    before_ = sim::TakeSnapshot();
  }

  static void LogOn(DWORD session, const wchar_t* sid, const wchar_t* name) {
    sim::SetConsoleSession(session);
    sim::LogOn(session, sid, name);
    ASSERT_EQ(sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, session),
              static_cast<DWORD>(NO_ERROR));
  }

  static void Client(const std::vector<std::string>& words, DWORD session) {
    for (const dpal::client::Line& line : dpal::client::Run(words, session)) {
      EXPECT_EQ(line.text.find("failed"), std::string::npos) << line.text;
    }
  }

  static int Tool(const sim::Identity& who, const std::wstring& arguments) {
    sim::Identity identity = who;
    identity.image_path = laptop::kToolProgram;
    return sim::RunProcess(identity, L"\"" + laptop::kToolProgram + L"\" " + arguments,
                           [] { return dpal::setprofile::RunToolProcess(); });
  }

  // A day: boot, logons, the client switching the profiles, the tool.
  void PlayADay() {
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
    sim::Restart();
    ASSERT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, 10s));
    LogOn(1, kAliceSid, L"alice");
    Launched(1);
    InstallationDone();
    LogOn(2, kBobSid, L"bob");
    Launched(2);
    Client({"client", "set", "sdr", "QXLCD_Panel_V3_S.icm"}, 2);
    Client({"client", "set", "hdr", "QXLCD_Panel_V1_H.icm"}, 2);
    Client({"client", "save", "QXLCD_Panel_V3_S"}, 2);
    Client({"client", "save", "QXLCD_Panel_V1_H"}, 2);
    // The service follows the machine's apply state, each switch with a launch of its own when
    // its watch sees it; only their end is waited for.
    Client({"client", "state", "both", "0"}, 2);
    Client({"client", "state", "both", "1"}, 2);
    Launched(2);
    sim::Identity bob = sim::StandardUser(kBobSid, L"bob");
    bob.session_id = 2;
    EXPECT_EQ(Tool(bob, L"/userset 1 QXLCD_Panel_V3_S.icm"), 0);
  }

  sim::Snapshot users_before_;
  sim::Snapshot before_;
};

TEST_F(WholeLife, NothingThePackageOwnsSurvivesTheUninstallAndTheRestart) {
  installer::InstallPackage();
  laptop::InstallStandIn();
  PlayADay();

  // The uninstall task's run while the software device is still there removes nothing.
  sim::Snapshot step = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  EXPECT_EQ(sim::DifferenceFrom(step).Lines(), Lines{});

  // The device-removal run takes the device and its driver package, nothing else.
  step = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunDeviceRemoval(), 0);
  EXPECT_EQ(sim::DifferenceFrom(step).Lines(),
            (Lines{"- devices: SWD\\TARVEX\\DPAL_0001", "- driver packages: oem42.inf",
                   "- files: C:\\Windows\\INF\\oem42.inf"}));

  // While the installer's owner is registered the final cleanup still removes nothing.
  step = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  EXPECT_EQ(sim::DifferenceFrom(step).Lines(), Lines{});

  installer::WithdrawOwner();
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  installer::RemovePackage();
  sim::Restart();

  EXPECT_EQ(sim::DifferenceFrom(before_).Headings(), KeptOnPurpose())
      << sim::DifferenceFrom(before_).Describe();
  const sim::SnapshotDiff hives = sim::Difference(users_before_, UsersHives());
  EXPECT_EQ(hives.Only({"registry"}).Headings(), KeptInUsersHives()) << hives.Describe();
}

// A device whose removal completes only at the next restart: after the device-removal run the
// device is still present, so every final-cleanup run before the restart removes nothing, the
// owner withdrawn or not. The restart takes the device; the uninstall task's next run cleans up.
TEST_F(WholeLife, ADeviceRemovalThatWaitsForTheRestartHoldsTheCleanupUntilIt) {
  laptop::Options options;
  options.device_removal_waits_for_restart = true;
  installer::InstallPackage(options);
  laptop::InstallStandIn();
  PlayADay();

  sim::Snapshot step = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunDeviceRemoval(), 0);
  EXPECT_EQ(sim::DifferenceFrom(step).Headings(),
            (Lines{"~ devices: SWD\\TARVEX\\DPAL_0001", "- driver packages: oem42.inf",
                   "- files: C:\\Windows\\INF\\oem42.inf"}))
      << sim::DifferenceFrom(step).Describe();
  ASSERT_EQ(sim::Devices().size(), 1u);
  EXPECT_TRUE(sim::Devices()[0].removal_pending) << "present until the restart";
  installer::WithdrawOwner();
  step = sim::TakeSnapshot();
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  EXPECT_EQ(sim::DifferenceFrom(step).Lines(), Lines{}) << "the device is still present";

  // After the restart Bob logs on again, and the uninstall task's next run cleans up; the
  // console user's associations are removed in his own scope.
  sim::Restart();
  sim::SetConsoleSession(2);
  sim::LogOn(2, kBobSid, L"bob");
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  installer::RemovePackage();
  sim::Restart();

  // Alice was logged off at the cleanup: her hive file was mounted, cleaned and written back,
  // so the file differs in its bytes while her hive holds what it held before.
  Lines kept = KeptOnPurpose();
  kept.insert(kept.begin() + 1, "~ files: C:\\Users\\alice\\ntuser.dat");
  EXPECT_EQ(sim::DifferenceFrom(before_).Headings(), kept)
      << sim::DifferenceFrom(before_).Describe();
  const sim::SnapshotDiff hives = sim::Difference(users_before_, UsersHives());
  EXPECT_EQ(hives.Only({"registry"}).Headings(), KeptInUsersHives()) << hives.Describe();
}

}  // namespace
