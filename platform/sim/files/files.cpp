// Files and directories: the entries of the file store, opens with their sharing, file handles
// with their file pointer, the machine's folders (and the shell's view of them) and the
// temporary directory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "platform/sim/files/internal.h"
#include "platform/sim/files/shlobj.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/snapshot.h"

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

namespace {

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

FileStore& Store() {
  static FileStore* store = new FileStore();
  return *store;
}

std::map<std::wstring, FileNode>& FilesLocked() { return Store().entries; }

// A file handle: the open it owns and the handle's file pointer. Duplicates of a handle share
// both, as on Windows.
struct FileObject : Object {
  static constexpr HandleKind kKind{"file", true};
  FileObject() : Object(kKind) {}
  std::shared_ptr<FileOpen> open;
  uint64_t position = 0;
};

constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;
// Rights that change a file or its name; the protected folders grant them to administrators.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER;

ACCESS_MASK MapFileAccess(ACCESS_MASK access) {
  ACCESS_MASK out =
      access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) out |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) out |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) out |= FILE_GENERIC_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) out |= FILE_ALL_ACCESS;
  return out;
}

bool IsDriveRoot(const std::wstring& key) { return key.size() == 3 && key[1] == L':'; }

// The key of the directory that holds an entry; empty for a drive root.
std::wstring ParentKey(const std::wstring& key) {
  if (IsDriveRoot(key)) return L"";
  auto slash = key.rfind(L'\\');
  if (slash == std::wstring::npos) return L"";
  return slash == 2 ? key.substr(0, 3) : key.substr(0, slash);
}

bool IsUnder(const std::wstring& key, const std::wstring& dir_key) {
  if (key == dir_key) return true;
  const std::wstring prefix = IsDriveRoot(dir_key) ? dir_key : dir_key + L"\\";
  return key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
}

// The key of an entry and the keys of everything below it.
std::vector<std::wstring> SubtreeLocked(const std::wstring& key) {
  std::vector<std::wstring> keys{key};
  const std::wstring prefix = IsDriveRoot(key) ? key : key + L"\\";
  auto& files = FilesLocked();
  for (auto it = files.lower_bound(prefix);
       it != files.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    keys.push_back(it->first);
  }
  return keys;
}

bool HasChildrenLocked(const std::wstring& key) {
  const std::wstring prefix = IsDriveRoot(key) ? key : key + L"\\";
  auto& files = FilesLocked();
  auto it = files.lower_bound(prefix);
  return it != files.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

// The Windows directory and Program Files belong to administrators, except for two directories
// where anyone may add files and directories: the Windows temporary directory and the colour
// directory. There each may change or delete only what he added himself: the directory grants
// users the right to add entries, and their creator full control of them.
bool MayChangeLocked(const std::wstring& key) {
  auto token = EffectiveTokenLocked();
  if (token->administrator) return true;
  for (const std::wstring& open :
       {FileKey(Store().windows + L"\\Temp"),
        FileKey(Store().windows + L"\\System32\\spool\\drivers\\color")}) {
    if (IsUnder(key, open) && key != open) {
      auto it = FilesLocked().find(key);
      return it == FilesLocked().end() || EqualsNoCase(it->second.owner, token->user_sid);
    }
  }
  return !IsUnder(key, FileKey(Store().windows)) && !IsUnder(key, FileKey(Store().program_files));
}

// The directory relative paths start from.
std::wstring CurrentDirectory() {
  std::wstring dir = ProcessIdentity().current_directory;
  return dir.empty() ? L"C:\\" : dir;
}

// Turns a Win32 path into the full path the file system uses ("C:\dir\name"): separators
// unified, "." and ".." resolved, relative paths taken from `current`. 0 or the Win32 error.
DWORD ResolvePath(const wchar_t* path, const std::wstring& current, std::wstring* full) {
  if (path == nullptr || *path == 0) return ERROR_PATH_NOT_FOUND;
  std::wstring p(path);
  std::replace(p.begin(), p.end(), L'/', L'\\');
  if (p.compare(0, 4, L"\\\\?\\") == 0) p = p.substr(4);
  if (p.size() >= 2 && p[0] == L'\\' && p[1] == L'\\') return ERROR_BAD_NETPATH;
  std::wstring drive;
  std::wstring rest;
  if (p.size() >= 2 && p[1] == L':' && std::iswalpha(static_cast<wint_t>(p[0]))) {
    drive = p.substr(0, 2);
    rest = p.substr(2);
    // "C:name" is relative to the current directory of that drive; only one is kept.
    if (rest.empty() || rest[0] != L'\\') {
      if (EqualsNoCase(current.substr(0, 2), drive))
        rest = current.substr(2) + L"\\" + rest;
      else
        rest = L"\\" + rest;
    }
  } else if (!p.empty() && p[0] == L'\\') {
    drive = current.substr(0, 2);
    rest = p;
  } else {
    drive = current.substr(0, 2);
    rest = current.substr(2) + L"\\" + p;
  }
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(L'\\', start);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring part = rest.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == L".") continue;
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    for (wchar_t c : part) {
      if (c < 32 || std::wcschr(L"<>:\"|?*", c) != nullptr) return ERROR_INVALID_NAME;
    }
    parts.push_back(part);
  }
  std::wstring out = drive + L"\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += L"\\";
    out += parts[i];
  }
  *full = out;
  return 0;
}

