// The device-removal routine on the real system (Wine), linked as the uninstaller links it: on a
// machine without the package's software device it answers true and calls nothing. Wine's
// DiUninstallDevice aborts the process and it has no DiUninstallDriverW, so a run that reached
// either would not get to its result; that newdev.dll is never even loaded shows that neither
// was resolved.
#include "loader/shared/device_lookup.h"
#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

class DeviceRemovalOnWine : public dpal::test::PlatformTest {};

TEST_F(DeviceRemovalOnWine, WithoutTheDeviceAnswersTrueAndCallsNothing) {
  {
    dpal::CSoftwareDeviceLookup lookup(dpal::kSoftwareDeviceHardwareId);
    ASSERT_FALSE(lookup.found()) << "this prefix must not hold the package's software device";
    lookup.ReleaseDeviceLookup();
  }
  ASSERT_EQ(GetModuleHandleW(L"newdev.dll"), nullptr) << "the program does not import newdev.dll";
  EXPECT_TRUE(dpal::uninstaller::RemoveDeviceAndDriverPackage());
  EXPECT_EQ(GetModuleHandleW(L"newdev.dll"), nullptr) << "newdev.dll was loaded";
}

}  // namespace
