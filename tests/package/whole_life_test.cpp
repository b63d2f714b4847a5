// The package's whole life on one simulated machine: installed by the outside installer, a day of
// use (the service at boot and logons, the core library's client, the tool), the uninstall as the
// outside installer does it (the device-removal run as an administrator, the final-cleanup run as
// LocalSystem while the device is present, while an owner is registered, and for real, then the
// installer's own removal), and the restart. Afterwards the machine differs from the one before
// the install by exactly the items kept on purpose; anything else, left or lost, fails.
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <mutex>
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

// The per-user program, which in its next "/rs" run opens the profile files, shared for reading
// only, and keeps them open until released. It is released at the latest when it goes.
class FileHolder {
 public:
  FileHolder() = default;
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  ~FileHolder() {
    Release();
    sim::WaitForProcessesToEnd(10s);
  }

  DWORD Run(const laptop::Run& run) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!hold_ || run.switch_text != L"/rs") return 0;
    hold_ = false;
    guard.unlock();
    std::vector<HANDLE> files;
    for (const laptop::Profile& profile : laptop::Profiles()) {
      files.push_back(CreateFileW(laptop::ProfilePath(profile).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    guard.lock();
    holding_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return released_; });
    guard.unlock();
    for (HANDLE file : files) CloseHandle(file);
    return 0;
  }
  void HoldTheNextRun() {
    std::lock_guard<std::mutex> guard(lock_);
    hold_ = true;
  }
  bool WaitUntilHolding() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, 10s, [this] { return holding_; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool hold_ = false;
  bool holding_ = false;
  bool released_ = false;
};

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

  // Whether a thread waits for a change of the machine's apply state: the service's watch.
  static bool WatchWaits() {
    for (const sim::BlockedThread& thread : sim::BlockedThreads()) {
      for (const sim::WaitedObject& object : thread.objects) {
        for (std::wstring key : object.notified_keys) {
          std::wstring wanted = layout::kMachineApplyStateKey;
          for (std::wstring* text : {&key, &wanted}) {
            for (wchar_t& c : *text) c = static_cast<wchar_t>(std::towupper(c));
          }
          if (key.find(wanted) != std::wstring::npos) return true;
        }
      }
    }
    return false;
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

// The per-user program the service launched is its own process: it runs on after the final
// cleanup has stopped the service, and while it holds the profile files open their uninstall
// fails. The cleanup has them deleted at the next restart instead, so the restart still leaves
// nothing of the package's.
TEST_F(WholeLife, AProfileFileThatARunningPerUserProgramHoldsGoesAtTheRestart) {
  installer::InstallPackage();
  FileHolder holder;
  laptop::InstallStandIn([&holder](const laptop::Run& run) { return holder.Run(run); });
  PlayADay();
  // Once the day's launches have ended and the service's watch waits again, the client's switch
  // is seen: the service launches "/rs", which holds the files.
  ASSERT_TRUE(sim::WaitForProcessesToEnd(10s));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!WatchWaits()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the watch did not wait again";
    std::this_thread::sleep_for(1ms);
  }
  holder.HoldTheNextRun();
  Client({"client", "state", "both", "0"}, 2);
  ASSERT_TRUE(holder.WaitUntilHolding());

  EXPECT_EQ(installer::RunDeviceRemoval(), 0);
  installer::WithdrawOwner();
  EXPECT_EQ(installer::RunFinalCleanup(), 0);
  EXPECT_EQ(sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState,
            static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(sim::WaitForProcessesToEnd(0ms)) << "the per-user program outlives the service";
  for (const laptop::Profile& profile : laptop::Profiles()) {
    EXPECT_TRUE(sim::FileExists(laptop::ProfilePath(profile))) << "held open by the program";
  }
  holder.Release();
  EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
  installer::RemovePackage();
  sim::Restart();

  EXPECT_EQ(sim::DifferenceFrom(before_).Headings(), KeptOnPurpose())
      << sim::DifferenceFrom(before_).Describe();
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