FileNode* NodeOfLocked(const FileOpen& open) {
  auto& files = FilesLocked();
  auto it = files.find(open.key);
  if (it == files.end() || it->second.id != open.node_id) return nullptr;
  return &it->second;
}

// Sharing between the opens of one file, as the I/O manager checks it: only opens that read,
// write or delete take part, and each side's share mode must allow the other side's access.
DWORD ShareCheckLocked(const FileNode& node, ACCESS_MASK access, DWORD share) {
  const bool read = access & kReadRights;
  const bool write = access & kWriteRights;
  const bool del = access & DELETE;
  if (!read && !write && !del) return 0;
  for (const FileOpen* other : node.opens) {
    const bool other_read = other->access & kReadRights;
    const bool other_write = other->access & kWriteRights;
    const bool other_del = other->access & DELETE;
    if (!other_read && !other_write && !other_del) continue;
    if ((read && !(other->share & FILE_SHARE_READ)) ||
        (write && !(other->share & FILE_SHARE_WRITE)) ||
        (del && !(other->share & FILE_SHARE_DELETE)) ||
        (other_read && !(share & FILE_SHARE_READ)) ||
        (other_write && !(share & FILE_SHARE_WRITE)) ||
        (other_del && !(share & FILE_SHARE_DELETE))) {
      return ERROR_SHARING_VIOLATION;
    }
  }
  return 0;
}

bool MappedLocked(const FileNode& node) {
  for (const FileOpen* open : node.opens) {
    if (open->image) return true;
  }
  return false;
}

// Where a path leads: the entry, or why there is none (the parent is missing or no directory:
// ERROR_PATH_NOT_FOUND; the name is missing: ERROR_FILE_NOT_FOUND).
struct Lookup {
  std::wstring key;
  FileNode* node = nullptr;
  DWORD missing = 0;
};

Lookup FindLocked(const std::wstring& full) {
  Lookup found;
  found.key = FileKey(full);
  auto& files = FilesLocked();
  const std::wstring parent = ParentKey(found.key);
  if (!parent.empty()) {
    auto p = files.find(parent);
    if (p == files.end() || !p->second.directory) {
      found.missing = ERROR_PATH_NOT_FOUND;
      return found;
    }
  }
  auto it = files.find(found.key);
  if (it == files.end()) {
    found.missing = parent.empty() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    return found;
  }
  found.node = &it->second;
  return found;
}

FileNode& AddNodeLocked(const std::wstring& key, const std::wstring& path, bool directory) {
  FileNode& node = FilesLocked()[key];
  node = FileNode{};
  node.path = path;
  node.directory = directory;
  node.id = Store().next_id++;
  return node;
}

std::shared_ptr<FileOpen> AttachLocked(FileNode& node, const std::wstring& key, ACCESS_MASK access,
                                       DWORD share, bool image) {
  auto open = std::make_shared<FileOpen>();
  open->key = key;
  open->node_id = node.id;
  open->access = access;
  open->share = share;
  open->image = image;
  node.opens.push_back(open.get());
  return open;
}

