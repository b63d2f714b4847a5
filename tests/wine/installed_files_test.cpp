// The file step on Wine: the installed uninstaller and its directory under the prefix's Program
// Files are deleted, the maker's directory stays.
#include <string>

#include "tests/support/platform_test.h"
#include "uninstaller/routines.h"

namespace {

class WineInstalledFiles : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    WCHAR program_files[MAX_PATH];
    ASSERT_EQ(
        SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, program_files),
        S_OK);
    tarvex_ = std::wstring(program_files) + L"\\Tarvex";
    directory_ = tarvex_ + L"\\DPAL";
    installed_ = directory_ + L"\\TarvexDPALUninstaller.exe";
  }
  void TearDown() override {
    DeleteFileW(installed_.c_str());
    DeleteFileW((directory_ + L"\\notes.txt").c_str());
    RemoveDirectoryW(directory_.c_str());
    RemoveDirectoryW(tarvex_.c_str());
    PlatformTest::TearDown();
  }
  void Put(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "MZ", 2, &written, nullptr));
    CloseHandle(file);
  }
  void Install() {
    CreateDirectoryW(tarvex_.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr)) << GetLastError();
    Put(installed_);
  }
  std::wstring tarvex_, directory_, installed_;
};

TEST_F(WineInstalledFiles, DeletesTheFileAndItsDirectory) {
  ASSERT_NO_FATAL_FAILURE(Install());
  EXPECT_TRUE(dpal::uninstaller::DeleteInstalledFiles());
  EXPECT_FALSE(PathFileExistsW(installed_.c_str()));
  EXPECT_FALSE(PathFileExistsW(directory_.c_str()));
  EXPECT_TRUE(PathFileExistsW(tarvex_.c_str())) << "the maker's directory stays";
}

TEST_F(WineInstalledFiles, AnotherFileKeepsTheDirectory) {
  ASSERT_NO_FATAL_FAILURE(Install());
  ASSERT_NO_FATAL_FAILURE(Put(directory_ + L"\\notes.txt"));
  EXPECT_FALSE(dpal::uninstaller::DeleteInstalledFiles());
  EXPECT_FALSE(PathFileExistsW(installed_.c_str()));
  EXPECT_TRUE(PathFileExistsW(directory_.c_str()));
}

}  // namespace
