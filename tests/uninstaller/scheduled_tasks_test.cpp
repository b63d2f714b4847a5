// The deletion of the package's scheduled tasks and their folder, on a simulated machine whose
// Task Scheduler holds them (and what else other products registered).
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

using dpal::uninstaller::DeleteScheduledTasks;

const std::wstring kAgent = L"\\Tarvex\\DPAL\\TDPALUserAgent";
const std::wstring kUninstall = L"\\Tarvex\\DPAL\\UninstallTask";

std::vector<std::wstring> TaskPaths() {
  std::vector<std::wstring> paths;
  for (const sim::ScheduledTask& task : sim::ScheduledTasks()) paths.push_back(task.path);
  return paths;
}

class ScheduledTasks : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // The final cleanup runs as LocalSystem.
    sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
    // Another product of the same maker, and one of someone else.
    sim::PutScheduledTask(L"\\Tarvex\\Other\\Updater");
    sim::PutScheduledTask(L"\\SomeoneElse");
  }
  static void InstallPackageTasks() {
    sim::PutScheduledTask(kAgent);
    sim::PutScheduledTask(kUninstall);
  }
  static void ExpectOthersKept() {
    EXPECT_TRUE(sim::TaskFolderExists(L"\\Tarvex")) << "the maker's folder is never deleted";
    EXPECT_TRUE(sim::TaskExists(L"\\Tarvex\\Other\\Updater"));
    EXPECT_TRUE(sim::TaskExists(L"\\SomeoneElse"));
  }
};

TEST_F(ScheduledTasks, BothTasksAndTheirFolderGoAndNothingElse) {
  InstallPackageTasks();
  EXPECT_TRUE(DeleteScheduledTasks());
  EXPECT_EQ(TaskPaths(),
            (std::vector<std::wstring>{L"\\SomeoneElse", L"\\Tarvex\\Other\\Updater"}));
  EXPECT_EQ(sim::TaskFolders(), (std::vector<std::wstring>{L"\\Tarvex", L"\\Tarvex\\Other"}));
  EXPECT_EQ(sim::ComInitializationCount(), 0) << "COM is left again at the end of the step";
}

TEST_F(ScheduledTasks, TheMachineLosesExactlyThePackagesTasksAndFolder) {
  InstallPackageTasks();
  const sim::Snapshot before = sim::TakeSnapshot();
  ASSERT_TRUE(DeleteScheduledTasks());
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_EQ(diff.Lines(), (std::vector<std::string>{
                              "- tasks: \\Tarvex\\DPAL",
                              "- tasks: \\Tarvex\\DPAL\\TDPALUserAgent",
                              "- tasks: \\Tarvex\\DPAL\\UninstallTask",
                          }))
      << diff;
}

TEST_F(ScheduledTasks, NeitherTaskPresentCountsBothAndStillDeletesTheFolder) {
  sim::MakeTaskFolder(L"\\Tarvex\\DPAL");
  EXPECT_FALSE(DeleteScheduledTasks());
  EXPECT_EQ(sim::CallCount("ITaskFolder::DeleteTask"), 2u) << "both rows tried";
  EXPECT_FALSE(sim::TaskFolderExists(L"\\Tarvex\\DPAL")) << "the folder deletion still ran";
  ExpectOthersKept();
}

TEST_F(ScheduledTasks, OneFailedDeletionKeepsTheOtherAndTheFolderIsStillTried) {
  for (const std::wstring& refused : {kAgent, kUninstall}) {
    SCOPED_TRACE(refused);
    InstallPackageTasks();
    sim::ClearTrace();
    sim::FailIf(
        "ITaskFolder::DeleteTask",
        [&](const sim::Call& call) { return call.args.find(refused) != std::wstring::npos; },
        ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteScheduledTasks());
    sim::ClearFaults();
    const std::wstring& other = refused == kAgent ? kUninstall : kAgent;
    EXPECT_TRUE(sim::TaskExists(refused));
    EXPECT_FALSE(sim::TaskExists(other)) << "the other row still ran";
    EXPECT_EQ(sim::CallCount("ITaskFolder::DeleteFolder"), 1u);
    EXPECT_TRUE(sim::TaskFolderExists(L"\\Tarvex\\DPAL")) << "a folder holding a task stays";
    ExpectOthersKept();
  }
}

TEST_F(ScheduledTasks, AFolderHoldingMoreThanThePackagesTasksStays) {
  InstallPackageTasks();
  sim::PutScheduledTask(L"\\Tarvex\\DPAL\\Extra\\Task");
  EXPECT_FALSE(DeleteScheduledTasks()) << "the folder could not be deleted";
  EXPECT_FALSE(sim::TaskExists(kAgent));
  EXPECT_FALSE(sim::TaskExists(kUninstall));
  EXPECT_TRUE(sim::TaskExists(L"\\Tarvex\\DPAL\\Extra\\Task"));
}

TEST_F(ScheduledTasks, SecuritySetEarlierInTheProcessStillDeletes) {
  // Another component of the process (or an earlier run of the step) set COM's security.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                 RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr),
            S_OK);
  InstallPackageTasks();
  EXPECT_TRUE(DeleteScheduledTasks());
  EXPECT_FALSE(sim::TaskFolderExists(L"\\Tarvex\\DPAL"));
  EXPECT_EQ(sim::ComInitializationCount(), 1) << "the step balanced its own initialisation only";
  CoUninitialize();
}

TEST_F(ScheduledTasks, AThreadInASingleThreadedApartmentDeletesNothingAndKeepsItsApartment) {
  InstallPackageTasks();
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_FALSE(DeleteScheduledTasks());
    EXPECT_EQ(sim::CallCount("CoCreateInstance"), 0u) << "no COM call after the refused model";
    EXPECT_EQ(sim::ComInitializationCount(), 1) << "the refused initialisation is not undone";
    CoUninitialize();
  }).join();
  EXPECT_TRUE(sim::TaskExists(kAgent));
  EXPECT_TRUE(sim::TaskExists(kUninstall));
}

TEST_F(ScheduledTasks, EveryFailingCallEndsOrNarrowsTheStepWithoutLeaks) {
  const uint64_t calls = dpal::test::SweepFaults(
      [] {
        InstallPackageTasks();
        return DeleteScheduledTasks();
      },
      [](bool deleted, uint64_t n, bool faulted) {
        EXPECT_EQ(deleted, !faulted) << "call " << n;
        EXPECT_EQ(sim::ComInitializationCount(), 0) << "call " << n;
        ExpectOthersKept();
      });
  EXPECT_GT(calls, 0u);
}

}  // namespace
