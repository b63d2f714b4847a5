// Bounded formatting, the handle owners, the registry layout and the profile file naming.
#include <string>
#include <thread>
#include <utility>

#include "common/format.h"
#include "common/handles.h"
#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "tests/support/platform_test.h"

#include "common/com.h"
#if !DPAL_SIM
// Owners of kinds the sim does not declare yet.
#include "common/module.h"
#endif

namespace {

class Common : public dpal::test::PlatformTest {};

TEST_F(Common, FormatFitsWithTerminatorAndFailsOneUnitShort) {
  WCHAR exact[6];
  EXPECT_TRUE(dpal::Format(exact, L"%s\\%s", L"ab", L"cd"));
  EXPECT_STREQ(exact, L"ab\\cd");

  WCHAR tight[5];
  tight[0] = L'x';
  EXPECT_FALSE(dpal::Format(tight, L"%s\\%s", L"ab", L"cd"));
  EXPECT_STREQ(tight, L"") << "a failed format leaves no truncated text behind";
}

TEST_F(Common, PathBufferTakes259UnitsAndRefuses260) {
  WCHAR path[dpal::kPathUnits];
  const std::wstring dir(255, L'd');
  EXPECT_TRUE(dpal::Format(path, L"%s\\%s", dir.c_str(), L"abc"));  // 259 units
  EXPECT_EQ(std::wstring(path).size(), 259u);
  EXPECT_FALSE(dpal::Format(path, L"%s\\%s", dir.c_str(), L"abcd"));  // 260 units
  EXPECT_STREQ(path, L"");
}

TEST_F(Common, CopyRefusesTextThatDoesNotFit) {
  WCHAR out[4];
  EXPECT_TRUE(dpal::Copy(out, L"abc"));
  EXPECT_STREQ(out, L"abc");
  EXPECT_FALSE(dpal::Copy(out, L"abcd"));
  EXPECT_STREQ(out, L"");
}

TEST_F(Common, OwnerClosesOnScopeExitAndMoveTransfers) {
  HANDLE raw = nullptr;
  {
    dpal::UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    raw = event.get();
    dpal::UniqueEvent moved(std::move(event));
    // The moved-from state is the point.
    EXPECT_FALSE(event.valid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved.get(), raw);
  }
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(raw)) << "the owner closed the handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Common, ReleaseDetachesAndResetKeepsTheLastError) {
  dpal::UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  HANDLE raw = event.release();
  EXPECT_FALSE(event.valid());
  ASSERT_NE(raw, nullptr);
  event.reset(raw);
  SetLastError(1234);
  event.reset();
  EXPECT_EQ(GetLastError(), 1234u) << "closing must not overwrite the caller's error";
}

TEST_F(Common, FileOwnerTreatsInvalidHandleValueAsNothing) {
  dpal::UniqueFile file;
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
  dpal::UniqueDeviceInfoSet set;
  EXPECT_FALSE(set.valid());
}

TEST_F(Common, KeyOwnerPutClosesThePreviousKey) {
  dpal::UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.Put(), nullptr),
            ERROR_SUCCESS);
  HKEY first = key.get();
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, KEY_READ, key.Put()),
            ERROR_SUCCESS);
  EXPECT_NE(key.get(), nullptr);
#if DPAL_SIM
  EXPECT_EQ(sim::OpenHandleCount("key"), 1) << "Put() closed " << first;
#else
  (void)first;
#endif
}

TEST_F(Common, LocalMemoryOwnerFrees) {
  {
    dpal::UniqueLocalMemory block(LocalAlloc(LPTR, 16));
    ASSERT_TRUE(block.valid());
  }
#if DPAL_SIM
  EXPECT_EQ(sim::Leaks().local_allocations, 0);
#endif
}

