// Files, directories, sharing and shell folders: what the sim must do the way Windows does it.
#include <optional>
#include <string>

#include "tests/conformance/scratch_dir.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::FileHandle;
using dpal::test::PlatformTest;
using dpal::test::ScratchDir;
using dpal::test::WriteWholeFile;

using dpal::test::kSentinel;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Files : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    scratch_.emplace();
  }
  void TearDown() override {
    scratch_.reset();
    PlatformTest::TearDown();
  }

  std::wstring Name(const wchar_t* name) { return scratch_->Name(name); }

  static HANDLE Open(const std::wstring& path, DWORD access, DWORD share,
                     DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  // Opens with the last error set to a sentinel first, and returns that error with the handle.
  static HANDLE OpenNoting(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                           DWORD* error) {
    SetLastError(kSentinel);
    HANDLE h = Open(path, access, share, disposition);
    *error = GetLastError();
    return h;
  }

  std::optional<ScratchDir> scratch_;
};

TEST_F(Files, DispositionsCreateOpenAndTruncateAsDocumented) {
  const std::wstring path = Name(L"a.bin");
  DWORD error = 0;
  {
    FileHandle h(OpenNoting(path, GENERIC_WRITE, 0, CREATE_NEW, &error));
    ASSERT_TRUE(h.valid()) << "CREATE_NEW of a new file failed with " << error;
    EXPECT_EQ(error, 0u) << "a new file reports no ERROR_ALREADY_EXISTS";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h.get(), "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
  }
  FileHandle again(OpenNoting(path, GENERIC_WRITE, 0, CREATE_NEW, &error));
  EXPECT_EQ(again.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_EXISTS));
  {
    FileHandle h(OpenNoting(path, GENERIC_READ, 0, OPEN_ALWAYS, &error));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "OPEN_ALWAYS of an existing file";
    EXPECT_EQ(GetFileSize(h.get(), nullptr), 5u) << "OPEN_ALWAYS keeps the contents";
  }
  {
    FileHandle h(OpenNoting(path, GENERIC_WRITE, 0, CREATE_ALWAYS, &error));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS))
        << "CREATE_ALWAYS of an existing file";
    EXPECT_EQ(GetFileSize(h.get(), nullptr), 0u) << "CREATE_ALWAYS truncates";
  }
  ASSERT_TRUE(WriteWholeFile(path, "again"));
  {
    FileHandle h(OpenNoting(path, GENERIC_READ | GENERIC_WRITE, 0, TRUNCATE_EXISTING, &error));
    ASSERT_TRUE(h.valid()) << error;
    EXPECT_EQ(GetFileSize(h.get(), nullptr), 0u) << "TRUNCATE_EXISTING truncates";
  }
  const std::wstring fresh = Name(L"b.bin");
  {
    FileHandle h(OpenNoting(fresh, GENERIC_READ, 0, OPEN_ALWAYS, &error));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(error, 0u) << "OPEN_ALWAYS of a new file";
  }
  FileHandle truncate_missing(
      OpenNoting(Name(L"missing.bin"), GENERIC_WRITE, 0, TRUNCATE_EXISTING, &error));
  EXPECT_EQ(truncate_missing.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, MissingFileAndMissingDirectoryGiveDifferentErrors) {
  const std::wstring missing_file = scratch_->path() + L"\\no-such-file.icm";
  const std::wstring missing_dir = scratch_->path() + L"\\no-such-dir\\file.icm";
  struct Case {
    const std::wstring& path;
    DWORD expected;
  } cases[] = {{missing_file, ERROR_FILE_NOT_FOUND}, {missing_dir, ERROR_PATH_NOT_FOUND}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.path);
    DWORD error = 0;
    FileHandle h(OpenNoting(c.path, GENERIC_READ, 0, OPEN_EXISTING, &error));
    EXPECT_EQ(h.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, c.expected) << "CreateFileW";
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.expected) << "GetFileAttributesW";
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileW(c.path.c_str()));
    EXPECT_EQ(GetLastError(), c.expected) << "DeleteFileW";
    EXPECT_FALSE(PathFileExistsW(c.path.c_str()));
  }
  DWORD error = 0;
  FileHandle create_in_missing(OpenNoting(missing_dir, GENERIC_WRITE, 0, CREATE_ALWAYS, &error));
  EXPECT_EQ(create_in_missing.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "creating in a missing directory";
}

