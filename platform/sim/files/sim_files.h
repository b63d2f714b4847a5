// The test side of the file store: files, directories, the machine's folders and opens by
// other processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/kernel/winbase.h"

namespace sim {

// ----- Files --------------------------------------------------------------------------------

// The machine's file store: full paths with drive letters and backslashes, case-insensitive.
// After Reset it holds the drive C: with the standard folders (Windows, System32, its colour
// directory, Windows\Temp, INF, Program Files, the default identity's temporary directory).
//
// Creates a file, or replaces the bytes of one (handles open on it then read the new bytes).
// Missing parent directories are created.
void PutFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
// False for a missing file and for a directory.
bool GetFile(const std::wstring& path, std::vector<uint8_t>* bytes);
bool FileExists(const std::wstring& path);
// Removes a file as an administrator's process would, ignoring sharing; a file that is open
// stays visible as deleted (opens fail with ERROR_ACCESS_DENIED) until its last open ends.
void RemoveFile(const std::wstring& path);
// Creates a directory with its missing parents (a new drive letter makes a new volume).
void MakeDirectory(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// The folders the shell reports. The system directory is the Windows directory's "System32";
// setting a folder creates it. Defaults: C:\Windows and C:\Program Files.
void SetWindowsDirectory(const std::wstring& path);
void SetProgramFilesDirectory(const std::wstring& path);
std::wstring WindowsDirectory();
std::wstring SystemDirectory();
std::wstring ProgramFilesDirectory();

struct FileOpen;

// A file held open by another process: it takes part in sharing like any open but is no handle
// of this process, so the leak check does not count it. Released on destruction or Release().
class FileHold {
 public:
  FileHold() = default;
  FileHold(FileHold&& other) noexcept = default;
  FileHold& operator=(FileHold&& other) noexcept;
  ~FileHold();
  // False when the open failed (missing file, sharing conflict); error() says why.
  bool held() const { return open_ != nullptr; }
  DWORD error() const { return error_; }
  void Release();

 private:
  friend FileHold HoldFileOpen(const std::wstring&, DWORD, DWORD);
  friend FileHold HoldImageOpen(const std::wstring&);
  std::shared_ptr<FileOpen> open_;
  DWORD error_ = 0;
};

// Opens an existing file as another process would with CreateFileW(OPEN_EXISTING).
FileHold HoldFileOpen(const std::wstring& path, DWORD desired_access, DWORD share_mode);
// Opens a file as the image of a running program: read and execute access, sharing read and
// delete, mapped. Such a file can be renamed but not written or deleted (ERROR_ACCESS_DENIED).
FileHold HoldImageOpen(const std::wstring& path);

}  // namespace sim
