// The test side of the file store (sim_files.h): files and folders as a test or scenario sets them
// up, and opens by other processes.
#include "platform/sim/files/internal.h"
#include "platform/sim/files/store.h"
#include "platform/sim/kernel/lock.h"

namespace sim {
using namespace store;  // the store's names, shared by the files area's files
}  // namespace sim

namespace sim {

void PutFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  Lock lock(MachineLock());
  std::wstring full;
  if (ResolvePath(path.c_str(), L"C:\\", &full) != 0) return;
  const std::wstring key = FileKey(full);
  MakeDirectoriesLocked(full.substr(0, full.rfind(L'\\')));
  auto it = FilesLocked().find(key);
  if (it != FilesLocked().end()) {
    if (it->second.directory) return;
    it->second.bytes = bytes;
    return;
  }
  FileNode& node = AddNodeLocked(key, full, false);
  node.bytes = bytes;
  node.attributes = FILE_ATTRIBUTE_ARCHIVE;
}

bool GetFile(const std::wstring& path, std::vector<uint8_t>* bytes) {
  Lock lock(MachineLock());
  auto it = FilesLocked().find(FileKey(path));
  if (it == FilesLocked().end() || it->second.directory) return false;
  if (bytes) *bytes = it->second.bytes;
  return true;
}

bool FileExists(const std::wstring& path) { return GetFile(path, nullptr); }

void RemoveFile(const std::wstring& path) {
  Lock lock(MachineLock());
  auto it = FilesLocked().find(FileKey(path));
  if (it == FilesLocked().end() || it->second.directory) return;
  RemoveEntryLocked(it);
}

void MakeDirectory(const std::wstring& path) {
  Lock lock(MachineLock());
  MakeDirectoriesLocked(path);
}

bool DirectoryExists(const std::wstring& path) {
  Lock lock(MachineLock());
  return DirectoryExistsLocked(path);
}

void SetWindowsDirectory(const std::wstring& path) {
  Lock lock(MachineLock());
  Store().windows = path;
  while (Store().windows.size() > 3 && Store().windows.back() == L'\\') Store().windows.pop_back();
  MakeDirectoriesLocked(SystemDirectoryLocked());
  MakeDirectoriesLocked(Store().windows + L"\\Temp");
}

void SetProgramFilesDirectory(const std::wstring& path) {
  Lock lock(MachineLock());
  Store().program_files = path;
  while (Store().program_files.size() > 3 && Store().program_files.back() == L'\\') {
    Store().program_files.pop_back();
  }
  MakeDirectoriesLocked(Store().program_files);
}

std::wstring WindowsDirectory() {
  Lock lock(MachineLock());
  return WindowsDirectoryLocked();
}

std::wstring SystemDirectory() {
  Lock lock(MachineLock());
  return SystemDirectoryLocked();
}

std::wstring ProgramFilesDirectory() {
  Lock lock(MachineLock());
  return ProgramFilesDirectoryLocked();
}

FileHold& FileHold::operator=(FileHold&& other) noexcept {
  if (this != &other) {
    Release();
    open_ = std::move(other.open_);
    error_ = other.error_;
  }
  return *this;
}

FileHold::~FileHold() { Release(); }

void FileHold::Release() {
  if (!open_) return;
  Lock lock(MachineLock());
  open_.reset();
}

FileHold HoldFileOpen(const std::wstring& path, DWORD desired_access, DWORD share_mode) {
  FileHold hold;
  std::wstring full;
  hold.error_ = ResolvePath(path.c_str(), L"C:\\", &full);
  if (hold.error_ != 0) return hold;
  Lock lock(MachineLock());
  hold.open_ = OpenExistingFileLocked(full, desired_access, share_mode, false, &hold.error_);
  return hold;
}

FileHold HoldImageOpen(const std::wstring& path) {
  FileHold hold;
  std::wstring full;
  hold.error_ = ResolvePath(path.c_str(), L"C:\\", &full);
  if (hold.error_ != 0) return hold;
  Lock lock(MachineLock());
  hold.open_ = OpenExistingFileLocked(full, GENERIC_READ | GENERIC_EXECUTE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, true, &hold.error_);
  return hold;
}

}  // namespace sim