TEST_F(Files, ReadsInChunksUntilZeroBytesAtTheEnd) {
  std::string bytes(1000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  const std::wstring path = Name(L"chunks.bin");
  ASSERT_TRUE(WriteWholeFile(path, bytes));

  FileHandle h(Open(path, GENERIC_READ, 0));
  ASSERT_TRUE(h.valid()) << GetLastError();
  DWORD high = kSentinel;
  EXPECT_EQ(GetFileSize(h.get(), &high), 1000u);
  EXPECT_EQ(high, 0u) << "the high part is written";

  std::string seen;
  const DWORD expected_chunks[] = {300, 300, 300, 100, 0, 0};
  for (DWORD expected : expected_chunks) {
    char buffer[300];
    DWORD read = kSentinel;
    ASSERT_TRUE(ReadFile(h.get(), buffer, sizeof(buffer), &read, nullptr)) << GetLastError();
    EXPECT_EQ(read, expected);
    seen.append(buffer, read == kSentinel ? 0 : read);
  }
  EXPECT_EQ(seen, bytes) << "the chunks put together are the file";

  EXPECT_EQ(SetFilePointer(h.get(), -10, nullptr, FILE_END), 990u);
  char tail[32];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h.get(), tail, sizeof(tail), &read, nullptr));
  EXPECT_EQ(std::string(tail, read), bytes.substr(990));
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(h.get(), -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
}

