// Hives saved to and loaded from the file store, the users' hives that logons and profiles mount,
// and the machine's profile list.
//
// A hive file is a format of the sim's own; a loaded hive keeps its file open without sharing,
// and its changes are written back to the file when it is unloaded (by RegUnLoadKeyW, a logoff or
// the restart), as the configuration manager flushes a hive (Wine writes nothing back).
#include <cstring>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/registry/key_tree.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"

namespace sim {
using namespace keys;  // the key tree's names, shared by the registry's files
}  // namespace sim

namespace sim::keys {
namespace {

constexpr char kHiveMagic[8] = {'S', 'I', 'M', 'H', 'I', 'V', 'E', '2'};
constexpr uint32_t kSavedLinkFlag = 1;  // a key's flags in a hive file: it is a symbolic link

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const std::wstring& text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  for (wchar_t c : text) PutU32(out, static_cast<uint32_t>(c));
}

// A key: name, class, flags (a link or not), values (name, type, bytes), then its subkeys.
// Volatile keys are left out.
void SaveKey(const KeyNode& key, std::vector<uint8_t>& out) {
  PutText(out, key.name);
  PutText(out, key.class_name);
  PutU32(out, key.symlink ? kSavedLinkFlag : 0);
  PutU32(out, static_cast<uint32_t>(key.values.size()));
  for (const Value& value : key.values) {
    PutText(out, value.name);
    PutU32(out, value.type);
    PutU32(out, static_cast<uint32_t>(value.data.size()));
    out.insert(out.end(), value.data.begin(), value.data.end());
  }
  std::vector<const KeyNode*> saved;
  for (const auto& [upper, child] : key.subkeys) {
    if (!child->link && !child->volatile_key) saved.push_back(child.get());
  }
  PutU32(out, static_cast<uint32_t>(saved.size()));
  for (const KeyNode* child : saved) SaveKey(*child, out);
}

class HiveReader {
 public:
  explicit HiveReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  size_t remaining() const { return bytes_.size() - pos_; }
  bool U32(uint32_t* value) {
    if (remaining() < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= static_cast<uint32_t>(bytes_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool Text(std::wstring* text) {
    uint32_t length = 0;
    if (!U32(&length) || length > remaining() / 4) return false;
    text->clear();
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t c = 0;
      U32(&c);
      text->push_back(static_cast<wchar_t>(c));
    }
    return true;
  }
  bool Bytes(uint32_t count, std::vector<uint8_t>* out) {
    if (count > remaining()) return false;
    out->assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + count));
    pos_ += count;
    return true;
  }
  bool Magic() {
    if (remaining() < sizeof(kHiveMagic) ||
        std::memcmp(bytes_.data(), kHiveMagic, sizeof(kHiveMagic)) != 0) {
      return false;
    }
    pos_ += sizeof(kHiveMagic);
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t pos_ = 0;
};

// Reads a key written by SaveKey into `key` (whose name and place the caller sets).
bool LoadKey(HiveReader& in, KeyNode& key, int depth) {
  if (depth > kMaxKeyDepth) return false;
  std::wstring ignored_name;
  uint32_t flags = 0;
  uint32_t values = 0;
  if (!in.Text(&ignored_name) || !in.Text(&key.class_name) || !in.U32(&flags) ||
      (flags & ~kSavedLinkFlag) != 0 || !in.U32(&values)) {
    return false;
  }
  key.symlink = (flags & kSavedLinkFlag) != 0;
  if (values > in.remaining() / 12) return false;  // each value takes at least 12 bytes
  for (uint32_t i = 0; i < values; ++i) {
    Value value;
    uint32_t size = 0;
    if (!in.Text(&value.name) || !in.U32(&value.type) || !in.U32(&size) ||
        !in.Bytes(size, &value.data) || FindValue(key, value.name.c_str()) != nullptr) {
      return false;
    }
    key.values.push_back(std::move(value));
  }
  uint32_t subkeys = 0;
  if (!in.U32(&subkeys) || subkeys > in.remaining() / 20 || (key.symlink && subkeys != 0)) {
    return false;  // a link has no subkeys
  }
  for (uint32_t i = 0; i < subkeys; ++i) {
    // The name is read twice: once here to place the key, once by the recursion.
    HiveReader peek = in;
    std::wstring name;
    if (!peek.Text(&name) || name.empty() || name.size() > kMaxKeyNameChars ||
        name.find(L'\\') != std::wstring::npos || key.subkeys.count(Upper(name)) != 0) {
      return false;
    }
    auto child = NewKey(name, &key, key.hive);
    if (!LoadKey(in, *child, depth + 1)) return false;
  }
  return true;
}

std::wstring FullPathLocked(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return path;
  return CurrentIdentityLocked().current_directory + L"\\" + path;
}

// Mounts a hive read from a file below `parent`; the file stays open without sharing.
DWORD MountFileLocked(KeyNode& parent, const std::wstring& name, const std::wstring& path,
                      HiveKind kind, const std::wstring& owner_sid,
                      std::shared_ptr<KeyNode>* mounted) {
  DWORD error = 0;
  auto open =
      OpenExistingFileLocked(FullPathLocked(path), GENERIC_READ | GENERIC_WRITE, 0, false, &error);
  if (!open) return error;
  std::vector<uint8_t> bytes;
  FileBytesLocked(*open, &bytes);
  auto scratch = std::make_shared<KeyNode>();
  scratch->hive = std::make_shared<Hive>();
  scratch->hive->kind = kind;
  scratch->hive->owner_sid = owner_sid;
  scratch->hive->under_users = &parent == Registry().users.get();
  HiveReader in(bytes);
  if (!in.Magic() || !LoadKey(in, *scratch, 0) || in.remaining() != 0) {
    return ERROR_NOT_REGISTRY_FILE;
  }
  scratch->symlink = false;  // a hive's root is a key, even one saved from a link
  scratch->hive->file = std::move(open);
  scratch->hive->file_path = FullPathLocked(path);
  scratch->name = name;
  scratch->parent = &parent;
  scratch->hive_root = true;
  parent.subkeys[Upper(name)] = scratch;
  *mounted = scratch;
  return ERROR_SUCCESS;
}

// The bytes of a hive file holding `root` and everything below it (volatile keys left out).
std::vector<uint8_t> HiveFileBytes(const KeyNode& root) {
  std::vector<uint8_t> bytes(kHiveMagic, kHiveMagic + sizeof(kHiveMagic));
  SaveKey(root, bytes);
  return bytes;
}

// Unmounts a hive; one read from a file is written back to it first.
void UnmountLocked(KeyNode& root) {
  if (root.hive->file && !root.link) SetFileBytesLocked(*root.hive->file, HiveFileBytes(root));
  DeleteKeyLocked(root);
}

void PutValueLocked(KeyNode& key, const wchar_t* name, DWORD type, const std::wstring& text) {
  Value value;
  value.name = name;
  value.type = type;
  for (wchar_t c : text + L'\0') {
    const WCHAR unit = static_cast<WCHAR>(c);
    const auto* raw = reinterpret_cast<const uint8_t*>(&unit);
    value.data.insert(value.data.end(), raw, raw + sizeof(WCHAR));
  }
  if (Value* existing = FindValue(key, name)) {
    *existing = std::move(value);
  } else {
    key.values.push_back(std::move(value));
  }
  key.last_write = Now();
}

// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList, made when missing.
std::shared_ptr<KeyNode> ProfileListLocked() {
  std::shared_ptr<KeyNode> key = ChildLocked(*Registry().machine, L"SOFTWARE");
  for (const wchar_t* name : {L"Microsoft", L"Windows NT", L"CurrentVersion", L"ProfileList"}) {
    std::shared_ptr<KeyNode> child = ChildLocked(*key, name);
    if (!child) child = NewKey(name, key.get(), key->hive);
    key = child;
  }
  return key;
}

}  // namespace
}  // namespace sim::keys