TEST_F(Common, KeyPathsAreBuiltFromTheServiceName) {
  namespace layout = dpal::layout;
  EXPECT_STREQ(layout::kServiceName, L"TarvexDPALLoader");
  EXPECT_STREQ(layout::kServiceKey, L"SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader");
  EXPECT_STREQ(layout::kInstallStateKey,
               L"SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader\\InstallState");
  EXPECT_STREQ(layout::kSettingsKey,
               L"SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader\\Settings\\DPAL");
  EXPECT_STREQ(layout::kCatalogueKey,
               L"SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader\\Settings\\DPAL\\Profiles");
  EXPECT_STREQ(layout::kMachineApplyStateKey,
               L"SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader\\Settings\\DPAL\\State");
}

TEST_F(Common, ProfileBaseNameStartsAtTheFirstMarker) {
  WCHAR base[dpal::kPathUnits];
  EXPECT_TRUE(dpal::ProfileFileBaseName(L"QXLCD_Panel_V3_S", base));
  EXPECT_STREQ(base, L"QXLCD_Panel_V3_S");
  EXPECT_TRUE(dpal::ProfileFileBaseName(L"X_QXLCD_A_V3_S", base));
  EXPECT_STREQ(base, L"QXLCD_A_V3_S") << "what precedes the marker is no part of the file";
  EXPECT_TRUE(dpal::ProfileFileBaseName(L"QXLCD_B_QXLCD_V1_H", base));
  EXPECT_STREQ(base, L"QXLCD_B_QXLCD_V1_H") << "a second marker stays in the name";

  for (const WCHAR* name : {L"qxlcd_lower_V3_S", L"QXLCD", L"Panel_V3_S", L""}) {
    base[0] = L'x';
    EXPECT_FALSE(dpal::ProfileFileBaseName(name, base)) << "no (case-sensitive) marker";
    EXPECT_STREQ(base, L"");
  }
  EXPECT_FALSE(dpal::ProfileFileBaseName(nullptr, base));
  const std::wstring too_long = L"QXLCD_" + std::wstring(254, L'n');  // 260 units with the NUL
  EXPECT_FALSE(dpal::ProfileFileBaseName(too_long.c_str(), base));
}

// The rule every name from a list that someone else writes must pass before it names a file.
TEST_F(Common, OnlyAPlainFileNameMayNameAProfileFile) {
  for (const WCHAR* name : {L"QXLCD_Panel_V3_S", L"QXLCD_Panel V3.S", L"a", L"...a", L"con1",
                            L"COM10", L"NULL", L"LPT", L"CONIN", L"QXLCD_NUL", L"x.NUL"}) {
    EXPECT_TRUE(dpal::IsPlainFileName(name)) << name;
  }
  // 255 units leave room for ".icm" and the terminator, 256 do not.
  EXPECT_TRUE(dpal::IsPlainFileName(std::wstring(255, L'n').c_str()));
  EXPECT_FALSE(dpal::IsPlainFileName(std::wstring(256, L'n').c_str()));

  const WCHAR* refused[] = {
      L"", L".", L"..", L"QXLCD_/../../../../Users/Public/victim", L"QXLCD_..\\..\\x",
      L"QXLCD_\\\\?\\C:\\victim", L"C:victim", L"QXLCD_:stream", L"QXLCD_a/b", L"QXLCD_a\\b",
      L"QXLCD_*", L"QXLCD_?", L"QXLCD_\"q\"", L"QXLCD_<", L"QXLCD_>", L"QXLCD_|", L"QXLCD_a.",
      L"QXLCD_a ", L"QXLCD_tab\tname", L"QXLCD_\x7f", L"QXLCD_\x1b[2J",
      // Device names stand for the device in any directory, with any extension and case.
      L"NUL", L"nul", L"Nul.icm", L"NUL .icm", L"CON", L"PRN", L"AUX", L"COM1", L"lpt9",
      L"COM\u00B9", L"CONIN$", L"conout$.x"};
  for (const WCHAR* name : refused) {
    EXPECT_FALSE(dpal::IsPlainFileName(name)) << name;
  }
  EXPECT_FALSE(dpal::IsPlainFileName(nullptr));

  // The naming of the package's files applies the rule to the part from the marker on.
  WCHAR base[dpal::kPathUnits];
  WCHAR file[dpal::kPathUnits];
  for (const WCHAR* entry :
       {L"QXLCD_/../../../../Users/Public/victim", L"x/QXLCD_a:b", L"QXLCD_NUL/..", L"QXLCD_.."}) {
    base[0] = L'x';
    file[0] = L'x';
    EXPECT_FALSE(dpal::ProfileFileBaseName(entry, base)) << entry;
    EXPECT_STREQ(base, L"");
    EXPECT_FALSE(dpal::ProfileFileName(entry, file)) << entry;
    EXPECT_STREQ(file, L"");
  }
  EXPECT_TRUE(dpal::ProfileFileName(L"../QXLCD_A", file)) << "what precedes the marker is dropped";
  EXPECT_STREQ(file, L"QXLCD_A.icm");
}