// The heart of CreateFileW. `access` holds specific rights. Null with *error on failure;
// *existed tells whether the file was there before.
std::shared_ptr<FileOpen> OpenLocked(const std::wstring& full, ACCESS_MASK access, DWORD share,
                                     DWORD disposition, DWORD attributes, bool image, bool* existed,
                                     DWORD* error) {
  Lookup found = FindLocked(full);
  *existed = found.node != nullptr;
  if (found.node == nullptr) {
    if (found.missing == ERROR_PATH_NOT_FOUND || disposition == OPEN_EXISTING ||
        disposition == TRUNCATE_EXISTING) {
      *error = found.missing;
      return nullptr;
    }
    if (!MayChangeLocked(found.key)) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    FileNode& node = AddNodeLocked(found.key, full, false);
    node.owner = EffectiveTokenLocked()->user_sid;
    node.attributes = (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY)) |
                      FILE_ATTRIBUTE_ARCHIVE;
    return AttachLocked(node, found.key, access, share, image);
  }
  FileNode& node = *found.node;
  const bool overwrite = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (disposition == CREATE_NEW) {
    *error = ERROR_FILE_EXISTS;
  } else if (node.delete_pending || node.directory) {
    *error = ERROR_ACCESS_DENIED;
  } else if (((access & kChangeRights) || overwrite) && !MayChangeLocked(found.key)) {
    *error = ERROR_ACCESS_DENIED;
  } else if ((node.attributes & FILE_ATTRIBUTE_READONLY) &&
             ((access & kWriteRights) || overwrite)) {
    *error = ERROR_ACCESS_DENIED;
  } else if (DWORD e = ShareCheckLocked(node, access, share)) {
    *error = e;
  } else if (((access & kWriteRights) || overwrite) && MappedLocked(node)) {
    // A mapped image cannot be written: the memory manager refuses to flush its section.
    *error = ERROR_SHARING_VIOLATION;
  } else {
    if (overwrite) {
      node.bytes.clear();
      node.attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    return AttachLocked(node, found.key, access, share, image);
  }
  return nullptr;
}

void RemoveEntryLocked(std::map<std::wstring, FileNode>::iterator it) {
  if (it->second.opens.empty()) {
    FilesLocked().erase(it);
  } else {
    it->second.delete_pending = true;
  }
}

std::shared_ptr<FileObject> FileOfLocked(HANDLE handle) {
  return LookupAsLocked<FileObject>(H(handle));
}

// Moves an entry (and everything below a directory) to a new key, keeping the opens with it.
void RekeyLocked(const std::wstring& from_key, const std::wstring& to_key,
                 const std::wstring& to_path) {
  auto& files = FilesLocked();
  for (const std::wstring& key : SubtreeLocked(from_key)) {
    auto node = files.extract(key);
    const std::wstring suffix = key.substr(from_key.size());
    const std::wstring new_key = to_key + suffix;
    node.key() = new_key;
    FileNode& moved = node.mapped();
    moved.path = to_path + moved.path.substr(moved.path.size() - suffix.size());
    for (FileOpen* open : moved.opens) open->key = new_key;
    files.insert(std::move(node));
  }
}

DWORD MoveLocked(const std::wstring& from, const std::wstring& to, DWORD flags) {
  Lookup source = FindLocked(from);
  if (source.node == nullptr) return source.missing;
  FileNode& node = *source.node;
  if (node.delete_pending) return ERROR_ACCESS_DENIED;
  if (IsDriveRoot(source.key)) return ERROR_ACCESS_DENIED;
  if (!MayChangeLocked(source.key)) return ERROR_ACCESS_DENIED;
  // The source is opened for delete, sharing everything.
  if (DWORD e =
          ShareCheckLocked(node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return e;
  }
  if (node.directory) {
    for (const std::wstring& key : SubtreeLocked(source.key)) {
      if (!FilesLocked()[key].opens.empty()) return ERROR_ACCESS_DENIED;
    }
  }
  Lookup target = FindLocked(to);
  if (target.missing == ERROR_PATH_NOT_FOUND) return ERROR_PATH_NOT_FOUND;
  if (target.key == source.key) {
    node.path = to;  // a change of case only
    return 0;
  }
  if (node.directory && IsUnder(target.key, source.key)) return ERROR_INVALID_PARAMETER;
  if (!MayChangeLocked(target.key)) return ERROR_ACCESS_DENIED;
  if (target.node != nullptr) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
    // A file that is open, read-only or a directory cannot be replaced.
    if (target.node->directory || node.directory || !target.node->opens.empty() ||
        (target.node->attributes & FILE_ATTRIBUTE_READONLY)) {
      return ERROR_ACCESS_DENIED;
    }
  }
  const bool same_volume = std::towupper(static_cast<wint_t>(source.key[0])) ==
                           std::towupper(static_cast<wint_t>(target.key[0]));
  if (!same_volume) {
    if (!(flags & MOVEFILE_COPY_ALLOWED)) return ERROR_NOT_SAME_DEVICE;
    if (node.directory) return ERROR_ACCESS_DENIED;
    // Copy and delete: the source must be deletable.
    if (MappedLocked(node) || (node.attributes & FILE_ATTRIBUTE_READONLY)) {
      return ERROR_ACCESS_DENIED;
    }
    const std::vector<uint8_t> bytes = node.bytes;
    const DWORD attributes = node.attributes;
    if (target.node != nullptr) FilesLocked().erase(target.key);
    FileNode& copy = AddNodeLocked(target.key, to, false);
    copy.owner = EffectiveTokenLocked()->user_sid;
    copy.bytes = bytes;
    copy.attributes = attributes;
    RemoveEntryLocked(FilesLocked().find(source.key));
    return 0;
  }
  if (target.node != nullptr) FilesLocked().erase(target.key);
  RekeyLocked(source.key, target.key, to);
  return 0;
}