namespace sim {

void AddProfileLocked(const std::wstring& sid, const std::wstring& image_path) {
  std::shared_ptr<KeyNode> list = ProfileListLocked();
  std::shared_ptr<KeyNode> entry = ChildLocked(*list, sid);
  if (!entry) entry = NewKey(sid, list.get(), list->hive);
  PutValueLocked(*entry, L"ProfileImagePath", REG_EXPAND_SZ, image_path);
  NotifyLocked(list.get(), REG_NOTIFY_CHANGE_NAME);
}

std::wstring ProfileHiveFileLocked(const std::wstring& sid) {
  std::shared_ptr<KeyNode> entry = ChildLocked(*ProfileListLocked(), sid);
  if (!entry) return L"";
  const Value* value = FindValue(*entry, L"ProfileImagePath");
  if (value == nullptr || !IsString(value->type)) return L"";
  std::wstring text;
  for (size_t i = 0; i + sizeof(WCHAR) <= value->data.size(); i += sizeof(WCHAR)) {
    WCHAR c;
    std::memcpy(&c, value->data.data() + i, sizeof(WCHAR));
    if (c == 0) break;
    text.push_back(c);
  }
  if (value->type == REG_EXPAND_SZ) text = Expand(text);
  const std::wstring file = text + L"\\ntuser.dat";
  const FileEntry found = FileEntryLocked(FullPathLocked(file));
  return found.exists && !found.directory ? file : L"";
}

bool UserHiveHasFileLocked(const std::wstring& sid) {
  auto it = Registry().users->subkeys.find(Upper(sid));
  return it != Registry().users->subkeys.end() && !it->second->link &&
         it->second->hive->kind == HiveKind::User && it->second->hive->file != nullptr;
}

std::vector<uint8_t> EmptyHiveFileBytes() {
  KeyNode empty;
  return HiveFileBytes(empty);
}

void RegistryLeaksLocked(LeakReport& report) {
  // Key handles are in the handle table, which the kernel counts.
  report.loaded_hives = Registry().loaded_hives;
}

DWORD LoadUserHiveLocked(const std::wstring& sid, const std::wstring& hive_file) {
  KeyNode& users = *Registry().users;
  if (users.subkeys.count(Upper(sid))) return ERROR_SUCCESS;
  const FileEntry file =
      hive_file.empty() ? FileEntry{} : FileEntryLocked(FullPathLocked(hive_file));
  if (file.exists && !file.directory) {
    std::shared_ptr<KeyNode> mounted;
    if (DWORD e = MountFileLocked(users, sid, hive_file, HiveKind::User, sid, &mounted)) return e;
  } else {
    MountHive(users, sid, HiveKind::User, sid);
  }
  NotifyLocked(&users, REG_NOTIFY_CHANGE_NAME);
  return ERROR_SUCCESS;
}

DWORD UnloadUserHiveLocked(const std::wstring& sid) {
  KeyNode& users = *Registry().users;
  auto it = users.subkeys.find(Upper(sid));
  if (it == users.subkeys.end() || it->second->link || it->second->hive->kind != HiveKind::User) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (it->second->hive->open_handles > 0) return ERROR_ACCESS_DENIED;
  UnmountLocked(*it->second);
  return ERROR_SUCCESS;
}

void UnloadHivesForRestartLocked() {
  for (const auto& parent : {Registry().machine, Registry().users}) {
    std::vector<std::shared_ptr<KeyNode>> roots;
    for (const auto& [upper, child] : parent->subkeys) {
      if (!child->link && child->hive_root &&
          (child->hive->kind == HiveKind::User || child->hive->kind == HiveKind::Loaded)) {
        roots.push_back(child);
      }
    }
    for (const auto& root : roots) {
      // The hive is written back as at a shutdown; keys of the host that are still open keep
      // the hive object, but not its file.
      if (root->hive->file) SetFileBytesLocked(*root->hive->file, HiveFileBytes(*root));
      root->hive->file.reset();
      UnmountLocked(*root);
    }
  }
  Registry().loaded_hives = 0;
}

void LoadUserHive(const std::wstring& sid) {
  Lock lock(MachineLock());
  LoadUserHiveLocked(sid, L"");
}

bool UnloadUserHive(const std::wstring& sid) {
  Lock lock(MachineLock());
  return UnloadUserHiveLocked(sid) == ERROR_SUCCESS;
}

bool IsHiveLoaded(HKEY root, const std::wstring& name) {
  Lock lock(MachineLock());
  std::shared_ptr<KeyNode> parent;
  if (H(root) == H(HKEY_USERS)) parent = Registry().users;
  if (H(root) == H(HKEY_LOCAL_MACHINE)) parent = Registry().machine;
  if (!parent) return false;
  auto it = parent->subkeys.find(Upper(name));
  return it != parent->subkeys.end() && it->second->hive_root;
}

}  // namespace sim

