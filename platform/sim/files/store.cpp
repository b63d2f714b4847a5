// The file store: the entries of the store, opens with their sharing, the machine's folders and
// what other areas open and change in the store, with the files area's row of the table of areas.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "platform/sim/files/internal.h"
#include "platform/sim/files/store.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/snapshot.h"

namespace sim {
using namespace store;  // the store's names, shared by the files area's files

AreaUse& FilesUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

}  // namespace sim

namespace sim::store {

FileStore& Store() {
  static FileStore* store = new FileStore();
  FilesUse().Mark();
  return *store;
}

std::map<std::wstring, FileNode>& FilesLocked() { return Store().entries; }

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

}  // namespace sim::store

namespace sim {

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

}  // namespace sim

namespace sim::store {

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

}  // namespace sim::store

namespace sim {

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

// For WinVerifyTrust, which reads the file a caller holds open.
std::shared_ptr<FileOpen> FileOpenOfHandleLocked(HANDLE handle, ACCESS_MASK* access) {
  auto object = FileOfLocked(handle);
  if (!object) return nullptr;
  if (access) *access = HandleAccessLocked(H(handle));
  return object->open;
}

}  // namespace sim