DWORD AttributesOfLocked(const std::wstring& full, DWORD* attributes) {
  Lookup found = FindLocked(full);
  if (found.node == nullptr) return found.missing;
  if (found.node->delete_pending) return ERROR_ACCESS_DENIED;
  if (found.node->directory) {
    *attributes = FILE_ATTRIBUTE_DIRECTORY | found.node->attributes;
  } else {
    *attributes = found.node->attributes ? found.node->attributes : FILE_ATTRIBUTE_NORMAL;
  }
  return 0;
}

// Records a rename (or, without a target, a deletion) for the next restart where the Session
// Manager looks for it, as MoveFileExW does: the value is written as the calling thread, so only
// administrators and LocalSystem may. The source need not exist.
DWORD RecordForRestartLocked(const std::wstring& from, const std::wstring* to, bool replace) {
  const std::wstring nt_prefix = L"\\??\\";
  std::wstring target;
  if (to != nullptr) target = (replace ? L"!" : L"") + nt_prefix + *to;
  return RecordPendingFileOperationLocked(nt_prefix + from, target);
}

std::wstring TempPathLocked() {
  auto token = ProcessTokenLocked();
  if (IsSystemSid(token->user_sid)) return Store().windows + L"\\Temp\\";
  return L"C:\\Users\\" + token->user_name + L"\\AppData\\Local\\Temp\\";
}

}  // namespace

std::wstring FileKey(const std::wstring& path) {
  std::wstring out;
  out.reserve(path.size());
  for (wchar_t c : path) {
    if (c == L'/') c = L'\\';
    if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
    out.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))));
  }
  while (out.size() > 3 && out.back() == L'\\') out.pop_back();
  return out;
}

FileOpen::~FileOpen() {
  FileNode* node = NodeOfLocked(*this);
  if (node == nullptr) return;
  node->opens.erase(std::remove(node->opens.begin(), node->opens.end(), this), node->opens.end());
  if (node->delete_pending && node->opens.empty()) FilesLocked().erase(key);
}

std::shared_ptr<FileOpen> OpenExistingFileLocked(const std::wstring& full_path, ACCESS_MASK access,
                                                 DWORD share, bool image, DWORD* error) {
  bool existed = false;
  return OpenLocked(full_path, MapFileAccess(access), share, OPEN_EXISTING, 0, image, &existed,
                    error);
}

std::wstring WindowsDirectoryLocked() { return Store().windows; }
std::wstring SystemDirectoryLocked() { return Store().windows + L"\\System32"; }
std::wstring ProgramFilesDirectoryLocked() { return Store().program_files; }

bool DirectoryExistsLocked(const std::wstring& path) {
  auto it = FilesLocked().find(FileKey(path));
  return it != FilesLocked().end() && it->second.directory && !it->second.delete_pending;
}

bool MayChangeFileLocked(const std::wstring& key) { return MayChangeLocked(key); }

DWORD FullFilePath(const wchar_t* path, const std::wstring& current, std::wstring* full) {
  return ResolvePath(path, current, full);
}