using namespace sim;

extern "C" LSTATUS WINAPI RegSaveKeyW(HKEY hKey, LPCWSTR lpFile,
                                      const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  if (DWORD e = SIM_ENTER(hKey, lpFile, lpSecurityAttributes)) {
    return static_cast<LSTATUS>(e);
  }
  if (lpFile == nullptr || *lpFile == 0) return ERROR_INVALID_PARAMETER;
  // As on Windows, the file is created before the key is saved into it, so a save that fails
  // for want of the privilege (or because the key is gone) leaves an empty file behind.
  std::wstring path;
  std::vector<uint8_t> bytes;
  LSTATUS status = ERROR_SUCCESS;
  {
    Lock lock(MachineLock());
    Target target;
    if (DWORD e = ResolveLocked(hKey, &target)) return static_cast<LSTATUS>(e);
    path = FullPathLocked(lpFile);
    const std::wstring file_key = FileKey(path);
    const size_t slash = file_key.rfind(L'\\');
    if (slash == std::wstring::npos ||
        !DirectoryExistsLocked(slash == 2 ? file_key.substr(0, 3) : file_key.substr(0, slash))) {
      return ERROR_PATH_NOT_FOUND;
    }
    // Unlike Wine, which replaces the file, Windows refuses to overwrite one.
    if (FileEntryLocked(file_key).exists) return ERROR_ALREADY_EXISTS;
    if (!MayChangeFileLocked(file_key)) return ERROR_ACCESS_DENIED;
    if (!PrivilegeEnabledLocked(*EffectiveTokenLocked(), SE_BACKUP_NAME)) {
      status = ERROR_PRIVILEGE_NOT_HELD;
    } else if (target.key->deleted) {
      status = ERROR_KEY_DELETED;
    } else {
      bytes.assign(kHiveMagic, kHiveMagic + sizeof(kHiveMagic));
      SaveKey(*target.key, bytes);
    }
  }
  // The file store makes the file with its own bookkeeping; it takes the machine lock itself.
  PutFile(path, bytes);
  return status;
}

