// The call-site sweep's flows of the uninstaller: the device removal as an administrator and
// the final cleanup as LocalSystem, also with a user logged off and while the device and an
// owner remain.
#include "common/registry_layout.h"
#include "harness/registry_writer.h"
#include "tests/sweep/sweep.h"
#include "harness/installer.h"
#include "uninstaller/flow.h"

namespace dpal::test::sweep {

namespace {

namespace laptop = dpal::laptop;
namespace layout = dpal::layout;
namespace installer = dpal::installer;

// Where the final cleanup moves the image: the first numbered name in the account's temporary
// directory.
std::wstring RelocatedImage() {
  WCHAR directory[MAX_PATH] = {};
  if (GetTempPathW(MAX_PATH, directory) == 0) return L"";
  return std::wstring(directory) + L"ufn.000";
}

bool DeviceGone() {
  for (const sim::Device& device : sim::Devices()) {
    if (device.instance_id == laptop::kDeviceInstance) return false;
  }
  return true;
}

// Whether a call other than `function` failed in the run under way.
bool AnotherCallFailed(const std::string& function) {
  for (const std::string& failed : g_failed_functions) {
    if (failed != function) return true;
  }
  return false;
}

// What the device-removal run must leave, whatever failed: exit code 0; the device and the driver
// package each gone unless a call of its own step failed (a failed removal of the driver package
// does not keep the device, nor the other way round); and the rest of the package as it was.
void CheckDeviceRemoval(int code, const std::wstring& image) {
  EXPECT_EQ(code, 0);
  if (!DeviceGone()) {
    EXPECT_TRUE(AnotherCallFailed("DiUninstallDriverW")) << "the device stayed";
  }
  if (!sim::DriverPackages().empty()) {
    EXPECT_TRUE(AnotherCallFailed("DiUninstallDevice")) << "the driver package stayed";
  }
  EXPECT_TRUE(sim::ServiceExists(laptop::kServiceName)) << "the service is the final cleanup's";
  EXPECT_TRUE(sim::TaskExists(installer::kUninstallTask));
  EXPECT_TRUE(sim::FileExists(image)) << "the image stays where it is";
  EXPECT_FALSE(sim::FileExists(RelocatedImage()));
}

}  // namespace

// The uninstaller's runs, as the installed program: the exit code is 0 for a run that reached
// its end, whatever each step achieved.
std::vector<Flow> UninstallerFlows() {
  const std::wstring image = installer::kUninstallerImage;
  auto final_cleanup = [image] {
    NewLaptop();
    sim::RemoveDevice(laptop::kDeviceInstance);
    dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue, L"");
    AsLocalSystem(image, L" -checkremoval");
  };
  // The program's image is mapped while it runs, as Windows maps a running program: it can be
  // renamed, not deleted.
  auto run = [image] {
    sim::FileHold mapped = sim::HoldImageOpen(image);
    return dpal::uninstaller::RunUninstallerProcess();
  };
  std::vector<Flow> flows;
  flows.push_back(Flow{"uninstaller device removal (administrator)",
                       [image] {
                         NewLaptop();
                         AsAdministrator(image, L"");
                       },
                       run,
                       [image](int code, bool faulted) {
                         CheckDeviceRemoval(code, image);
                         if (!faulted) {
                           EXPECT_TRUE(DeviceGone());
                           EXPECT_TRUE(sim::DriverPackages().empty());
                         }
                       },
                       {ERROR_ACCESS_DENIED},
                       nullptr});
  flows.push_back(Flow{"uninstaller final cleanup (LocalSystem -checkremoval)", final_cleanup, run,
                       [image](int code, bool faulted) {
                         EXPECT_EQ(code, 0);
                         const bool moved = sim::FileExists(RelocatedImage());
                         EXPECT_FALSE(moved && sim::FileExists(image))
                             << "the image is in one place at most";
                         if (!faulted) {
                           EXPECT_TRUE(moved);
                           EXPECT_FALSE(sim::TaskExists(installer::kUninstallTask));
                         }
                       },
                       kRegistryErrors, nullptr});
  // With a user who is logged off, whose hive is in its file and holds the package's tree.
  flows.push_back(Flow{"uninstaller final cleanup (a user logged off)",
                       [final_cleanup] {
                         final_cleanup();
                         const std::wstring sid = L"S-1-5-21-1-2-3-1007";
                         sim::CreateUserProfile(sid, L"carol");
                         sim::LogOn(5, sid, L"carol");
                         dpal::test::PutDword(HKEY_USERS, sid + L"\\" + layout::kUserApplyStateKey,
                                              layout::kStateValue, 1);
                         sim::LogOff(5);
                         AsLocalSystem(installer::kUninstallerImage, L" -checkremoval");
                       },
                       run,
                       [image](int code, bool) {
                         EXPECT_EQ(code, 0);
                         EXPECT_NE(sim::FileExists(RelocatedImage()), sim::FileExists(image));
                         EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, L"S-1-5-21-1-2-3-1007"))
                             << "the user's hive goes back to its file";
                       },
                       kRegistryErrors, nullptr});
  flows.push_back(Flow{"uninstaller final cleanup while the device and an owner remain",
                       [image] {
                         NewLaptop();
                         AsLocalSystem(image, L" -checkremoval");
                       },
                       run,
                       [image](int code, bool) {
                         EXPECT_EQ(code, 0);
                         EXPECT_TRUE(sim::FileExists(image)) << "nothing is removed";
                         EXPECT_TRUE(sim::ServiceExists(laptop::kServiceName));
                       },
                       kRegistryErrors, nullptr});
  return flows;
}

}  // namespace dpal::test::sweep
