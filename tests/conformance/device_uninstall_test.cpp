// newdev.dll's removal of a driver package (DiUninstallDriverW) and of a device
// (DiUninstallDevice), resolved at run time as the uninstaller does. Wine 8.0 has neither that
// works: it exports no DiUninstallDriverW, and its DiUninstallDevice is a stub that aborts the
// process, so the windows build checks only what newdev.dll exports and never calls either.
#include <functional>
#include <string>
#include <vector>

#include "common/module.h"
#include "tests/support/platform_test.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::PlatformTest;

using DiUninstallDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, DWORD, PBOOL);
using DiUninstallDeviceFn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, DWORD, PBOOL);

class DeviceUninstall : public PlatformTest {};

TEST_F(DeviceUninstall, NewdevExportsTheDeviceRemovalAndOnRecentWindowsTheDriverRemoval) {
  const dpal::UniqueModule newdev = dpal::LoadSystemLibrary(L"newdev.dll");
  ASSERT_TRUE(newdev) << "error " << GetLastError();
  EXPECT_NE(dpal::ExportOf<DiUninstallDeviceFn>(newdev, "DiUninstallDevice"), nullptr);
  const auto driver = dpal::ExportOf<DiUninstallDriverFn>(newdev, "DiUninstallDriverW");
  // Wine gap (8.0): newdev.dll does not export it (Windows has it from 10 1703 on).
  DPAL_TODO_WINE EXPECT_NE(driver, nullptr);
}

#if DPAL_SIM

const std::wstring kInstance = L"SWD\\DPALCONF\\0001";
const std::wstring kInfPath = L"C:\\Windows\\INF\\oem9.inf";

class SimDeviceUninstall : public DeviceUninstall {
 protected:
  void SetUp() override {
    DeviceUninstall::SetUp();
    sim::AddDevice({kInstance, {L"SWC\\DPALCONF"}, {}, true, {}, L"oem9.inf"});
    sim::AddDriverPackage(L"oem9.inf");
    newdev_ = dpal::LoadSystemLibrary(L"newdev.dll");
    uninstall_driver_ = dpal::ExportOf<DiUninstallDriverFn>(newdev_, "DiUninstallDriverW");
    uninstall_device_ = dpal::ExportOf<DiUninstallDeviceFn>(newdev_, "DiUninstallDevice");
    ASSERT_NE(uninstall_driver_, nullptr);
    ASSERT_NE(uninstall_device_, nullptr);
  }
  void TearDown() override {
    newdev_.reset();
    DeviceUninstall::TearDown();
  }
  static std::wstring DriverInf() {
    for (const sim::Device& device : sim::Devices()) {
      if (device.instance_id == kInstance) return device.driver_inf;
    }
    return L"(no device)";
  }
  // The set of present devices with its first element in `element`; INVALID_HANDLE_VALUE (the
  // set destroyed) when there is none.
  static HDEVINFO FirstPresentDevice(SP_DEVINFO_DATA* element) {
    HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    *element = {};
    element->cbSize = sizeof(*element);
    if (set != INVALID_HANDLE_VALUE && !SetupDiEnumDeviceInfo(set, 0, element)) {
      SetupDiDestroyDeviceInfoList(set);
      return INVALID_HANDLE_VALUE;
    }
    return set;
  }
  static bool AsStandardUser(const std::function<BOOL()>& call, DWORD* error) {
    BOOL result = TRUE;
    sim::RunAs(sim::StandardUser(L"S-1-5-21-1-2-3-1003", L"carol"), [&] {
      result = call();
      *error = GetLastError();
    });
    return result != FALSE;
  }

  dpal::UniqueModule newdev_;
  DiUninstallDriverFn uninstall_driver_ = nullptr;
  DiUninstallDeviceFn uninstall_device_ = nullptr;
};

