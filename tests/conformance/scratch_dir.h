// A directory of one test's own below the account's temporary directory, for conformance tests
// of files. Tests under Wine share one prefix and run in parallel, so the name carries the test's
// name and the process id. Everything the test named through it is removed at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"

namespace dpal::test {

class ScratchDir {
 public:
  ScratchDir() {
    WCHAR temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    EXPECT_TRUE(length > 0 && length < MAX_PATH) << "GetTempPathW gave " << length;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = temp + Widen("DPAL." + std::string(info->test_suite_name()) + "." + info->name() + "." +
                         std::to_string(GetCurrentProcessId()));
    EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr))
        << "creating the scratch directory failed with " << GetLastError();
  }

  ~ScratchDir() {
    for (auto it = names_.rbegin(); it != names_.rend(); ++it) {
      const DWORD attributes = GetFileAttributesW(it->c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(it->c_str());
      } else {
        SetFileAttributesW(it->c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(it->c_str());
      }
    }
    EXPECT_TRUE(RemoveDirectoryW(path_.c_str()))
        << "the scratch directory could not be removed (" << GetLastError()
        << "): a file the test made was not named through ScratchDir";
  }

  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }

  // The full path of an entry of the directory (a file, or a directory the test creates);
  // removed at the end, later names first.
  std::wstring Name(const std::wstring& name) {
    names_.push_back(path_ + L"\\" + name);
    return names_.back();
  }

  static std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

 private:
  std::wstring path_;
  std::vector<std::wstring> names_;
};

// Writes a whole file (created or replaced); false on any failure.
inline bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// Closes a file handle on every path.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void Close() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

}  // namespace dpal::test