TEST_F(Common, ProfileFileIsTheBaseNameAndIcmInTheColourDirectory) {
  WCHAR file[dpal::kPathUnits];
  EXPECT_TRUE(dpal::ProfileFileName(L"X_QXLCD_A_V3_S", file));
  EXPECT_STREQ(file, L"QXLCD_A_V3_S.icm");
  file[0] = L'x';
  EXPECT_FALSE(dpal::ProfileFileName(L"Panel", file));
  EXPECT_STREQ(file, L"");

  WCHAR colour[dpal::kPathUnits];
  ASSERT_TRUE(dpal::ColourDirectoryBelow(L"C:\\Windows\\System32", colour));
  EXPECT_STREQ(colour, L"C:\\Windows\\System32\\spool\\drivers\\color");
  WCHAR path[dpal::kPathUnits];
  EXPECT_TRUE(dpal::ProfileFilePath(colour, L"X_QXLCD_A_V3_S", path));
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\spool\\drivers\\color\\QXLCD_A_V3_S.icm");

  // 251 units of directory, a backslash and "QXLCD_A.icm" (11) need 264 units.
  const std::wstring deep = L"C:\\" + std::wstring(248, L'd');
  EXPECT_FALSE(dpal::ProfileFilePath(deep.c_str(), L"QXLCD_A", path));
  EXPECT_STREQ(path, L"");
  EXPECT_FALSE(dpal::ProfileFilePath(colour, L"NoMarker", path));
  EXPECT_STREQ(path, L"");
  EXPECT_FALSE(dpal::ColourDirectoryBelow(nullptr, colour)) << "no system directory";
  EXPECT_STREQ(colour, L"");
}

TEST_F(Common, ColourDirectoryIsBelowTheSystemDirectory) {
  WCHAR colour[dpal::kPathUnits];
  ASSERT_TRUE(dpal::GetColourDirectory(colour));
#if DPAL_SIM
  EXPECT_EQ(std::wstring(colour), sim::SystemDirectory() + L"\\spool\\drivers\\color");
#else
  const std::wstring text = colour;
  const std::wstring tail = L"\\system32\\spool\\drivers\\color";
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(lstrcmpiW(text.c_str() + text.size() - tail.size(), tail.c_str()), 0)
      << "the colour directory ends in system32\\spool\\drivers\\color";
  EXPECT_NE(GetFileAttributesW(colour), INVALID_FILE_ATTRIBUTES) << "the directory exists";
#endif
}

#if DPAL_SIM

// Enables a privilege of the process token; false when the token lacks it.
bool EnablePrivilege(const wchar_t* name) {
  dpal::UniqueToken token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Put())) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  return LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

