// The uninstaller's image moving itself out of the install directory: the first free numbered
// name in the account's temporary directory, one attempt only, and the deletion at the restart.
#include <string>
#include <vector>

#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/flow.h"

namespace {

using dpal::uninstaller::RelocateSelf;

constexpr const wchar_t* kImage = L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe";
constexpr const wchar_t* kSystemTemp = L"C:\\Windows\\Temp\\";
constexpr const wchar_t* kPendingKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring Numbered(const std::wstring& dir, int n) {
  wchar_t suffix[8];
  std::swprintf(suffix, 8, L"%03d", n);
  return dir + L"ufn." + suffix;
}

// The restart's list of file operations, as one text with its NULs; empty when there is none.
std::wstring PendingOperations() {
  WCHAR data[1024] = {};
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kPendingKey, L"PendingFileRenameOperations",
                   RRF_RT_REG_MULTI_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return L"";
  }
  return std::wstring(data, size / sizeof(WCHAR));
}

void ClearPendingOperations() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPendingKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueW(key, L"PendingFileRenameOperations");
  RegCloseKey(key);
}

std::wstring DeletionOf(const std::wstring& path) {
  return L"\\??\\" + path + L'\0' + L'\0' + L'\0';
}

class RelocateSelfTest : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::PutFile(kImage, sim::ProgramBytes("uninstaller"));
  }

  // Runs RelocateSelf in the uninstaller's own process (its image mapped while it runs).
  static void RunRelocation(const sim::Identity& identity) {
    EXPECT_EQ(sim::RunProcess(identity, identity.command_line,
                              [] {
                                RelocateSelf();
                                return 0;
                              }),
              0);
  }

  static sim::Identity Administrator(const std::wstring& name) {
    sim::Identity identity = sim::DefaultAdmin();
    identity.user_name = name;
    identity.image_path = kImage;
    identity.command_line = kImage;
    return identity;
  }
};

TEST_F(RelocateSelfTest, TakesTheFirstFreeNameAndTheRestartDeletesIt) {
  for (int n = 0; n < 5; ++n) sim::PutFile(Numbered(kSystemTemp, n), {'x'});
  std::vector<uint8_t> moved;
  bool deletable = true;
  EXPECT_EQ(sim::RunProcess(sim::LocalSystem(kImage), kImage,
                            [&] {
                              RelocateSelf();
                              // Still the running image under its new name: it cannot go before the
                              // process ends.
                              deletable = DeleteFileW(Numbered(kSystemTemp, 5).c_str()) != FALSE;
                              return 0;
                            }),
            0);
  EXPECT_FALSE(deletable);
  EXPECT_FALSE(sim::FileExists(kImage)) << "the image left the install directory";
  ASSERT_TRUE(sim::GetFile(Numbered(kSystemTemp, 5), &moved)) << "ufn.005, after five taken";
  EXPECT_EQ(moved, sim::ProgramBytes("uninstaller"));
  EXPECT_EQ(PendingOperations(), DeletionOf(Numbered(kSystemTemp, 5)));

  sim::Restart();
  EXPECT_FALSE(sim::FileExists(Numbered(kSystemTemp, 5))) << "deleted at the restart";
  for (int n = 0; n < 5; ++n) EXPECT_TRUE(sim::FileExists(Numbered(kSystemTemp, n))) << n;
  EXPECT_TRUE(sim::DirectoryExists(L"C:\\Program Files\\Tarvex\\DPAL"))
      << "the directory the image left is not removed";
}

TEST_F(RelocateSelfTest, UsesTheTemporaryDirectoryOfTheAccount) {
  sim::MakeDirectory(L"C:\\Users\\bob\\AppData\\Local\\Temp");
  RunRelocation(Administrator(L"bob"));
  EXPECT_TRUE(sim::FileExists(L"C:\\Users\\bob\\AppData\\Local\\Temp\\ufn.000"));
  EXPECT_FALSE(sim::FileExists(Numbered(kSystemTemp, 0)));
}

