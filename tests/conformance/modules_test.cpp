// Loading a library of the system directory, looking up its exports by name and by ordinal, and
// freeing it. mscms.dll (the colour system) is the library the package loads this way.
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

#if DPAL_SIM

TEST_F(Modules, SystemSearchPassesOverACopyPlantedBesideTheProgram) {
  static int planted_calls = 0;
  struct Planted {
    static BOOL WINAPI GetColorDirectoryW(PCWSTR, PWSTR, PDWORD) {
      ++planted_calls;
      return TRUE;
    }
  };
  const std::wstring beside = L"C:\\Tools\\mscms.dll";  // the default identity's image directory
  sim::RegisterModule(beside, {{"GetColorDirectoryW", 0,
                                reinterpret_cast<void (*)()>(&Planted::GetColorDirectoryW)}});
  {
    const dpal::UniqueModule system = dpal::LoadSystemLibrary(L"mscms.dll");
    ASSERT_TRUE(system);
    EXPECT_EQ(sim::ModuleLoadCount(beside), 0);
    EXPECT_EQ(sim::ModuleLoadCount(sim::SystemDirectory() + L"\\mscms.dll"), 1);
  }
  // The standard search looks in the program's directory first.
  HMODULE found = LoadLibraryExW(L"mscms.dll", nullptr, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(sim::ModuleLoadCount(beside), 1);
  FreeLibrary(found);
}

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
