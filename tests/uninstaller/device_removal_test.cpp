// RemoveDeviceAndDriverPackage on the simulated machine: the driver package (with its INF) and
// then the software device go; each removal that cannot be made (its function missing from
// newdev.dll, no INF path) fails on its own and the other still runs. An administrator's run of
// the uninstaller is this removal, through the package's own table of routines.
#include <string>
#include <vector>

#include "loader/shared/device_lookup.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/flow.h"
#include "uninstaller/routines.h"

namespace {

using dpal::uninstaller::RemoveDeviceAndDriverPackage;
using Lines = std::vector<std::string>;

const std::wstring kInstance = L"SWD\\TARVEX\\DPAL";
const std::wstring kInf = L"oem7.inf";

class RemoveDevice : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::AddDevice({L"ROOT\\OTHER\\0000", {L"ROOT\\OTHER"}, {}, true, {}, L"oem1.inf"});
    sim::AddDriverPackage(L"oem1.inf");
    sim::AddDriverPackage(kInf);
  }
  static void AddPackageDevice(const std::wstring& inf = kInf) {
    sim::AddDevice({kInstance, {dpal::kSoftwareDeviceHardwareId}, {}, true, {}, inf});
  }
  static uint64_t RemovalCalls() {
    return sim::CallCount("DiUninstallDriverW") + sim::CallCount("DiUninstallDevice");
  }
  static bool DeviceThere() {
    for (const sim::Device& device : sim::Devices()) {
      if (device.instance_id == kInstance) return true;
    }
    return false;
  }
  static bool PackageThere() {
    for (const std::wstring& package : sim::DriverPackages()) {
      if (package == kInf) return true;
    }
    return false;
  }
};

TEST_F(RemoveDevice, TheDriverPackageWithItsInfAndTheDeviceGoAndNothingElse) {
  AddPackageDevice();
  const sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_TRUE(RemoveDeviceAndDriverPackage());
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  EXPECT_EQ(diff.Lines(), (Lines{
                              "- devices: SWD\\TARVEX\\DPAL",
                              "- driver packages: oem7.inf",
                              "- files: C:\\Windows\\INF\\oem7.inf",
                          }))
      << diff;
  EXPECT_TRUE(sim::LoadedModules().empty()) << "newdev.dll is freed";
}

TEST_F(RemoveDevice, AnAdministratorsUninstallerRunRemovesTheDeviceAndNothingElse) {
  AddPackageDevice();
  sim::RecordTrace(true);
  EXPECT_EQ(dpal::uninstaller::RunUninstallerProcess(), 0);
  EXPECT_FALSE(DeviceThere());
  EXPECT_FALSE(PackageThere());
  EXPECT_EQ(sim::CallCount("OpenSCManagerW"), 0u) << "no step of the final cleanup ran";
  EXPECT_EQ(sim::CallCount("MoveFileExW"), 0u);
}

TEST_F(RemoveDevice, WithoutTheDeviceNothingIsCalledAndTheAnswerIsTrue) {
  const sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_TRUE(RemoveDeviceAndDriverPackage());
  EXPECT_EQ(RemovalCalls(), 0u);
  EXPECT_EQ(sim::CallCount("LoadLibraryExW"), 0u) << "newdev.dll is not even loaded";
  EXPECT_TRUE(sim::DifferenceFrom(before).Empty()) << sim::DifferenceFrom(before);
}

TEST_F(RemoveDevice, WithoutAnInfPathOnlyTheDeviceGoes) {
  AddPackageDevice(L"");
  EXPECT_FALSE(RemoveDeviceAndDriverPackage());
  EXPECT_EQ(sim::CallCount("DiUninstallDriverW"), 0u) << "no package is named";
  EXPECT_FALSE(DeviceThere());
  EXPECT_TRUE(PackageThere());
}

TEST_F(RemoveDevice, EitherFunctionMissingFailsItsRemovalAndTheOtherStillRuns) {
  AddPackageDevice();
  sim::SetDeviceUninstallExports(false, true);  // before Windows 10 1703
  EXPECT_FALSE(RemoveDeviceAndDriverPackage());
  EXPECT_FALSE(DeviceThere());
  EXPECT_TRUE(PackageThere());

  AddPackageDevice();
  sim::SetDeviceUninstallExports(true, false);
  EXPECT_FALSE(RemoveDeviceAndDriverPackage());
  EXPECT_TRUE(DeviceThere());
  EXPECT_FALSE(PackageThere());
  EXPECT_FALSE(sim::FileExists(L"C:\\Windows\\INF\\oem7.inf"));
}

TEST_F(RemoveDevice, AFailedDriverRemovalStillRemovesTheDevice) {
  AddPackageDevice();
  sim::FailAlways("DiUninstallDriverW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RemoveDeviceAndDriverPackage());
  EXPECT_FALSE(DeviceThere());
  EXPECT_TRUE(PackageThere());
}

TEST_F(RemoveDevice, EveryFailingCallLeavesNothingBehindAndTheAnswerTellsTheTruth) {
  const uint64_t calls = dpal::test::SweepFaults(
      [] {
        AddPackageDevice();
        sim::AddDriverPackage(kInf);
        return RemoveDeviceAndDriverPackage();
      },
      [](bool removed, uint64_t n, bool) {
        const bool device = DeviceThere();
        const bool package = PackageThere();
        // True: both went, or the lookup failed and nothing was tried.
        if (removed) {
          EXPECT_EQ(device, package) << "with call " << n << " failing";
        } else {
          EXPECT_TRUE(device || package) << "with call " << n << " failing";
        }
        if (removed && device) {
          EXPECT_EQ(RemovalCalls(), 0u) << "with call " << n << " failing";
        }
        sim::ClearTrace();
      });
  EXPECT_GT(calls, 5u);
}

}  // namespace
