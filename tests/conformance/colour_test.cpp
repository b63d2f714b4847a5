// The colour system of mscms.dll, loaded from the system directory as the package loads it: the
// colour directory, the default profile of a device, uninstalling a profile. Wine implements
// little of it; where it differs the Wine result is recorded under !DPAL_SIM. No test of the
// windows build reaches WcsGetDefaultColorProfile or WcsSetDefaultColorProfile: Wine's are stubs
// that end the process.
#include <string>
#include <vector>

#include "common/module.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::PlatformTest;

using dpal::test::kSentinel;
constexpr DWORD kStandardMode = 7;  // the SDK headers stop the subtypes at 6

using GetColorDirectoryFn = decltype(&GetColorDirectoryW);
using UninstallFn = decltype(&UninstallColorProfileW);
using GetSizeFn = decltype(&WcsGetDefaultColorProfileSize);

class Colour : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    mscms_ = dpal::LoadSystemLibrary(L"mscms.dll");
    ASSERT_TRUE(mscms_) << GetLastError();
    get_directory_ = dpal::ExportOf<GetColorDirectoryFn>(mscms_, "GetColorDirectoryW");
    uninstall_ = dpal::ExportOf<UninstallFn>(mscms_, "UninstallColorProfileW");
    get_size_ = dpal::ExportOf<GetSizeFn>(mscms_, "WcsGetDefaultColorProfileSize");
    ASSERT_NE(get_directory_, nullptr);
    ASSERT_NE(uninstall_, nullptr);
    ASSERT_NE(get_size_, nullptr);
  }
  void TearDown() override {
    mscms_.reset();
    PlatformTest::TearDown();
  }

  std::wstring Directory() {
    WCHAR buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer);
    if (!get_directory_(nullptr, buffer, &size)) return L"";
    return buffer;
  }

  // A profile file of this test in the colour directory.
  std::wstring PutProfile(const std::wstring& name) {
    const std::wstring path = Directory() + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      const char bytes[] = "acsp";
      DWORD written = 0;
      WriteFile(file, bytes, sizeof(bytes), &written, nullptr);
      CloseHandle(file);
    }
    return path;
  }

  static bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  dpal::UniqueModule mscms_;
  GetColorDirectoryFn get_directory_ = nullptr;
  UninstallFn uninstall_ = nullptr;
  GetSizeFn get_size_ = nullptr;
};

TEST_F(Colour, DirectoryIsTheSystemDirectorysColourFolder) {
  DWORD size = 0;
  EXPECT_FALSE(get_directory_(nullptr, nullptr, &size)) << "a size query";
  EXPECT_GT(size, 0u);
  WCHAR small[2] = {L'?', L'?'};
  DWORD small_size = sizeof(small);
  EXPECT_FALSE(get_directory_(nullptr, small, &small_size));
  WCHAR system[MAX_PATH] = {};
  ASSERT_TRUE(
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system)));
  const std::wstring expected = std::wstring(system) + L"\\spool\\drivers\\color";
  EXPECT_EQ(lstrcmpiW(Directory().c_str(), expected.c_str()), 0) << Directory();
#if DPAL_SIM
  EXPECT_EQ(size, (expected.size() + 1) * sizeof(WCHAR)) << "bytes, the terminator included";
#endif
}

TEST_F(Colour, DefaultProfileSizeOfTheMonitor) {
  DISPLAY_DEVICEW adapter = {};
  adapter.cb = sizeof(adapter);
  ASSERT_TRUE(EnumDisplayDevicesW(nullptr, 0, &adapter, 0));
  DISPLAY_DEVICEW monitor = {};
  monitor.cb = sizeof(monitor);
  ASSERT_TRUE(EnumDisplayDevicesW(adapter.DeviceName, 0, &monitor, 0));
  DWORD size = kSentinel;
  SetLastError(kSentinel);
  const BOOL ok = get_size_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, monitor.DeviceKey, CPT_ICC,
                            static_cast<COLORPROFILESUBTYPE>(kStandardMode), 1, &size);
#if DPAL_SIM
  // No default is set on the fresh machine: the standard profile is the default.
  EXPECT_TRUE(ok) << GetLastError();
  EXPECT_EQ(size, (std::wstring(sim::kStandardColourProfile).size() + 1) * sizeof(WCHAR));
  sim::InstallColourProfile(L"panel.icm");
  sim::SetDefaultColourProfile(L"", monitor.DeviceKey, kStandardMode, 1, L"panel.icm");
  EXPECT_TRUE(get_size_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, monitor.DeviceKey, CPT_ICC,
                        static_cast<COLORPROFILESUBTYPE>(kStandardMode), 1, &size));
  EXPECT_EQ(size, 10 * sizeof(WCHAR)) << "bytes, the terminator included";
#else
  // Wine gap (8.0): the size query is not implemented, whatever the scope and device.
  EXPECT_FALSE(ok) << "Wine now answers default profile sizes";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(
      get_size_(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, nullptr, CPT_ICC, CPST_NONE, 0, &size));
