// The deletion of the installed uninstaller and its directory under Program Files, on a
// simulated machine.
#include <string>
#include <vector>

#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

using dpal::uninstaller::DeleteInstalledFiles;

const std::wstring kDirectory = L"C:\\Program Files\\Tarvex\\DPAL";
const std::wstring kInstalled = kDirectory + L"\\TarvexDPALUninstaller.exe";

class InstalledFiles : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
    sim::PutFile(L"C:\\Program Files\\Tarvex\\Other\\other.exe", {1, 2, 3});
  }
  static void ExpectOthersKept() {
    EXPECT_TRUE(sim::DirectoryExists(L"C:\\Program Files\\Tarvex")) << "never removed";
    EXPECT_TRUE(sim::FileExists(L"C:\\Program Files\\Tarvex\\Other\\other.exe"));
  }
};

TEST_F(InstalledFiles, TheFileAndItsDirectoryGo) {
  sim::PutFile(kInstalled, {'M', 'Z'});
  EXPECT_TRUE(DeleteInstalledFiles());
  EXPECT_FALSE(sim::FileExists(kInstalled));
  EXPECT_FALSE(sim::DirectoryExists(kDirectory));
  ExpectOthersKept();
}

TEST_F(InstalledFiles, TheMachineLosesExactlyTheFileAndItsDirectory) {
  sim::PutFile(kInstalled, {'M', 'Z'});
  const sim::Snapshot before = sim::TakeSnapshot();
  ASSERT_TRUE(DeleteInstalledFiles());
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_EQ(diff.Lines(), (std::vector<std::string>{
                              "- files: C:\\Program Files\\Tarvex\\DPAL",
                              "- files: C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe",
                          }))
      << diff;
}

TEST_F(InstalledFiles, AnAbsentFileIsNoFailureAndTheEmptyDirectoryGoes) {
  sim::MakeDirectory(kDirectory);
  EXPECT_TRUE(DeleteInstalledFiles());
  EXPECT_FALSE(sim::DirectoryExists(kDirectory));
  EXPECT_EQ(sim::CallCount("DeleteFileW"), 0u);
}

TEST_F(InstalledFiles, AnAbsentDirectoryFailsAndTouchesNothing) {
  EXPECT_FALSE(DeleteInstalledFiles()) << "RemoveDirectoryW fails";
  EXPECT_EQ(sim::CallCount("DeleteFileW"), 0u);
  ExpectOthersKept();
}

TEST_F(InstalledFiles, TheRunningImageStaysAndKeepsItsDirectory) {
  sim::PutFile(kInstalled, {'M', 'Z'});
  sim::FileHold running = sim::HoldImageOpen(kInstalled);
  ASSERT_TRUE(running.held());
  EXPECT_FALSE(DeleteInstalledFiles());
  EXPECT_TRUE(sim::FileExists(kInstalled));
  EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), 0u) << "a failed deletion keeps the directory";
  // What the relocation does afterwards: the image can be moved away, the directory stays.
  EXPECT_TRUE(MoveFileExW(kInstalled.c_str(), L"C:\\Windows\\Temp\\ufn.000", 0));
  EXPECT_TRUE(sim::DirectoryExists(kDirectory));
}

TEST_F(InstalledFiles, AnotherFileInTheDirectoryKeepsIt) {
  sim::PutFile(kInstalled, {'M', 'Z'});
  sim::PutFile(kDirectory + L"\\notes.txt", {'x'});
  EXPECT_FALSE(DeleteInstalledFiles());
  EXPECT_FALSE(sim::FileExists(kInstalled)) << "the listed file is still deleted";
  EXPECT_TRUE(sim::FileExists(kDirectory + L"\\notes.txt"));
}

TEST_F(InstalledFiles, ProgramFilesIsWhereTheShellSaysItIs) {
  sim::SetProgramFilesDirectory(L"D:\\Programs");
  sim::PutFile(L"D:\\Programs\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe", {'M', 'Z'});
  sim::PutFile(kInstalled, {'M', 'Z'});
  EXPECT_TRUE(DeleteInstalledFiles());
  EXPECT_FALSE(sim::DirectoryExists(L"D:\\Programs\\Tarvex\\DPAL"));
  EXPECT_TRUE(sim::FileExists(kInstalled)) << "the default folder is not the machine's";
}

TEST_F(InstalledFiles, EveryFailingCallFailsTheStepWithoutLeaks) {
  const uint64_t calls = dpal::test::SweepFaults(
      [] {
        sim::PutFile(kInstalled, {'M', 'Z'});
        return DeleteInstalledFiles();
      },
      [](bool deleted, uint64_t n, bool faulted) {
        EXPECT_EQ(deleted, !faulted) << "call " << n;
        ExpectOthersKept();
      });
  EXPECT_GT(calls, 0u);
}

}  // namespace
