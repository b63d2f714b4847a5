// What the files area gives the other areas: opens of files as other parts of the machine make
// them (a program's image, a hive file, the file a signature check reads), what the store holds
// at a path, and the machine's folders with the rule of who may change what is in them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/files/fileapi.h"
#include "platform/sim/files/sim_files.h"

namespace sim {

class AreaUse;
class Snapshot;

// Normalises a path for lookup in the file store (upper case, single backslashes).
std::wstring FileKey(const std::wstring& path);

// ----- Opens -----------------------------------------------------------------------------------

// One open of a file as the file system sees it (FileOpen, declared with FileHold): a handle's
// file object owns one, and so do a loaded hive, a running program's image and a hold by another
// process. Its sharing takes part in every later open. Released under the machine lock.
//
// Opens an existing file for another part of the machine with the checks and sharing rules of
// CreateFileW with OPEN_EXISTING. `access` may hold generic rights; `image` maps the file as a
// running program's image. Null with *error set on failure.
std::shared_ptr<FileOpen> OpenExistingFileLocked(const std::wstring& full_path, ACCESS_MASK access,
                                                 DWORD share, bool image, DWORD* error);
// The bytes of the file an open designates; false when the file is gone.
bool FileBytesLocked(const FileOpen& open, std::vector<uint8_t>* bytes);
// Replaces the bytes of the file an open designates (a hive written back to its file); false
// when the file is gone.
bool SetFileBytesLocked(const FileOpen& open, const std::vector<uint8_t>& bytes);
// The open of a file handle and the handle's access; null when the handle is no file handle.
std::shared_ptr<FileOpen> FileOpenOfHandleLocked(HANDLE handle, ACCESS_MASK* access);

// ----- The store ---------------------------------------------------------------------------------

// What the store holds at a path.
struct FileEntry {
  bool exists = false;
  bool directory = false;
  bool delete_pending = false;  // deleted while open: the name goes with its last open
};
FileEntry FileEntryLocked(const std::wstring& path);
bool DirectoryExistsLocked(const std::wstring& path);
// The names of the files (not directories, nor files deleted while open) directly in a
// directory, in the store's order.
std::vector<std::wstring> FileNamesInLocked(const std::wstring& directory);
// Whether the calling thread's token may create, change or delete the entry with this FileKey:
// the Windows directory (but for what is in its Temp) and Program Files belong to administrators.
bool MayChangeFileLocked(const std::wstring& key);
// The full path a Win32 path designates ("C:\dir\name": separators unified, "." and ".."
// resolved, relative paths taken from `current`); 0 or the Win32 error.
DWORD FullFilePath(const wchar_t* path, const std::wstring& current, std::wstring* full);
// Deletes a file as DeleteFileW does (access, sharing, a running image), without the trace and
// fault injection of a platform call: 0 or the Win32 error.
DWORD DeleteFileLocked(const std::wstring& full_path);

// The folders of the machine (sim::SetWindowsDirectory and friends), without a trailing
// backslash.
std::wstring WindowsDirectoryLocked();
std::wstring SystemDirectoryLocked();
std::wstring ProgramFilesDirectoryLocked();

// ----- Row of the table of areas
// -------------------------------------------------------------------

void ResetFilesLocked();
AreaUse& FilesUse();  // the mark of the store of files' use (kernel/areas.h)
// Part "files": every directory and file by its full path (as created), a file with its size and
// the start of its SHA-256, and attributes other than normal.
void SnapshotFilesLocked(Snapshot& out);

}  // namespace sim
