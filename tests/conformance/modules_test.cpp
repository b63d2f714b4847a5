// Loading a library of the system directory, looking up its exports by name and by ordinal, and
// freeing it. mscms.dll (the colour system) is the library the package loads this way.
#include <optional>
#include <string>

#include "common/module.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::PlatformTest;

using dpal::test::kSentinel;

class Modules : public PlatformTest {};

TEST_F(Modules, SystemLibraryLoadsOnceAndIsCountedUntilFreed) {
  HMODULE first = LoadLibraryExW(L"mscms.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(first, nullptr) << GetLastError();
  HMODULE second = LoadLibraryExW(L"MSCMS", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  EXPECT_EQ(second, first) << "the same library, its name without extension and in any case";
#if DPAL_SIM
  EXPECT_EQ(sim::Leaks().open_handles["module"], 2) << "each load is held until freed";
#endif
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_TRUE(FreeLibrary(first));
#if DPAL_SIM
  EXPECT_EQ(sim::Leaks().open_handles["module"], 0);
  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(first)) << "freed as often as loaded";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
#endif
}

TEST_F(Modules, MissingLibraryIsNotFound) {
  SetLastError(kSentinel);
  EXPECT_EQ(LoadLibraryExW(L"nosuchlibrary.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Modules, ExportsByNameAndMissingOnes) {
  const dpal::UniqueModule mscms = dpal::LoadSystemLibrary(L"mscms.dll");
  ASSERT_TRUE(mscms);
  EXPECT_NE(GetProcAddress(mscms.get(), "GetColorDirectoryW"), nullptr);
  EXPECT_NE(GetProcAddress(mscms.get(), "WcsGetDefaultColorProfileSize"), nullptr);
  EXPECT_NE(GetProcAddress(mscms.get(), "UninstallColorProfileW"), nullptr);
  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(mscms.get(), "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // Names are case-sensitive.
  EXPECT_EQ(GetProcAddress(mscms.get(), "getcolordirectoryw"), nullptr);
}

// The signature check's libraries, loaded at run time by the service: each function it resolves.
TEST_F(Modules, TrustLibrariesExportTheSignatureCheck) {
  const dpal::UniqueModule wintrust = dpal::LoadSystemLibrary(L"wintrust.dll");
  const dpal::UniqueModule crypt32 = dpal::LoadSystemLibrary(L"crypt32.dll");
  ASSERT_TRUE(wintrust) << GetLastError();
  ASSERT_TRUE(crypt32) << GetLastError();
  for (const char* name :
       {"WinVerifyTrust", "WTHelperProvDataFromStateData", "WTHelperGetProvSignerFromChain"}) {
    EXPECT_NE(GetProcAddress(wintrust.get(), name), nullptr) << name;
  }
  for (const char* name : {"CertVerifyCertificateChainPolicy", "CertCompareCertificate"}) {
    EXPECT_NE(GetProcAddress(crypt32.get(), name), nullptr) << name;
  }
  EXPECT_EQ(GetProcAddress(wintrust.get(), "CertCompareCertificate"), nullptr)
      << "each function from its own library";
}

TEST_F(Modules, DisplayAssociationRemovalByNameAndByOrdinal) {
  const dpal::UniqueModule mscms = dpal::LoadSystemLibrary(L"mscms.dll");
  ASSERT_TRUE(mscms);
  const FARPROC by_name = GetProcAddress(mscms.get(), "ColorProfileRemoveDisplayAssociation");
  const FARPROC by_ordinal = GetProcAddress(mscms.get(), MAKEINTRESOURCEA(231));
  // A Windows 10 colour system: the function has both. Wine gap (8.0): mscms.dll has neither
  // the name nor ordinal 231.
  DPAL_TODO_WINE {
    EXPECT_NE(by_name, nullptr);
    EXPECT_EQ(by_ordinal, by_name);
  }
}

// A library of a system library's name planted beside the program: the standard search finds it
// first; a search of the system directory, named in the call or made the process's default,
// never does.
class PlantedLibrary : public PlatformTest {
 protected:
  static constexpr const wchar_t* kName = L"newdev.dll";

  void SetUp() override {
    PlatformTest::SetUp();
    WCHAR image[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, image, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH) << GetLastError();
    const std::wstring program(image, length);
    beside_ = program.substr(0, program.rfind(L'\\')) + L"\\" + kName;
#if DPAL_SIM
    sim::RegisterModule(beside_, {{ "PlantedMarker", 0, reinterpret_cast<void (*)()>(&Marker) }});
#else
    // Wine prefers its own DLL of a system name to a file found by the search; Windows has no
    // such preference, and the prefix is told to have none either while the test runs.
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, L"newdev", REG_SZ, L"native,builtin",
                              sizeof(L"native,builtin")),
              ERROR_SUCCESS);
    const std::wstring built =
        program.substr(0, program.rfind(L'\\')) + L"\\planted\\planted_library.dll";
    ASSERT_TRUE(CopyFileW(built.c_str(), beside_.c_str(), FALSE)) << GetLastError();
#endif
  }

  void TearDown() override {
#if !DPAL_SIM
    DeleteFileW(beside_.c_str());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverrides, L"newdev");
    // What the standard search is closest to, for the tests after this one in the process.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
#endif
    PlatformTest::TearDown();
  }

  // Loads the library by name with these flags: whether the planted copy was the one loaded
  // (nullopt: nothing loaded).
  static std::optional<bool> LoadsThePlantedCopy(DWORD flags) {
    const dpal::UniqueModule module(LoadLibraryExW(kName, nullptr, flags));
    if (!module) return std::nullopt;
    return GetProcAddress(module.get(), "PlantedMarker") != nullptr;
  }

  static int Marker() { return 1; }

  static constexpr const wchar_t* kOverrides = L"Software\\Wine\\DllOverrides";
  std::wstring beside_;
};

TEST_F(PlantedLibrary, OnlyTheStandardSearchFindsACopyBesideTheProgram) {
  EXPECT_EQ(LoadsThePlantedCopy(0), true) << "the program's directory comes first";
  EXPECT_EQ(LoadsThePlantedCopy(LOAD_LIBRARY_SEARCH_SYSTEM32), false);
  SetLastError(kSentinel);
  EXPECT_FALSE(SetDefaultDllDirectories(0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LoadsThePlantedCopy(0), true) << "a failed call changes nothing";
  ASSERT_TRUE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) << GetLastError();
  EXPECT_EQ(LoadsThePlantedCopy(0), false) << "the default is the system directory now";
  EXPECT_EQ(LoadsThePlantedCopy(LOAD_LIBRARY_SEARCH_APPLICATION_DIR), true)
      << "a search that names the program's directory still finds it";
}

#if DPAL_SIM

TEST_F(Modules, OrdinalAndNameFollowTheMachine) {
  sim::SetAssociationRemovalExports(/*by_name=*/false, /*at_ordinal=*/true);
  {
    const dpal::UniqueModule mscms = dpal::LoadSystemLibrary(L"mscms.dll");
    EXPECT_EQ(GetProcAddress(mscms.get(), "ColorProfileRemoveDisplayAssociation"), nullptr);
    EXPECT_NE(GetProcAddress(mscms.get(), MAKEINTRESOURCEA(231)), nullptr);
  }
  sim::SetAssociationRemovalExports(/*by_name=*/true, /*at_ordinal=*/false);
  {
    const dpal::UniqueModule mscms = dpal::LoadSystemLibrary(L"mscms.dll");
    EXPECT_NE(GetProcAddress(mscms.get(), "ColorProfileRemoveDisplayAssociation"), nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(mscms.get(), MAKEINTRESOURCEA(231)), nullptr);
  }
}

TEST_F(Modules, ExportsOfALibraryNotLoadedAreNotFound) {
  HMODULE module = LoadLibraryExW(L"mscms.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_TRUE(FreeLibrary(module));
  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(module, "GetColorDirectoryW"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

#endif  // DPAL_SIM

}  // namespace