TEST_F(Common, MountedHiveIsUnloadedByItsOwner) {
  const std::wstring file = L"C:\\Windows\\Temp\\owner.hive";
  const wchar_t* const name = L"DPALTest.Owner";
  {
    dpal::UniqueKey tree;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Scratch().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, tree.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(EnablePrivilege(SE_BACKUP_NAME));
    ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME));
    ASSERT_EQ(RegSaveKeyW(tree.get(), file.c_str(), nullptr), ERROR_SUCCESS);
  }
  {
    dpal::MountedHive hive;
    ASSERT_EQ(hive.Mount(HKEY_USERS, name, file.c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(sim::IsHiveLoaded(HKEY_USERS, name));
    dpal::MountedHive moved(std::move(hive));
    EXPECT_FALSE(hive.mounted());  // NOLINT(bugprone-use-after-move)
    EXPECT_STREQ(moved.name(), name);
    EXPECT_EQ(moved.root(), HKEY_USERS);
  }
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, name));
  EXPECT_EQ(sim::CallCount("RegUnLoadKeyW"), 1u) << "unloaded once, by the owner holding it";

  {
    dpal::MountedHive hive;
    EXPECT_EQ(hive.Mount(HKEY_USERS, name, L"C:\\Windows\\Temp\\missing.hive"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(hive.mounted());
    EXPECT_STREQ(hive.name(), L"");
  }
  EXPECT_EQ(sim::CallCount("RegUnLoadKeyW"), 1u) << "a failed mount owns nothing";

  {
    dpal::MountedHive hive;
    ASSERT_EQ(hive.Mount(HKEY_USERS, name, file.c_str()), ERROR_SUCCESS);
    hive.release();
  }
  EXPECT_TRUE(sim::IsHiveLoaded(HKEY_USERS, name)) << "a released hive stays mounted";
  EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, name), ERROR_SUCCESS);
  DeleteFileW(file.c_str());
}

#else

TEST_F(Common, ModuleOwnerFreesTheModule) {
  // A system DLL that nothing in the test program loads by itself.
  const wchar_t* const dll = L"msimg32.dll";
  ASSERT_EQ(GetModuleHandleW(dll), nullptr) << "pick a DLL the test does not load otherwise";
  {
    dpal::UniqueModule module(LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(module.valid()) << GetLastError();
    EXPECT_EQ(GetModuleHandleW(dll), module.get());
  }
  EXPECT_EQ(GetModuleHandleW(dll), nullptr) << "the owner freed it";
}

#endif

TEST_F(Common, ComInitializationIsBalancedWhateverItAnswered) {
  // A thread of its own, whose apartment nothing else has touched.
  std::thread([] {
    {
      dpal::ComInitialization first;
      ASSERT_TRUE(first.Initialize(COINIT_APARTMENTTHREADED));
      EXPECT_EQ(first.result(), S_OK);
      {
        dpal::ComInitialization again;
        EXPECT_TRUE(again.Initialize(COINIT_APARTMENTTHREADED));
        EXPECT_EQ(again.result(), S_FALSE) << "already initialised: still counted";
        dpal::ComInitialization other_model;
        EXPECT_FALSE(other_model.Initialize(COINIT_MULTITHREADED));
        EXPECT_EQ(other_model.result(), RPC_E_CHANGED_MODE) << "not counted";
      }
      // Had the refused one been balanced too, the first initialisation would be undone now.
      const HRESULT probe = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      EXPECT_EQ(probe, RPC_E_CHANGED_MODE) << "the thread is still in its apartment";
      if (SUCCEEDED(probe)) CoUninitialize();
    }
    // Had the S_FALSE one not been balanced, the thread would still be in its apartment.
    const HRESULT fresh = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(fresh, S_OK) << "every initialisation was undone";
    if (SUCCEEDED(fresh)) CoUninitialize();
  }).join();
}

TEST_F(Common, BstrOwnerHoldsAndReleases) {
  dpal::UniqueBstr text(SysAllocString(L"profile"));
  ASSERT_TRUE(text.valid());
  EXPECT_EQ(SysStringLen(text.get()), 7u);
  BSTR detached = text.release();
  EXPECT_FALSE(text.valid());
  *text.Put() = detached;  // an API's out parameter, handing the string back
  EXPECT_EQ(text.get(), detached);
}

}  // namespace