namespace sim::keys {
namespace {

// The parent of a hive that RegLoadKeyW or RegUnLoadKeyW names: HKLM or HKU itself.
DWORD HiveParentLocked(HKEY handle, std::shared_ptr<KeyNode>* parent) {
  Target target;
  if (DWORD e = ResolveLocked(handle, &target)) return e;
  if (target.key != Registry().machine && target.key != Registry().users)
    return ERROR_INVALID_PARAMETER;
  *parent = target.key;
  return ERROR_SUCCESS;
}

bool BackupAndRestoreEnabledLocked() {
  auto token = EffectiveTokenLocked();
  return PrivilegeEnabledLocked(*token, SE_BACKUP_NAME) &&
         PrivilegeEnabledLocked(*token, SE_RESTORE_NAME);
}

}  // namespace
}  // namespace sim::keys

extern "C" LSTATUS WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
  if (DWORD e = SIM_ENTER(hKey, lpSubKey, lpFile)) return static_cast<LSTATUS>(e);
  Lock lock(MachineLock());
  if (!BackupAndRestoreEnabledLocked()) return ERROR_PRIVILEGE_NOT_HELD;
  if (lpSubKey == nullptr || *lpSubKey == 0 || lpFile == nullptr || *lpFile == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<KeyNode> parent;
  if (DWORD e = HiveParentLocked(hKey, &parent)) return static_cast<LSTATUS>(e);
  const std::wstring name = lpSubKey;
  if (name.find(L'\\') != std::wstring::npos || name.size() > kMaxKeyNameChars) {
    return ERROR_INVALID_PARAMETER;
  }
  if (parent->subkeys.count(Upper(name))) return ERROR_ALREADY_EXISTS;
  std::shared_ptr<KeyNode> mounted;
  if (DWORD e = MountFileLocked(*parent, name, lpFile, HiveKind::Loaded, L"", &mounted)) {
    return static_cast<LSTATUS>(e);
  }
  ++Registry().loaded_hives;
  NotifyLocked(parent.get(), REG_NOTIFY_CHANGE_NAME);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (DWORD e = SIM_ENTER_RELEASE(hKey, lpSubKey)) return static_cast<LSTATUS>(e);
  Lock lock(MachineLock());
  if (!BackupAndRestoreEnabledLocked()) return ERROR_PRIVILEGE_NOT_HELD;
  if (lpSubKey == nullptr || *lpSubKey == 0) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyNode> parent;
  if (DWORD e = HiveParentLocked(hKey, &parent)) return static_cast<LSTATUS>(e);
  auto it = parent->subkeys.find(Upper(lpSubKey));
  if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
  KeyNode& root = *it->second;
  if (!root.hive_root) return ERROR_INVALID_PARAMETER;
  // The system's hives and logged-on users' hives are in use; so is a hive with open keys.
  if (root.link || root.hive->kind != HiveKind::Loaded || root.hive->open_handles > 0) {
    return ERROR_ACCESS_DENIED;
  }
  UnmountLocked(root);
  --Registry().loaded_hives;
  return ERROR_SUCCESS;
}
