// The software-device lookup: which device matches, and the driver INF path it yields.
#include <string>

#include "loader/shared/device_lookup.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::CSoftwareDeviceLookup;
using dpal::kSoftwareDeviceHardwareId;

class DeviceLookup : public dpal::test::PlatformTest {
 protected:
  void Add(const std::wstring& id, std::vector<std::wstring> hardware,
           std::vector<std::wstring> compatible, bool present = true,
           const std::wstring& inf = L"oem7.inf") {
    sim::Device device;
    device.instance_id = id;
    device.hardware_ids = std::move(hardware);
    device.compatible_ids = std::move(compatible);
    device.present = present;
    device.driver_inf = inf;
    sim::AddDevice(device);
  }
};

TEST_F(DeviceLookup, FindsByHardwareIdAndGivesTheInfPath) {
  Add(L"ROOT\\OTHER\\0000", {L"ROOT\\OTHER"}, {}, true, L"oem1.inf");
  Add(L"SWD\\DPAL\\0001", {L"SWC\\SOMETHING", kSoftwareDeviceHardwareId}, {}, true, L"oem7.inf");
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  EXPECT_TRUE(lookup.found());
  EXPECT_STREQ(lookup.inf_name(), L"oem7.inf");
  EXPECT_EQ(std::wstring(lookup.inf_path()), sim::WindowsDirectory() + L"\\INF\\oem7.inf");
  EXPECT_NE(lookup.device_set(), INVALID_HANDLE_VALUE);
  lookup.ReleaseDeviceLookup();
}

TEST_F(DeviceLookup, FindsByCompatibleIdInAnyCase) {
  std::wstring lower = kSoftwareDeviceHardwareId;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  Add(L"SWD\\DPAL\\0001", {L"SWC\\UNRELATED"}, {lower});
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  EXPECT_TRUE(lookup.found());
}

TEST_F(DeviceLookup, OnlyWholeIdsOfPresentDevicesMatch) {
  Add(L"SWD\\DPAL\\LONGER", {std::wstring(kSoftwareDeviceHardwareId) + L"&REV_01"}, {});
  Add(L"SWD\\DPAL\\GONE", {kSoftwareDeviceHardwareId}, {}, /*present=*/false);
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  EXPECT_FALSE(lookup.found());
  EXPECT_STREQ(lookup.inf_path(), L"");
}

TEST_F(DeviceLookup, FirstMatchInEnumerationOrderWins) {
  Add(L"SWD\\DPAL\\0001", {kSoftwareDeviceHardwareId}, {}, true, L"oem3.inf");
  Add(L"SWD\\DPAL\\0002", {kSoftwareDeviceHardwareId}, {}, true, L"oem9.inf");
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  ASSERT_TRUE(lookup.found());
  EXPECT_STREQ(lookup.inf_name(), L"oem3.inf");
}

TEST_F(DeviceLookup, MissingDriverInfStillFindsTheDevice) {
  Add(L"SWD\\DPAL\\0001", {kSoftwareDeviceHardwareId}, {}, true, L"");
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  EXPECT_TRUE(lookup.found());
  EXPECT_STREQ(lookup.inf_path(), L"");
}

TEST_F(DeviceLookup, HardwareIdThatDoesNotFitFindsNothing) {
  Add(L"SWD\\DPAL\\0001", {kSoftwareDeviceHardwareId}, {});
  const std::wstring too_long(260, L'X');
  CSoftwareDeviceLookup lookup(too_long.c_str());
  EXPECT_FALSE(lookup.found());
  EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 0u);
}

TEST_F(DeviceLookup, EveryFailingCallLeavesNothingOpen) {
  Add(L"ROOT\\OTHER\\0000", {L"ROOT\\OTHER"}, {L"ROOT\\COMPAT"});
  Add(L"SWD\\DPAL\\0001", {L"SWC\\X"}, {kSoftwareDeviceHardwareId});
  dpal::test::SweepFaults(
      [] {
        CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
        return lookup.found();
      },
      [](bool found, uint64_t, bool faulted) {
        EXPECT_TRUE(found || faulted) << "the clean run finds the device";
      });
}

}  // namespace