#endif
}

TEST_F(Colour, UninstallByFullPathDeletesTheFileWhenAsked) {
  const std::wstring kept = PutProfile(L"DPALTest_Kept.icm");
  const std::wstring gone = PutProfile(L"DPALTest_Gone.icm");
  EXPECT_TRUE(uninstall_(nullptr, kept.c_str(), FALSE)) << GetLastError();
  EXPECT_TRUE(Exists(kept)) << "uninstalled, the file stays";
  EXPECT_TRUE(uninstall_(nullptr, gone.c_str(), TRUE)) << GetLastError();
  EXPECT_FALSE(Exists(gone));
  DeleteFileW(kept.c_str());
  EXPECT_FALSE(uninstall_(nullptr, gone.c_str(), TRUE)) << "it is gone";
}

TEST_F(Colour, UninstallByBareNameLooksInTheColourDirectory) {
  const std::wstring path = PutProfile(L"DPALTest_Bare.icm");
  const BOOL ok = uninstall_(nullptr, L"DPALTest_Bare.icm", TRUE);
  // Wine gap (8.0): a bare name is looked for in the current directory.
  DPAL_TODO_WINE {
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_FALSE(Exists(path));
  }
  if (Exists(path)) DeleteFileW(path.c_str());
}

#if DPAL_SIM

// ----- What only the sim can show: defaults, scopes and association lists --------------------

using GetFn = decltype(&WcsGetDefaultColorProfile);
using SetFn = decltype(&WcsSetDefaultColorProfile);
using RemoveFn = HRESULT(WINAPI*)(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR, LUID, UINT32, BOOL);

class SimColour : public Colour {
 protected:
  void SetUp() override {
    Colour::SetUp();
    get_ = dpal::ExportOf<GetFn>(mscms_, "WcsGetDefaultColorProfile");
    set_ = dpal::ExportOf<SetFn>(mscms_, "WcsSetDefaultColorProfile");
    remove_ = dpal::ExportOf<RemoveFn>(mscms_, sim::kAssociationRemovalName);
    ASSERT_TRUE(get_ && set_ && remove_);
    sim::InstallColourProfile(L"a.icm");
    sim::InstallColourProfile(L"b.icm");
  }

  std::wstring Read(WCS_PROFILE_MANAGEMENT_SCOPE scope, DWORD subtype = kStandardMode) {
    DWORD size = 0;
    if (!get_size_(scope, sim::kPanelDeviceKey, CPT_ICC, static_cast<COLORPROFILESUBTYPE>(subtype),
                   1, &size)) {
      return L"(none)";
    }
    std::vector<WCHAR> name(size / sizeof(WCHAR));
    if (!get_(scope, sim::kPanelDeviceKey, CPT_ICC, static_cast<COLORPROFILESUBTYPE>(subtype), 1,
              size, name.data())) {
      return L"(failed)";
    }
    return name.data();
  }

  BOOL Set(WCS_PROFILE_MANAGEMENT_SCOPE scope, const wchar_t* name, DWORD subtype = kStandardMode) {
    return set_(scope, sim::kPanelDeviceKey, CPT_ICC, static_cast<COLORPROFILESUBTYPE>(subtype), 1,
                name);
  }

  GetFn get_ = nullptr;
  SetFn set_ = nullptr;
  RemoveFn remove_ = nullptr;
  const std::wstring admin_ = sim::DefaultAdmin().user_sid;
};

TEST_F(SimColour, UserWithoutADefaultReadsTheMachines) {
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER), L"a.icm");
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"b.icm"));
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER), L"b.icm");
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE), L"a.icm");
  EXPECT_EQ(sim::DefaultColourProfile(admin_, sim::kPanelDeviceKey, kStandardMode), L"b.icm");
  // Dropping the user's default (a null name) gives the machine's again.
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, nullptr));
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER), L"a.icm");
  // Subtypes are separate defaults; one never set is the standard profile.
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, 8), sim::kStandardColourProfile);
}

TEST_F(SimColour, ReadIntoABufferTooSmallFails) {
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  WCHAR name[8] = {L'?'};
  SetLastError(kSentinel);
  EXPECT_FALSE(get_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, sim::kPanelDeviceKey, CPT_ICC,
                    static_cast<COLORPROFILESUBTYPE>(kStandardMode), 1, 6 * sizeof(WCHAR) - 1,
                    name));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(name[0], L'?');
}

TEST_F(SimColour, SettingNeedsAnInstalledProfileAndForTheMachineAnAdministrator) {
  SetLastError(kSentinel);
  EXPECT_FALSE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"missing.icm"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1-2-3-1001", L"alice"));
  SetLastError(kSentinel);
  EXPECT_FALSE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm")) << "the user's own scope";
  EXPECT_EQ(sim::DefaultColourProfile(L"S-1-5-21-1-2-3-1001", sim::kPanelDeviceKey, kStandardMode),
            L"a.icm");
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kPanelDeviceKey, kStandardMode), L"");
}