TEST_F(RelocateSelfTest, EveryNameTakenMovesNothing) {
  // A directory of the name counts as taken as well as a file.
  sim::MakeDirectory(Numbered(kSystemTemp, 0));
  for (int n = 1; n < 1000; ++n) sim::PutFile(Numbered(kSystemTemp, n), {'x'});
  RunRelocation(sim::LocalSystem(kImage));
  EXPECT_TRUE(sim::FileExists(kImage));
  EXPECT_EQ(sim::CallCount("PathFileExistsW"), 1000u);
  EXPECT_EQ(sim::CallCount("MoveFileExW"), 0u);
  EXPECT_EQ(PendingOperations(), L"");
}

// The temporary directory on another volume: the rename fails, and the next number is not tried
// (it would fail alike), so the image stays and nothing is registered.
TEST_F(RelocateSelfTest, AFailedMoveIsNotTriedAgain) {
  sim::SetWindowsDirectory(L"D:\\Windows");
  sim::MakeDirectory(L"D:\\Windows\\Temp");
  RunRelocation(sim::LocalSystem(kImage));
  EXPECT_EQ(sim::CallCount("MoveFileExW"), 1u);
  EXPECT_TRUE(sim::FileExists(kImage));
  EXPECT_FALSE(sim::FileExists(L"D:\\Windows\\Temp\\ufn.000"));
  EXPECT_EQ(PendingOperations(), L"");
}

// A temporary directory near the path limit ("C:\Users\<name>\AppData\Local\Temp\" is 29 units
// and the name): past it, at the base name, or at the numbered names, nothing is moved, and no
// truncated name is ever tried.
TEST_F(RelocateSelfTest, PathsPastTheLimitMoveNothing) {
  const struct {
    size_t name_length;
    const char* what;
  } cases[] = {
      {231, "the temporary directory needs 261 units"},
      {229, "the base name needs 261 units"},
      {225, "every numbered name needs 261 units"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ClearTrace();
    RunRelocation(Administrator(std::wstring(c.name_length, L'b')));
    EXPECT_TRUE(sim::FileExists(kImage));
    EXPECT_EQ(sim::CallCount("PathFileExistsW"), 0u);
    EXPECT_EQ(sim::CallCount("MoveFileExW"), 0u);
  }
  // One unit shorter than the last case, and the names fit.
  sim::MakeDirectory(L"C:\\Users\\" + std::wstring(223, L'b') + L"\\AppData\\Local\\Temp");
  RunRelocation(Administrator(std::wstring(223, L'b')));
  EXPECT_FALSE(sim::FileExists(kImage));
}

// Any platform call failing: the image is in exactly one place, its install directory or the
// first free name, and a deletion is registered only for a moved image.
TEST_F(RelocateSelfTest, FaultSweep) {
  sim::PutFile(Numbered(kSystemTemp, 0), {'x'});
  const std::wstring target = Numbered(kSystemTemp, 1);
  sim::SetProcessIdentity(sim::LocalSystem(kImage));
  const uint64_t calls = dpal::test::SweepFaults(
      [] {
        RelocateSelf();
        return 0;
      },
      [&](int, uint64_t n, bool faulted) {
        SCOPED_TRACE(::testing::Message() << "call " << n << " failing");
        const bool moved = sim::FileExists(target);
        EXPECT_NE(moved, sim::FileExists(kImage)) << "the image is in exactly one place";
        EXPECT_TRUE(sim::FileExists(Numbered(kSystemTemp, 0)));
        if (!moved) {
          EXPECT_EQ(PendingOperations(), L"");
        }
        if (!faulted) {
          EXPECT_TRUE(moved);
          EXPECT_EQ(PendingOperations(), DeletionOf(target));
        }
        // The next run starts from the same machine (no fault is armed here).
        ClearPendingOperations();
        if (moved) sim::RemoveFile(target);
        sim::PutFile(kImage, sim::ProgramBytes("uninstaller"));
      });
  EXPECT_GE(calls, 6u) << "image path, temporary directory, base name, two names, move";
}

}  // namespace
