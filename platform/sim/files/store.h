// The file store, shared by the files of the files area and by no other area: the entries of the
// store, opens with their sharing, file handles with their file pointer, and the rule of who may
// change what is in the machine's folders.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/files/fileapi.h"
#include "platform/sim/files/sim_files.h"
#include "platform/sim/kernel/objects.h"

namespace sim {

// One open of a file: a handle's, a hold's, a hive's or an image's. Destroyed under the machine
// lock; the last open of a file deleted while open removes the file.
struct FileOpen {
  FileOpen() = default;
  FileOpen(const FileOpen&) = delete;
  FileOpen& operator=(const FileOpen&) = delete;
  ~FileOpen();
  std::wstring key;  // where the file is in the store now (a rename moves it)
  uint64_t node_id = 0;
  ACCESS_MASK access = 0;  // specific rights (generic rights already mapped)
  DWORD share = 0;
  bool image = false;  // mapped as a running program's image
};

}  // namespace sim

namespace sim::store {

// An entry of the file store: a file or a directory, keyed by FileKey. The parent of every entry
// is a directory entry (drive roots such as "C:\" included).
struct FileNode {
  std::wstring path;  // the full path as created, case kept
  std::vector<uint8_t> bytes;
  bool directory = false;
  DWORD attributes = 0;  // FILE_ATTRIBUTE_* besides DIRECTORY; 0 reads as NORMAL
  uint64_t id = 0;       // never reused, so that an open can tell its file from a successor
  std::vector<FileOpen*> opens;
  bool delete_pending = false;  // deleted while open: the name goes with the last open
  // The user whose token created the entry (its owner); empty for what the machine itself holds
  // (the folders of an installation, files a test or scenario puts there).
  std::wstring owner;
};

// The store and the machine's folders. Never destroyed, as the machine.
struct FileStore {
  std::map<std::wstring, FileNode> entries;
  std::wstring windows = L"C:\\Windows";
  std::wstring program_files = L"C:\\Program Files";
  uint64_t next_id = 1;
};

FileStore& Store();
std::map<std::wstring, FileNode>& FilesLocked();

// A file handle: the open it owns and the handle's file pointer. Duplicates of a handle share
// both, as on Windows.
struct FileObject : Object {
  static constexpr HandleKind kKind{"file", true};
  FileObject() : Object(kKind) {}
  std::shared_ptr<FileOpen> open;
  uint64_t position = 0;
};

inline constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | FILE_EXECUTE;
inline constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;
// Rights that change a file or its name; the protected folders grant them to administrators.
inline constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                             FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                             WRITE_OWNER;

// Where a path leads: the entry, or why there is none (the parent is missing or no directory:
// ERROR_PATH_NOT_FOUND; the name is missing: ERROR_FILE_NOT_FOUND).
struct Lookup {
  std::wstring key;
  FileNode* node = nullptr;
  DWORD missing = 0;
};

ACCESS_MASK MapFileAccess(ACCESS_MASK access);

bool IsDriveRoot(const std::wstring& key);

// The key of the directory that holds an entry; empty for a drive root.
std::wstring ParentKey(const std::wstring& key);

bool IsUnder(const std::wstring& key, const std::wstring& dir_key);

// The key of an entry and the keys of everything below it.
std::vector<std::wstring> SubtreeLocked(const std::wstring& key);

bool HasChildrenLocked(const std::wstring& key);

// The Windows directory and Program Files belong to administrators, except for two directories
// where anyone may add files and directories: the Windows temporary directory and the colour
// directory. There each may change or delete only what he added himself: the directory grants
// users the right to add entries, and their creator full control of them.
bool MayChangeLocked(const std::wstring& key);

// The directory relative paths start from.
std::wstring CurrentDirectory();

// Turns a Win32 path into the full path the file system uses ("C:\dir\name"): separators
// unified, "." and ".." resolved, relative paths taken from `current`. 0 or the Win32 error.
DWORD ResolvePath(const wchar_t* path, const std::wstring& current, std::wstring* full);

FileNode* NodeOfLocked(const FileOpen& open);

// Sharing between the opens of one file, as the I/O manager checks it: only opens that read,
// write or delete take part, and each side's share mode must allow the other side's access.
DWORD ShareCheckLocked(const FileNode& node, ACCESS_MASK access, DWORD share);

bool MappedLocked(const FileNode& node);

Lookup FindLocked(const std::wstring& full);

FileNode& AddNodeLocked(const std::wstring& key, const std::wstring& path, bool directory);

std::shared_ptr<FileOpen> AttachLocked(FileNode& node, const std::wstring& key, ACCESS_MASK access,
                                       DWORD share, bool image);

// The heart of CreateFileW. `access` holds specific rights. Null with *error on failure;
// *existed tells whether the file was there before.
std::shared_ptr<FileOpen> OpenLocked(const std::wstring& full, ACCESS_MASK access, DWORD share,
                                     DWORD disposition, DWORD attributes, bool image, bool* existed,
                                     DWORD* error);

void RemoveEntryLocked(std::map<std::wstring, FileNode>::iterator it);

std::shared_ptr<FileObject> FileOfLocked(HANDLE handle);

// Moves an entry (and everything below a directory) to a new key, keeping the opens with it.
void RekeyLocked(const std::wstring& from_key, const std::wstring& to_key,
                 const std::wstring& to_path);

DWORD MoveLocked(const std::wstring& from, const std::wstring& to, DWORD flags);

DWORD AttributesOfLocked(const std::wstring& full, DWORD* attributes);

// Records a rename (or, without a target, a deletion) for the next restart where the Session
// Manager looks for it, as MoveFileExW does: the value is written as the calling thread, so only
// administrators and LocalSystem may. The source need not exist.
DWORD RecordForRestartLocked(const std::wstring& from, const std::wstring* to, bool replace);

std::wstring TempPathLocked();

// Creates a directory with its missing parents, as an installer would (no access check).
void MakeDirectoriesLocked(const std::wstring& path);

}  // namespace sim::store
