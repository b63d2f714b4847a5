// The fuzz targets' reset (sim::ResetUsed), which passes over the areas nothing used since the
// last reset: its machine must be the one a full reset gives, whatever the last input used, and
// a leak must still show until it. Sim only.
#include <string>

#include "platform/sim/kernel/reset_used.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::test::PlatformTest;

class ResetUsed : public PlatformTest {};

// Every area that the cheap reset may pass over, changed, and back as booted: the registry, the
// files, the identity, the Windows version and displays, the device tree, the colour state.
TEST_F(ResetUsed, PutsBackEveryAreaThatWasUsed) {
  const sim::Snapshot booted = sim::TakeSnapshot();
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\DPALResetUsed", L"Left", 1);
  sim::PutFile(L"C:\\Tools\\left.txt", {1, 2, 3});
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1-2-3-1003", L"carol"));
  sim::SetWindowsVersion({6, 3, 9600});
  sim::SetDisplays(sim::DesktopDisplays(2));
  sim::Device device;
  device.instance_id = L"SWD\\DPAL\\0001";
  sim::AddDevice(device);
  sim::InstallColourProfile(L"QXLCD_Panel_V3_S.icm");
  sim::SetDefaultColourProfile(L"", sim::kPanelDeviceKey, sim::kStandardDisplayColourMode, 1,
                               L"QXLCD_Panel_V3_S.icm");

  sim::ResetUsed();

  EXPECT_TRUE(sim::Difference(booted, sim::TakeSnapshot()).Empty())
      << sim::Difference(booted, sim::TakeSnapshot()).Describe();
  EXPECT_EQ(sim::ProcessIdentity().user_sid, sim::DefaultAdmin().user_sid);
  EXPECT_EQ(sim::CurrentWindowsVersion().build, 22631u);
  EXPECT_EQ(sim::Displays().paths.size(), sim::LaptopDisplays().paths.size());
}

// A loader reset forgets every library, those that the registry, the device tree and the colour
// system registered at their own reset too: they are registered again though nothing else used
// those areas.
TEST_F(ResetUsed, KeepsTheSystemLibrariesAfterTheLoadersReset) {
  HMODULE loaded = LoadLibraryExW(L"ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(loaded, nullptr);
  FreeLibrary(loaded);

  sim::ResetUsed();

  for (const auto& [library, function] :
       {std::pair<const wchar_t*, const char*>{L"ntdll.dll", "NtDeleteKey"},
        {L"newdev.dll", "DiUninstallDevice"},
        {L"mscms.dll", "WcsGetDefaultColorProfile"}}) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(module, nullptr) << "no library " << std::string(function);
    EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(module, function)), nullptr) << function;
    FreeLibrary(module);
  }
}

// What the last input leaked shows in the leak check until the reset, which releases it.
TEST_F(ResetUsed, ALeakShowsUntilTheReset) {
  HKEY leaked = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &leaked), ERROR_SUCCESS);
  EXPECT_EQ(sim::Leaks().Describe(), "1 open key handle(s); ");

  sim::ResetUsed();

  EXPECT_TRUE(sim::Leaks().Clean()) << sim::Leaks().Describe();
}

}  // namespace