TEST_F(SimColour, SettingAssociatesTheProfileLastWithTheDisplayOfItsMode) {
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"b.icm"));
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  EXPECT_EQ(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, false),
            (std::vector<std::wstring>{L"b.icm", L"a.icm"}));
  EXPECT_TRUE(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, true).empty());
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"b.icm", 8));
  EXPECT_EQ(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, true),
            (std::vector<std::wstring>{L"b.icm"}));
}

TEST_F(SimColour, RemovingTheDefaultsAssociationFallsBackToTheOneBefore) {
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"b.icm"));
  EXPECT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"b.icm", sim::kLaptopGpu, 0, FALSE),
            S_OK);
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE), L"a.icm");
  EXPECT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm", sim::kLaptopGpu, 0, FALSE),
            S_OK);
  EXPECT_EQ(Read(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE), sim::kStandardColourProfile)
      << "with nothing associated, the standard profile";
  EXPECT_LT(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm", sim::kLaptopGpu, 0, FALSE),
            0)
      << "no longer associated";
  EXPECT_LT(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm", LUID{}, 0, FALSE), 0)
      << "no display has a zero adapter LUID";
}

TEST_F(SimColour, RemovalWorksInTheListAndScopeItIsGiven) {
  sim::SetColourAssociations(admin_, sim::kLaptopGpu, 0, true, {L"a.icm"});
  sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, true, {L"a.icm"});
  EXPECT_LT(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm", sim::kLaptopGpu, 0, FALSE),
            0)
      << "not in the standard list";
  EXPECT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm", sim::kLaptopGpu, 0, TRUE),
            S_OK);
  EXPECT_TRUE(sim::ColourAssociations(admin_, sim::kLaptopGpu, 0, true).empty());
  EXPECT_EQ(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, true).size(), 1u);
}

TEST_F(SimColour, CrossAdapterDisplayIsNamedByItsTargetAdapter) {
  sim::LaptopDisplayOptions options;
  options.hybrid = true;
  sim::SetDisplays(sim::LaptopDisplays(options));
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm"));
  EXPECT_EQ(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, false),
            std::vector<std::wstring>{L"a.icm"});
  EXPECT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm", sim::kLaptopDiscreteGpu, 0,
                    FALSE),
            E_INVALIDARG)
      << "the source's adapter names no display";
  EXPECT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, L"a.icm", sim::kLaptopGpu, 0, FALSE),
            S_OK);
  EXPECT_TRUE(sim::ColourAssociations(L"", sim::kLaptopGpu, 0, false).empty());
}

TEST_F(SimColour, ProfileInUseCannotBeUninstalled) {
  // Wine has no display association functions, so this is the sim's alone.
  ASSERT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm", 8));
  SetLastError(kSentinel);
  EXPECT_FALSE(uninstall_(nullptr, L"a.icm", TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  EXPECT_FALSE(uninstall_(nullptr, L"a.icm", FALSE)) << "deleting the file or not";
  EXPECT_TRUE(sim::ColourProfileInstalled(L"a.icm"));
  ASSERT_EQ(remove_(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm", sim::kLaptopGpu, 0, TRUE),
            S_OK);
  EXPECT_TRUE(uninstall_(nullptr, L"a.icm", TRUE)) << GetLastError();
  EXPECT_FALSE(sim::ColourProfileInstalled(L"a.icm"));
}

TEST_F(SimColour, ImpersonationChangesTheUserScope) {
  sim::LogOn(2, L"S-1-5-21-1-2-3-1002", L"bob");
  sim::SetProcessIdentity(sim::LocalSystem());
  sim::SetConsoleSession(2);
  HANDLE token = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(2, &token));
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  EXPECT_TRUE(Set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, L"a.icm"));
  RevertToSelf();
  CloseHandle(token);
  EXPECT_EQ(sim::DefaultColourProfile(L"S-1-5-21-1-2-3-1002", sim::kPanelDeviceKey, kStandardMode),
            L"a.icm");
  EXPECT_EQ(sim::DefaultColourProfile(sim::kLocalSystemSid, sim::kPanelDeviceKey, kStandardMode),
            L"");
}

TEST_F(SimColour, UninstallNeedsAnAdministratorAndRespectsOpenFiles) {
  const std::wstring path = sim::ColourDirectory() + L"\\a.icm";
  HANDLE open = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  SetLastError(kSentinel);
  EXPECT_FALSE(uninstall_(nullptr, L"a.icm", TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(open);
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1-2-3-1001", L"alice"));
  SetLastError(kSentinel);
  EXPECT_FALSE(uninstall_(nullptr, L"a.icm", TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::ColourProfileInstalled(L"a.icm"));
}

#endif  // DPAL_SIM

}  // namespace