TEST_F(Files, HandlesReadAndWriteOnlyWhatTheirAccessAllows) {
  const std::wstring path = Name(L"access.bin");
  ASSERT_TRUE(WriteWholeFile(path, "data"));
  char buffer[8];
  DWORD count = kSentinel;
  {
    FileHandle reader(Open(path, GENERIC_READ, kShareAll));
    ASSERT_TRUE(reader.valid());
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(reader.get(), "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(count, 0u) << "the count is cleared on failure";
  }
  {
    FileHandle writer(Open(path, GENERIC_WRITE, kShareAll));
    ASSERT_TRUE(writer.valid());
    count = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(writer.get(), buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(count, 0u);
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  SetLastError(kSentinel);
  EXPECT_EQ(GetFileSize(event, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "not a file";
  CloseHandle(event);
}

// Sharing is checked both ways: the new open's access against the share modes of the opens
// already there, and the new open's share mode against their access. Opens that neither read,
// write nor delete take no part.
TEST_F(Files, ShareModesAreCheckedInBothDirections) {
  const std::wstring path = Name(L"shared.icm");
  ASSERT_TRUE(WriteWholeFile(path, "profile"));
  struct Case {
    const char* what;
    DWORD first_access, first_share, second_access, second_share;
    bool second_opens;
  } cases[] = {
      {"two readers sharing read", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ,
       true},
      {"writer after a reader that does not share write", GENERIC_READ, FILE_SHARE_READ,
       GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"writer that does not share read after a reader", GENERIC_READ, kShareAll, GENERIC_WRITE,
       FILE_SHARE_WRITE, false},
      {"reader after an exclusive reader", GENERIC_READ, 0, GENERIC_READ, kShareAll, false},
      {"exclusive reader while a reader is open", GENERIC_READ, kShareAll, GENERIC_READ, 0, false},
      {"exclusive reader after an attributes-only open", FILE_READ_ATTRIBUTES, 0, GENERIC_READ, 0,
       true},
      {"reader that does not share delete after a deleter", DELETE, kShareAll, GENERIC_READ,
       FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"deleter after a reader sharing delete", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
       DELETE, kShareAll, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileHandle first(Open(path, c.first_access, c.first_share));
    ASSERT_TRUE(first.valid()) << GetLastError();
    DWORD error = 0;
    FileHandle second(OpenNoting(path, c.second_access, c.second_share, OPEN_EXISTING, &error));
    EXPECT_EQ(second.valid(), c.second_opens);
    if (!c.second_opens) {
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      first.Close();
      FileHandle retry(Open(path, c.second_access, c.second_share));
      EXPECT_TRUE(retry.valid()) << "the open succeeds once the other handle is closed";
    }
  }
}

TEST_F(Files, DeleteWhileOpenDependsOnDeleteSharing) {
  const std::wstring path = Name(L"victim.icm");
  ASSERT_TRUE(WriteWholeFile(path, "bytes"));
  {
    FileHandle no_delete_sharing(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    ASSERT_TRUE(no_delete_sharing.valid());
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  EXPECT_TRUE(PathFileExistsW(path.c_str())) << "the failed delete left the file";

  FileHandle sharing_delete(Open(path, GENERIC_READ, kShareAll));
  ASSERT_TRUE(sharing_delete.valid());
  ASSERT_TRUE(DeleteFileW(path.c_str())) << GetLastError();
  // Deleted while open: the name stays until the last handle closes, but cannot be opened.
  DWORD error = 0;
  FileHandle reopen(OpenNoting(path, GENERIC_READ, kShareAll, OPEN_EXISTING, &error));
  // Wine gap (8.0): a file whose delete is pending can still be opened.
  DPAL_TODO_WINE {
    EXPECT_FALSE(reopen.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a file with a pending delete";
  }
  reopen.Close();
  char buffer[8];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(sharing_delete.get(), buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "bytes") << "the open handle still reads the file";
  sharing_delete.Close();
  SetLastError(kSentinel);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "gone after the close";
}

TEST_F(Files, ReadOnlyFilesCannotBeWrittenOrDeleted) {
  const std::wstring path = Name(L"readonly.icm");
  ASSERT_TRUE(WriteWholeFile(path, "x"));
  EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  // Wine gap (8.0): files always report FILE_ATTRIBUTE_ARCHIVE besides what was set. Wine also
  // enforces read-only through the Unix permissions, which do not bind the root user that runs
  // the tests here, so the write and delete checks below are the sim's only.
  DPAL_TODO_WINE EXPECT_EQ(GetFileAttributesW(path.c_str()),
                           static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
#if DPAL_SIM
  DWORD error = 0;
  FileHandle writer(OpenNoting(path, GENERIC_WRITE, 0, OPEN_EXISTING, &error));
  EXPECT_FALSE(writer.valid());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
#endif
  FileHandle reader(Open(path, GENERIC_READ, 0));
  EXPECT_TRUE(reader.valid()) << "reading is allowed";
}

TEST_F(Files, DirectoriesAreNotFiles) {
  const std::wstring dir = Name(L"sub");
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateDirectoryW(dir.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileAttributesW(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_TRUE(PathFileExistsW(dir.c_str()));

  DWORD error = 0;
  FileHandle as_file(OpenNoting(dir, GENERIC_READ, kShareAll, OPEN_EXISTING, &error));
  EXPECT_FALSE(as_file.valid());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "opening a directory as a file";
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(dir.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "DeleteFileW of a directory";

  const std::wstring inner = Name(L"sub\\inner.txt");
  ASSERT_TRUE(WriteWholeFile(inner, "x"));
  SetLastError(kSentinel);
  EXPECT_FALSE(RemoveDirectoryW(dir.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  SetLastError(kSentinel);
  EXPECT_FALSE(RemoveDirectoryW(inner.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY)) << "RemoveDirectoryW of a file";
  ASSERT_TRUE(DeleteFileW(inner.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(dir.c_str())) << GetLastError();
  EXPECT_FALSE(PathFileExistsW(dir.c_str()));
}

TEST_F(Files, MoveRenamesWithinAVolumeAndRespectsSharing) {
  const std::wstring from = Name(L"image.exe");
  const std::wstring to = Name(L"ufn.000");
  ASSERT_TRUE(WriteWholeFile(from, "program"));
  ASSERT_TRUE(WriteWholeFile(to, "taken"));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
      << "no replacing without the flag";

  const std::wstring free_name = Name(L"ufn.001");
  {
    FileHandle no_delete_sharing(Open(from, GENERIC_READ, FILE_SHARE_READ));
    SetLastError(kSentinel);
    EXPECT_FALSE(MoveFileExW(from.c_str(), free_name.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  FileHandle sharing_delete(Open(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE));
  ASSERT_TRUE(MoveFileExW(from.c_str(), free_name.c_str(), 0)) << GetLastError();
  EXPECT_FALSE(PathFileExistsW(from.c_str()));
  char buffer[16];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(sharing_delete.get(), buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "program") << "the handle follows the renamed file";
  sharing_delete.Close();

  ASSERT_TRUE(MoveFileExW(free_name.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
      << GetLastError();
  FileHandle moved(Open(to, GENERIC_READ, 0));
  ASSERT_TRUE(moved.valid());
  EXPECT_EQ(GetFileSize(moved.get(), nullptr), 7u) << "the replaced file has the moved bytes";

  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(from.c_str(), free_name.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, PathsAreCaseInsensitive) {
  const std::wstring path = Name(L"MixedCase.ICM");
  ASSERT_TRUE(WriteWholeFile(path, "x"));
  std::wstring lower = path;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
  FileHandle h(Open(lower, GENERIC_READ, 0));
  EXPECT_TRUE(h.valid()) << GetLastError();
}

TEST_F(Files, TempPathEndsWithABackslashAndFollowsTheSizeProtocol) {
  WCHAR path[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, path);
  ASSERT_GT(length, 3u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(path[length], L'\0');
  EXPECT_EQ(path[length - 1], L'\\');
  EXPECT_NE(GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY, 0u) << "the directory exists";
  WCHAR small[MAX_PATH];
  EXPECT_EQ(GetTempPathW(length, small), length + 1) << "one short: the size with terminator";
  EXPECT_EQ(GetTempPathW(length + 1, small), length) << "exactly enough";
  EXPECT_EQ(std::wstring(small), std::wstring(path));
#if DPAL_SIM
  EXPECT_EQ(std::wstring(path), L"C:\\Users\\Administrator\\AppData\\Local\\Temp\\");
  sim::SetProcessIdentity(sim::LocalSystem());
  ASSERT_EQ(GetTempPathW(MAX_PATH, path), 16u);
  EXPECT_EQ(std::wstring(path), L"C:\\Windows\\Temp\\") << "LocalSystem's temporary directory";
  sim::SetProcessIdentity(sim::DefaultAdmin());
#endif
}

// PathAppendW joins with exactly one backslash, drops the backslashes that begin the appended
// part (not the two of a UNC path), resolves "." and "..", lets an absolute part replace the
// path, and fails (emptying the buffer) when the result would need MAX_PATH units or more.
TEST_F(Files, PathAppendJoinsWithOneBackslashAndFailsPastTheLimit) {
  const struct {
    const wchar_t* path;
    const wchar_t* more;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\Windows\\Temp\\", L"ufn", L"C:\\Windows\\Temp\\ufn"},
      {L"C:\\Windows\\Temp", L"ufn", L"C:\\Windows\\Temp\\ufn"},
      {L"C:\\dir", L"\\ufn", L"C:\\dir\\ufn"},
      {L"C:\\dir", L"\\\\server\\share", L"\\\\server\\share"},
      {L"C:\\dir\\sub", L"..\\ufn", L"C:\\dir\\ufn"},
      {L"C:\\dir\\sub", L".\\ufn", L"C:\\dir\\sub\\ufn"},
      {L"C:\\dir", L"", L"C:\\dir"},
      {L"C:\\dir", L"D:\\other", L"D:\\other"},
  };
  for (const auto& c : cases) {
    WCHAR path[MAX_PATH];
    ASSERT_EQ(StringCchCopyW(path, MAX_PATH, c.path), S_OK);
    EXPECT_TRUE(PathAppendW(path, c.more)) << c.path << " + " << c.more;
    EXPECT_EQ(std::wstring(path), c.expected) << c.path << " + " << c.more;
  }

  // "C:\" and 252 letters: 255 units, so ufn after a backslash needs 259 and fits; one letter
  // more and it needs 260.
  WCHAR path[MAX_PATH];
  const std::wstring longest = L"C:\\" + std::wstring(252, L'a');
  ASSERT_EQ(StringCchCopyW(path, MAX_PATH, longest.c_str()), S_OK);
  ASSERT_TRUE(PathAppendW(path, L"ufn"));
  EXPECT_EQ(lstrlenW(path), 259);
  const std::wstring too_long = longest + L"a";
  ASSERT_EQ(StringCchCopyW(path, MAX_PATH, too_long.c_str()), S_OK);
  EXPECT_FALSE(PathAppendW(path, L"ufn"));
  EXPECT_EQ(path[0], L'\0') << "a failed append leaves no partial path";
}

TEST_F(Files, ShellFoldersNameTheWindowsSystemAndProgramFilesFolders) {
  WCHAR windows[MAX_PATH];
  WCHAR system[MAX_PATH];
  WCHAR program_files[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_WINDOWS, nullptr, SHGFP_TYPE_CURRENT, windows), S_OK);
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system), S_OK);
  ASSERT_EQ(
      SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, program_files),
      S_OK);
  const std::wstring sys(system);
  ASSERT_GE(sys.size(), 9u);
  EXPECT_EQ(lstrcmpiW(sys.substr(sys.size() - 9).c_str(), L"\\system32"), 0)
      << "the system directory is System32";
  EXPECT_EQ(StrCmpNIW(system, windows, lstrlenW(windows)), 0) << "System32 is below Windows";
  EXPECT_NE(GetFileAttributesW(program_files), INVALID_FILE_ATTRIBUTES);
#if DPAL_SIM
  EXPECT_EQ(std::wstring(windows), L"C:\\Windows");
  EXPECT_EQ(sys, L"C:\\Windows\\System32");
  EXPECT_EQ(std::wstring(program_files), L"C:\\Program Files");

  sim::SetWindowsDirectory(L"D:\\WinNT");
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system), S_OK);
  EXPECT_EQ(std::wstring(system), L"D:\\WinNT\\System32");

  sim::SetProgramFilesDirectory(L"E:\\Apps");
  ASSERT_TRUE(RemoveDirectoryW(L"E:\\Apps"));
  program_files[0] = L'X';
  EXPECT_EQ(
      SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, program_files),
      E_FAIL)
      << "a folder that does not exist";
  EXPECT_EQ(program_files[0], L'\0');
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES | CSIDL_FLAG_DONT_VERIFY, nullptr,
                             SHGFP_TYPE_CURRENT, program_files),
            S_OK);
  EXPECT_EQ(std::wstring(program_files), L"E:\\Apps");
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7e, nullptr, SHGFP_TYPE_CURRENT, program_files),
            E_INVALIDARG);
#endif
}

#if DPAL_SIM

TEST_F(Files, FileHeldByAnotherProcessBlocksAnExclusiveOpenUntilReleased) {
  const std::wstring path = L"C:\\Windows\\System32\\spool\\drivers\\color\\QXLCD_A.icm";
  sim::PutFile(path, {1, 2, 3});
  sim::FileHold reader = sim::HoldFileOpen(path, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(reader.held()) << reader.error();
  DWORD error = 0;
  FileHandle exclusive(OpenNoting(path, GENERIC_READ, 0, OPEN_EXISTING, &error));
  EXPECT_FALSE(exclusive.valid());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  reader.Release();
  FileHandle after(Open(path, GENERIC_READ, 0));
  ASSERT_TRUE(after.valid()) << GetLastError();
  // And the other way round: another process cannot open what this one holds exclusively.
  sim::FileHold blocked = sim::HoldFileOpen(path, GENERIC_READ, kShareAll);
  EXPECT_FALSE(blocked.held());
  EXPECT_EQ(blocked.error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(sim::Leaks().open_handles["file"], 1) << "only this process's handle is counted";
}

TEST_F(Files, RunningImageCanBeRenamedButNotWrittenOrDeleted) {
  const std::wstring image = L"C:\\Program Files\\Tarvex\\DPAL\\Uninstaller.exe";
  sim::PutFile(image, {'M', 'Z'});
  sim::FileHold running = sim::HoldImageOpen(image);
  ASSERT_TRUE(running.held());
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(image.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD error = 0;
  FileHandle writer(OpenNoting(image, GENERIC_WRITE, kShareAll, OPEN_EXISTING, &error));
  EXPECT_FALSE(writer.valid());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(MoveFileExW(image.c_str(), L"C:\\Windows\\Temp\\ufn.000", 0)) << GetLastError();
  EXPECT_TRUE(sim::FileExists(L"C:\\Windows\\Temp\\ufn.000"));
  EXPECT_FALSE(sim::FileExists(image));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(L"C:\\Windows\\Temp\\ufn.000", L"D:\\ufn.000", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "no drive D:";
  sim::MakeDirectory(L"D:\\");
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(L"C:\\Windows\\Temp\\ufn.000", L"D:\\ufn.000", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
}

TEST_F(Files, StandardUsersCannotChangeTheWindowsDirectoryOrProgramFiles) {
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1-2-3-1001", L"alice"));
  for (const wchar_t* path :
       {L"C:\\Windows\\System32\\new.dll", L"C:\\Windows\\System32\\spool\\drivers\\new.icm",
        L"C:\\Program Files\\new.txt"}) {
    SCOPED_TRACE(::testing::Message() << path);
    DWORD error = 0;
    FileHandle h(OpenNoting(path, GENERIC_WRITE, 0, CREATE_NEW, &error));
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  sim::PutFile(L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe", {1});
  EXPECT_FALSE(DeleteFileW(L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  FileHandle reader(Open(L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe",
                         GENERIC_READ, FILE_SHARE_READ));
  EXPECT_TRUE(reader.valid()) << "reading is allowed";
  FileHandle temp(Open(L"C:\\Windows\\Temp\\alice.tmp", GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_TRUE(temp.valid()) << "the Windows temporary directory is open to everyone";
  temp.Close();
  EXPECT_TRUE(DeleteFileW(L"C:\\Windows\\Temp\\alice.tmp"));
  // But what another put there is his: LocalSystem's relocated uninstaller, say.
  sim::PutFile(L"C:\\Windows\\Temp\\ufn.000", {1});
  EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\Temp\\ufn.000"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  FileHandle replaced(Open(L"C:\\Windows\\Temp\\ufn.000", GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_FALSE(replaced.valid());
  sim::SetProcessIdentity(sim::DefaultAdmin());
}

// A standard user may add files and directories below the colour directory, and replace, rename
// or delete what he added; what the machine, an administrator or another user put there he can
// read only.
TEST_F(Files, StandardUsersAddToTheColourDirectoryAndChangeOnlyWhatTheyAdded) {
  const std::wstring colour = L"C:\\Windows\\System32\\spool\\drivers\\color";
  const std::wstring installed = colour + L"\\QXLCD_A.icm";
  sim::PutFile(installed, {1, 2, 3});
  const sim::Identity alice = sim::StandardUser(L"S-1-5-21-1-2-3-1001", L"alice");
  const sim::Identity bob = sim::StandardUser(L"S-1-5-21-1-2-3-1002", L"bob");
  sim::SetProcessIdentity(alice);
  const std::wstring planted = colour + L"\\QXLCD_B.icm";
  FileHandle added(Open(planted, GENERIC_WRITE, 0, CREATE_NEW));
  ASSERT_TRUE(added.valid()) << "users may add files";
  added.Close();
  FileHandle replaced(Open(planted, GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_TRUE(replaced.valid()) << "and replace their own";
  replaced.Close();
  EXPECT_TRUE(CreateDirectoryW((colour + L"\\alice").c_str(), nullptr));
  EXPECT_TRUE(MoveFileExW(planted.c_str(), (colour + L"\\alice\\b.icm").c_str(), 0));
  EXPECT_TRUE(MoveFileExW((colour + L"\\alice\\b.icm").c_str(), planted.c_str(), 0));

  for (const sim::Identity& who : {alice, bob}) {
    sim::SetProcessIdentity(who);
    const std::wstring others = who.user_sid == alice.user_sid ? installed : planted;
    SCOPED_TRACE(::testing::Message() << sim::Utf8(who.user_name) << " on " << sim::Utf8(others));
    DWORD error = 0;
    FileHandle writer(OpenNoting(others, GENERIC_WRITE, 0, OPEN_EXISTING, &error));
    EXPECT_FALSE(writer.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    FileHandle overwriter(OpenNoting(others, GENERIC_WRITE, 0, CREATE_ALWAYS, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileW(others.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileExW(others.c_str(), (colour + L"\\moved.icm").c_str(), 0));
    const std::wstring own = colour + L"\\" + who.user_name + L".icm";
    FileHandle made(Open(own, GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_TRUE(made.valid());
    made.Close();
    EXPECT_FALSE(MoveFileExW(own.c_str(), others.c_str(), MOVEFILE_REPLACE_EXISTING))
        << "nor is it replaced by a move";
    EXPECT_TRUE(DeleteFileW(own.c_str()));
    FileHandle reader(Open(others, GENERIC_READ, FILE_SHARE_READ));
    EXPECT_TRUE(reader.valid()) << "reading is allowed";
  }
  sim::SetProcessIdentity(alice);
  EXPECT_FALSE(RemoveDirectoryW(colour.c_str())) << "the directory itself is the machine's";
  EXPECT_TRUE(DeleteFileW(planted.c_str())) << "alice deletes what she added";
  sim::SetProcessIdentity(sim::DefaultAdmin());
  EXPECT_TRUE(sim::FileExists(installed));
  EXPECT_TRUE(RemoveDirectoryW((colour + L"\\alice").c_str())) << "an administrator may";
}

TEST_F(Files, LeakCheckCountsAnUnclosedFile) {
  sim::PutFile(L"C:\\data.bin", {1});
  HANDLE h = Open(L"C:\\data.bin", GENERIC_READ, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  sim::LeakReport leaks = sim::Leaks();
  EXPECT_FALSE(leaks.Clean());
  EXPECT_EQ(leaks.open_handles["file"], 1) << leaks.Describe();
  CloseHandle(h);
  EXPECT_TRUE(sim::Leaks().Clean()) << sim::Leaks().Describe();
}

#endif  // DPAL_SIM

}  // namespace