DWORD DeleteFileLocked(const std::wstring& full_path) {
  Lookup found = FindLocked(full_path);
  if (found.node == nullptr) return found.missing;
  // A delete opens the file for delete, sharing everything, then marks it deleted.
  const FileNode& node = *found.node;
  if (node.directory || node.delete_pending || !MayChangeLocked(found.key)) {
    return ERROR_ACCESS_DENIED;
  }
  if (DWORD e =
          ShareCheckLocked(node, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return e;
  }
  if ((node.attributes & FILE_ATTRIBUTE_READONLY) || MappedLocked(node)) {
    return ERROR_ACCESS_DENIED;
  }
  RemoveEntryLocked(FilesLocked().find(found.key));
  return 0;
}

FileEntry FileEntryLocked(const std::wstring& path) {
  FileEntry entry;
  auto it = FilesLocked().find(FileKey(path));
  if (it == FilesLocked().end()) return entry;
  entry.exists = true;
  entry.directory = it->second.directory;
  entry.delete_pending = it->second.delete_pending;
  return entry;
}

bool FileBytesLocked(const FileOpen& open, std::vector<uint8_t>* bytes) {
  const FileNode* node = NodeOfLocked(open);
  if (node == nullptr) return false;
  *bytes = node->bytes;
  return true;
}

bool SetFileBytesLocked(const FileOpen& open, const std::vector<uint8_t>& bytes) {
  FileNode* node = NodeOfLocked(open);
  if (node == nullptr) return false;
  node->bytes = bytes;
  return true;
}

namespace {

// Creates a directory with its missing parents, as an installer would (no access check).
void MakeDirectoriesLocked(const std::wstring& path) {
  std::wstring full;
  if (ResolvePath(path.c_str(), L"C:\\", &full) != 0) return;
  size_t end = 2;  // the drive root first, then each directory below it
  for (;;) {
    const std::wstring dir = end == 2 ? full.substr(0, 3) : full.substr(0, end);
    const std::wstring key = FileKey(dir);
    auto it = FilesLocked().find(key);
    if (it == FilesLocked().end()) {
      AddNodeLocked(key, dir, true);
    } else if (!it->second.directory) {
      return;  // a file stands in the way
    }
    if (end + 1 >= full.size()) return;  // that was the last one
    end = full.find(L'\\', end + 1);
    if (end == std::wstring::npos) end = full.size();
  }
}

}  // namespace

void CarryOutAtRestartLocked(const std::wstring& source, const std::wstring* target, bool replace) {
  // The Session Manager runs before anything has a file open and before any access check
  // matters; what cannot be done is passed over.
  Lookup from = FindLocked(source);
  if (from.node == nullptr || IsDriveRoot(from.key)) return;
  if (target == nullptr) {
    // A directory goes only when it is empty.
    if (from.node->directory && HasChildrenLocked(from.key)) return;
    RemoveEntryLocked(FilesLocked().find(from.key));
    return;
  }
  Lookup to = FindLocked(*target);
  if (to.missing == ERROR_PATH_NOT_FOUND) return;
  if (to.key == from.key) {
    from.node->path = *target;
    return;
  }
  if (std::towupper(static_cast<wint_t>(from.key[0])) !=
      std::towupper(static_cast<wint_t>(to.key[0]))) {
    return;  // no copies at boot
  }
  if (from.node->directory && IsUnder(to.key, from.key)) return;
  if (to.node != nullptr) {
    if (!replace || to.node->directory || from.node->directory) return;
    RemoveEntryLocked(FilesLocked().find(to.key));
    if (FindLocked(*target).node != nullptr) return;  // still open somewhere: it stays
  }
  RekeyLocked(from.key, to.key, *target);
}

void ResetFilesLocked() {
  Store().windows = L"C:\\Windows";
  Store().program_files = L"C:\\Program Files";
  FilesLocked().clear();
  const std::wstring windows = Store().windows;
  for (const std::wstring& dir :
       {windows + L"\\System32\\spool\\drivers\\color", windows + L"\\Temp", windows + L"\\INF",
        Store().program_files,
        L"C:\\Users\\" + DefaultAdmin().user_name + L"\\AppData\\Local\\Temp",
        DefaultAdmin().current_directory}) {
    MakeDirectoriesLocked(dir);
  }
}

std::vector<std::wstring> FileNamesInLocked(const std::wstring& directory) {
  std::vector<std::wstring> names;
  const std::wstring key = FileKey(directory);
  for (const std::wstring& entry : SubtreeLocked(key)) {
    if (entry == key || ParentKey(entry) != key) continue;
    const FileNode& node = FilesLocked().at(entry);
    if (node.directory || node.delete_pending) continue;
    names.push_back(node.path.substr(node.path.rfind(L'\\') + 1));
  }
  return names;
}

void SnapshotFilesLocked(Snapshot& out) {
  for (const auto& [key, node] : FilesLocked()) {
    std::string state;
    if (node.directory) {
      state = "directory";
    } else {
      state = "file, " + std::to_string(node.bytes.size()) + " bytes";
      if (!node.bytes.empty())
        state += ", sha256 " + DigestText(node.bytes.data(), node.bytes.size());
    }
    // New files are marked for archiving; other attributes are what a program set.
    if ((node.attributes & ~FILE_ATTRIBUTE_ARCHIVE) != 0) {
      char attributes[16];
      std::snprintf(attributes, sizeof attributes, "0x%x", static_cast<unsigned>(node.attributes));
      state += std::string(", attributes ") + attributes;
    }
    if (node.delete_pending) state += ", delete pending";
    out.Put("files", Utf8(node.path), state);
  }
}

// ----- Test-facing side --------------------------------------------------------------------------

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

// For WinVerifyTrust, which reads the file a caller holds open.
std::shared_ptr<FileOpen> FileOpenOfHandleLocked(HANDLE handle, ACCESS_MASK* access) {
  auto object = FileOfLocked(handle);
  if (!object) return nullptr;
  if (access) *access = HandleAccessLocked(H(handle));
  return object->open;
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  if (DWORD e = SIM_ENTER(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                          dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile)) {
    return Fail(e, INVALID_HANDLE_VALUE);
  }
  std::wstring full;
  if (DWORD e = ResolvePath(lpFileName, CurrentDirectory(), &full)) {
    return Fail(e, INVALID_HANDLE_VALUE);
  }
  const ACCESS_MASK access = MapFileAccess(dwDesiredAccess);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  if (dwFlagsAndAttributes &
      (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_BACKUP_SEMANTICS)) {
    // The machine models synchronous I/O on files only.
    return Fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
  }
  Lock lock(MachineLock());
  bool existed = false;
  DWORD error = 0;
  auto open = OpenLocked(full, access, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes,
                         false, &existed, &error);
  if (!open) return Fail(error, INVALID_HANDLE_VALUE);
  auto object = std::make_shared<FileObject>();
  object->open = std::move(open);
  HANDLE handle = reinterpret_cast<HANDLE>(AddHandleLocked(object, access));
  const bool reports_existing =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(existed && reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (DWORD e = SIM_ENTER(hFile, lpFileSizeHigh)) {
    return Fail(e, INVALID_FILE_SIZE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  const uint64_t size = node->bytes.size();
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  const DWORD low = static_cast<DWORD>(size);
  // A size whose low part looks like the failure value says so through the last error.
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (DWORD e =
          SIM_ENTER(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped)) {
    return Fail(e, FALSE);
  }
  if (lpNumberOfBytesRead == nullptr && lpOverlapped == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(HandleAccessLocked(H(hFile)) & FILE_READ_DATA)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return Fail(ERROR_NOACCESS, FALSE);
  // A synchronous handle reads at the OVERLAPPED offset when one is given, and moves its file
  // pointer past what was read either way.
  uint64_t position = file->position;
  if (lpOverlapped) {
    position = (static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
  }
  const uint64_t size = node->bytes.size();
  const DWORD count =
      position >= size
          ? 0
          : static_cast<DWORD>(std::min<uint64_t>(nNumberOfBytesToRead, size - position));
  if (count > 0) std::memcpy(lpBuffer, node->bytes.data() + position, count);
  file->position = position + count;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = count;
  if (lpOverlapped) {
    lpOverlapped->Internal = 0;
    lpOverlapped->InternalHigh = count;
    if (count == 0 && nNumberOfBytesToRead > 0) {
      // Reads at an explicit offset past the end report the end of the file.
      lpOverlapped->Internal = 0xC0000011;  // STATUS_END_OF_FILE
      return Fail(ERROR_HANDLE_EOF, FALSE);
    }
  }
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (DWORD e =
          SIM_ENTER(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped)) {
    return Fail(e, FALSE);
  }
  if (lpNumberOfBytesWritten == nullptr && lpOverlapped == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const ACCESS_MASK access = HandleAccessLocked(H(hFile));
  if (!(access & kWriteRights)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return Fail(ERROR_NOACCESS, FALSE);
  // A handle that may only append always writes at the end.
  uint64_t position = (access & FILE_WRITE_DATA) ? file->position : node->bytes.size();
  if (lpOverlapped && (access & FILE_WRITE_DATA)) {
    position = (static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset;
  }
  const uint64_t end = position + nNumberOfBytesToWrite;
  if (nNumberOfBytesToWrite > 0) {
    if (end > node->bytes.size()) node->bytes.resize(end, 0);  // a gap reads as zeros
    std::memcpy(node->bytes.data() + position, lpBuffer, nNumberOfBytesToWrite);
  }
  node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  file->position = end;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  if (lpOverlapped) {
    lpOverlapped->Internal = 0;
    lpOverlapped->InternalHigh = nNumberOfBytesToWrite;
  }
  return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove,
                                       PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  if (DWORD e = SIM_ENTER(hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod)) {
    return Fail(e, INVALID_SET_FILE_POINTER);
  }
  Lock lock(MachineLock());
  auto file = FileOfLocked(hFile);
  FileNode* node = file ? NodeOfLocked(*file->open) : nullptr;
  if (node == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  // Without the high part the distance is a signed 32-bit value.
  const int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>(
                (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                static_cast<uint32_t>(lDistanceToMove))
          : static_cast<int64_t>(lDistanceToMove);
  int64_t base = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(file->position); break;
    case FILE_END: base = static_cast<int64_t>(node->bytes.size()); break;
    default: return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  const int64_t target = base + distance;
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  file->position = static_cast<uint64_t>(target);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
  const DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
  return low;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (DWORD e = SIM_ENTER(lpFileName)) return Fail(e, FALSE);
  std::wstring full;
  if (DWORD e = ResolvePath(lpFileName, CurrentDirectory(), &full)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (DWORD e = DeleteFileLocked(full)) return Fail(e, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                                   DWORD dwFlags) {
  if (DWORD e = SIM_ENTER(lpExistingFileName, lpNewFileName, dwFlags)) {
    return Fail(e, FALSE);
  }
  constexpr DWORD kKnown = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                           MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;
  if ((dwFlags & ~kKnown) != 0 ||
      (lpNewFileName == nullptr && !(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT))) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::wstring current = CurrentDirectory();
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Nothing moves now: the operation is recorded for the restart, which cannot copy.
    if (dwFlags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    std::wstring from;
    std::wstring to;
    DWORD error = ResolvePath(lpExistingFileName, current, &from);
    if (error == 0 && lpNewFileName != nullptr) error = ResolvePath(lpNewFileName, current, &to);
    if (error == 0) {
      Lock lock(MachineLock());
      error = RecordForRestartLocked(from, lpNewFileName == nullptr ? nullptr : &to,
                                     (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0);
    }
    if (error != 0) return Fail(error, FALSE);
    return TRUE;
  }
  std::wstring from;
  std::wstring to;
  DWORD error = ResolvePath(lpExistingFileName, current, &from);
  if (error == 0) error = ResolvePath(lpNewFileName, current, &to);
  if (error == 0) {
    Lock lock(MachineLock());
    error = MoveLocked(from, to, dwFlags);
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (DWORD e = SIM_ENTER(lpFileName)) {
    return Fail(e, INVALID_FILE_ATTRIBUTES);
  }
  std::wstring full;
  DWORD attributes = 0;
  DWORD error = ResolvePath(lpFileName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    error = AttributesOfLocked(full, &attributes);
  }
  if (error != 0) return Fail(error, INVALID_FILE_ATTRIBUTES);
  return attributes;
}

extern "C" BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  if (DWORD e = SIM_ENTER(lpFileName, dwFileAttributes)) {
    return Fail(e, FALSE);
  }
  std::wstring full;
  DWORD error = ResolvePath(lpFileName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    error = found.missing;
    if (found.node != nullptr) {
      if (found.node->delete_pending || !MayChangeLocked(found.key)) {
        error = ERROR_ACCESS_DENIED;
      } else {
        found.node->attributes =
            dwFileAttributes &
            (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY);
      }
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (DWORD e = SIM_ENTER(lpPathName, lpSecurityAttributes)) {
    return Fail(e, FALSE);
  }
  std::wstring full;
  DWORD error = ResolvePath(lpPathName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    if (found.node != nullptr) {
      error = ERROR_ALREADY_EXISTS;
    } else if (found.missing == ERROR_PATH_NOT_FOUND) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (!MayChangeLocked(found.key)) {
      error = ERROR_ACCESS_DENIED;
    } else {
      AddNodeLocked(found.key, full, true).owner = EffectiveTokenLocked()->user_sid;
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  if (DWORD e = SIM_ENTER(lpPathName)) return Fail(e, FALSE);
  std::wstring full;
  DWORD error = ResolvePath(lpPathName, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    Lookup found = FindLocked(full);
    error = found.missing;
    if (found.node != nullptr) {
      if (!found.node->directory) {
        error = ERROR_DIRECTORY;
      } else if (IsDriveRoot(found.key) || found.node->delete_pending ||
                 !MayChangeLocked(found.key)) {
        error = ERROR_ACCESS_DENIED;
      } else if (HasChildrenLocked(found.key)) {
        error = ERROR_DIR_NOT_EMPTY;
      } else {
        FilesLocked().erase(found.key);
      }
    }
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

extern "C" DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  // The buffer is an output: traced by address, never read as text.
  if (DWORD e = SIM_ENTER(nBufferLength, static_cast<const void*>(lpBuffer))) {
    return Fail(e, 0);
  }
  std::wstring path;
  {
    Lock lock(MachineLock());
    path = TempPathLocked();
  }
  const DWORD length = static_cast<DWORD>(path.size());
  if (nBufferLength <= length) {
    // Too small: the size needed, terminator included, and a buffer holding nothing usable.
    if (lpBuffer != nullptr && nBufferLength > 0) {
      std::memset(lpBuffer, 0, nBufferLength * sizeof(WCHAR));
    }
    return length + 1;
  }
  std::memcpy(lpBuffer, path.c_str(), (length + 1) * sizeof(WCHAR));
  return length;
}

extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
  if (DWORD e = SIM_ENTER(pszPath)) return Fail(e, FALSE);
  if (pszPath == nullptr) return FALSE;
  std::wstring full;
  DWORD attributes = 0;
  DWORD error = ResolvePath(pszPath, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    error = AttributesOfLocked(full, &attributes);
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

namespace {

bool IsUncPath(const std::wstring& path) {
  return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

// Relative as the shell's path functions see it: neither rooted ("\...") nor with a drive.
bool IsRelativePath(const std::wstring& path) {
  return !(!path.empty() && path[0] == L'\\') && !(path.size() >= 2 && path[1] == L':');
}

// The root a path keeps through canonicalisation: "C:\", "C:", "\\server\share\", "\" or none.
size_t RootLength(const std::wstring& path) {
  if (IsUncPath(path)) {
    size_t end = path.find(L'\\', 2);
    if (end != std::wstring::npos) end = path.find(L'\\', end + 1);
    return end == std::wstring::npos ? path.size() : end + 1;
  }
  if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && path[2] == L'\\' ? 3 : 2;
  return !path.empty() && path[0] == L'\\' ? 1 : 0;
}

// Resolves the "." and ".." steps of a path as PathCanonicalizeW does: ".." takes away the step
// before it but never the root; a trailing backslash stays.
std::wstring CanonicalPath(const std::wstring& path) {
  const size_t root = RootLength(path);
  std::vector<std::wstring> steps;
  size_t at = root;
  while (at < path.size()) {
    size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring step = path.substr(at, end - at);
    if (step == L"..") {
      if (!steps.empty()) steps.pop_back();
    } else if (step != L"." && !step.empty()) {
      steps.push_back(step);
    }
    at = end + 1;
  }
  std::wstring out = path.substr(0, root);
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) out += L'\\';
    out += steps[i];
  }
  if (!steps.empty() && path.back() == L'\\') out += L'\\';
  if (out.empty()) out = L"\\";
  return out;
}

}  // namespace

extern "C" BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
  if (DWORD e = SIM_ENTER(static_cast<LPCWSTR>(pszPath), pszMore)) return Fail(e, FALSE);
  if (pszPath == nullptr || pszMore == nullptr) return FALSE;
  // The buffer holds MAX_PATH units; a path that long already has no terminator in it.
  const size_t length = wcsnlen(pszPath, MAX_PATH);
  std::wstring more(pszMore);
  if (!IsUncPath(more)) {
    // Backslashes that begin the appended part are dropped, so it never restarts at a root.
    const size_t first = more.find_first_not_of(L'\\');
    more.erase(0, first == std::wstring::npos ? more.size() : first);
  }
  std::wstring combined;
  bool fits = length < MAX_PATH;
  if (fits) {
    const std::wstring dir(pszPath, length);
    if (more.empty()) {
      combined = dir;
    } else if (dir.empty() || !IsRelativePath(more)) {
      combined = more;  // an absolute path replaces the one in the buffer
    } else {
      combined = dir;
      if (combined.back() != L'\\') combined += L'\\';
      combined += more;
    }
    combined = CanonicalPath(combined);
    fits = combined.size() < MAX_PATH;
  }
  if (!fits) {
    pszPath[0] = L'\0';
    return FALSE;
  }
  std::wmemcpy(pszPath, combined.c_str(), combined.size() + 1);
  return TRUE;
}

// ----- Win32: shell folders ----------------------------------------------------------------------

extern "C" HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags,
                                           LPWSTR pszPath) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hwnd), csidl, hToken, dwFlags,
                          static_cast<const void*>(pszPath))) {
    if (pszPath) *pszPath = 0;
    return HRESULT_FROM_WIN32(e);
  }
  if (pszPath == nullptr) return E_INVALIDARG;
  *pszPath = 0;
  if (dwFlags != SHGFP_TYPE_CURRENT && dwFlags != SHGFP_TYPE_DEFAULT) return E_INVALIDARG;
  Lock lock(MachineLock());
  std::wstring path;
  // The three folders are the same for every user, so the token does not matter.
  switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_WINDOWS: path = WindowsDirectoryLocked(); break;
    case CSIDL_SYSTEM: path = SystemDirectoryLocked(); break;
    case CSIDL_PROGRAM_FILES: path = ProgramFilesDirectoryLocked(); break;
    default: return E_INVALIDARG;  // no other folder exists on this machine
  }
  if (path.size() >= MAX_PATH) return E_FAIL;
  if (!(csidl & CSIDL_FLAG_DONT_VERIFY) && !DirectoryExistsLocked(path)) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return E_FAIL;  // a valid folder that does not exist
    MakeDirectoriesLocked(path);
  }
  std::memcpy(pszPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return S_OK;
}