TEST_F(SimDeviceUninstall, TheDriverPackageLeavesItsDevicesAndWithItsInfTheStore) {
  BOOL reboot = 0x55;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(uninstall_driver_(nullptr, kInfPath.c_str(), 2, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_FALSE(uninstall_driver_(nullptr, L"C:\\Windows\\INF\\oem10.inf", 0, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  sim::PutFile(L"C:\\Temp\\oem9.inf", {1});
  EXPECT_FALSE(uninstall_driver_(nullptr, L"C:\\Temp\\oem9.inf", 0, &reboot))
      << "a copy outside the INF directory is no package of the store";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  DWORD error = 0;
  EXPECT_FALSE(AsStandardUser(
      [&] { return uninstall_driver_(nullptr, kInfPath.c_str(), 0, nullptr); }, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(reboot, 0x55) << "untouched by a failure";

  // Kept in the store: the device loses its driver, the INF stays.
  ASSERT_TRUE(uninstall_driver_(nullptr, kInfPath.c_str(), sim::kNoRemoveInf, &reboot))
      << "error " << GetLastError();
  EXPECT_EQ(reboot, FALSE);
  EXPECT_EQ(DriverInf(), L"");
  EXPECT_EQ(sim::DriverPackages(), std::vector<std::wstring>{L"oem9.inf"});
  EXPECT_TRUE(sim::FileExists(kInfPath));

  ASSERT_TRUE(uninstall_driver_(nullptr, kInfPath.c_str(), 0, nullptr))
      << "error " << GetLastError();
  EXPECT_TRUE(sim::DriverPackages().empty());
  EXPECT_FALSE(sim::FileExists(kInfPath));
  EXPECT_FALSE(uninstall_driver_(nullptr, kInfPath.c_str(), 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "gone";
}

TEST_F(SimDeviceUninstall, TheDeviceLeavesTheTreeAndItsPackageStays) {
  SP_DEVINFO_DATA element;
  HDEVINFO set = FirstPresentDevice(&element);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  BOOL reboot = 0x55;
  EXPECT_FALSE(uninstall_device_(nullptr, set, &element, 1, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  SP_DEVINFO_DATA stranger = element;
  stranger.Reserved = 0;
  EXPECT_FALSE(uninstall_device_(nullptr, set, &stranger, 0, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DWORD error = 0;
  EXPECT_FALSE(AsStandardUser([&] { return uninstall_device_(nullptr, set, &element, 0, nullptr); },
                              &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(uninstall_device_(nullptr, set, &element, 0, &reboot)) << "error " << GetLastError();
  EXPECT_EQ(reboot, FALSE);
  EXPECT_TRUE(sim::Devices().empty());
  EXPECT_EQ(sim::DriverPackages(), std::vector<std::wstring>{L"oem9.inf"});
  EXPECT_FALSE(uninstall_device_(nullptr, set, &element, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)) << "the element outlives it";
  SetupDiDestroyDeviceInfoList(set);
}

// A device whose driver cannot be stopped while the machine runs: the removal succeeds, asks
// for the restart through NeedReboot, and completes only at the next boot. Until then the device
// is present, as any lookup of present devices finds it.
TEST_F(SimDeviceUninstall, ARemovalThatWaitsForTheRestartLeavesTheDevicePresentUntilIt) {
  sim::Device held{kInstance, {L"SWC\\DPALCONF"}, {}, true, {}, L"oem9.inf"};
  held.removal_waits_for_restart = true;
  sim::AddDevice(held);
  const auto present = [] {
    SP_DEVINFO_DATA element;
    HDEVINFO set = FirstPresentDevice(&element);
    if (set == INVALID_HANDLE_VALUE) return false;
    SetupDiDestroyDeviceInfoList(set);
    return true;
  };
  SP_DEVINFO_DATA element;
  HDEVINFO set = FirstPresentDevice(&element);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  BOOL reboot = 0x55;
  ASSERT_TRUE(uninstall_device_(nullptr, set, &element, 0, &reboot)) << "error " << GetLastError();
  EXPECT_EQ(reboot, TRUE) << "the removal asks for a restart";
  EXPECT_TRUE(present()) << "the device stays present until the restart";
  reboot = 0x55;
  EXPECT_TRUE(uninstall_device_(nullptr, set, &element, 0, &reboot)) << "asked again";
  EXPECT_EQ(reboot, TRUE);
  SetupDiDestroyDeviceInfoList(set);
  ASSERT_EQ(sim::Devices().size(), 1u);
  EXPECT_TRUE(sim::Devices()[0].removal_pending);

  sim::Restart();
  EXPECT_FALSE(present()) << "the restart completed the removal";
  EXPECT_TRUE(sim::Devices().empty());
  EXPECT_EQ(sim::DriverPackages(), std::vector<std::wstring>{L"oem9.inf"}) << "the package stays";
}

TEST_F(SimDeviceUninstall, AMachineMayLackEitherFunction) {
  newdev_.reset();
  sim::SetDeviceUninstallExports(false, true);
  dpal::UniqueModule older = dpal::LoadSystemLibrary(L"newdev.dll");
  EXPECT_EQ(dpal::ExportOf<DiUninstallDriverFn>(older, "DiUninstallDriverW"), nullptr);
  EXPECT_NE(dpal::ExportOf<DiUninstallDeviceFn>(older, "DiUninstallDevice"), nullptr);
  sim::SetDeviceUninstallExports(true, false);
  EXPECT_NE(dpal::ExportOf<DiUninstallDriverFn>(older, "DiUninstallDriverW"), nullptr);
  EXPECT_EQ(dpal::ExportOf<DiUninstallDeviceFn>(older, "DiUninstallDevice"), nullptr);
}

#endif  // DPAL_SIM

}  // namespace
