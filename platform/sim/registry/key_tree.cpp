// The registry's key tree: keys and values, the predefined keys and key handles, the access the
// default ACLs grant, symbolic links, deleting, the machine's own values, and the registry's row
// of the table of areas.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>

#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/registry/key_tree.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/strings/internal.h"

namespace sim {
using namespace keys;  // the key tree's names, shared by the registry's files

AreaUse& RegistryUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

}  // namespace sim

namespace sim::keys {

RegistryState& Registry() {
  static RegistryState* state = new RegistryState();  // never destroyed, as the machine
  RegistryUse().Mark();
  return *state;
}

FILETIME Now() {
  // 100 ns intervals since 1601-01-01.
  const auto since_1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const uint64_t ticks = static_cast<uint64_t>(since_1970.count()) / 100 + 116444736000000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The WCHAR that ends `size` bytes of data (the data holds at least one WCHAR).
WCHAR LastChar(const uint8_t* data, size_t size) {
  WCHAR c;
  std::memcpy(&c, data + size - sizeof(WCHAR), sizeof(WCHAR));
  return c;
}

std::shared_ptr<KeyNode> NewKey(const std::wstring& name, KeyNode* parent,
                                const std::shared_ptr<Hive>& hive) {
  auto key = std::make_shared<KeyNode>();
  key->name = name;
  key->parent = parent;
  key->hive = hive;
  key->last_write = Now();
  if (parent) parent->subkeys[Upper(name)] = key;
  return key;
}

std::shared_ptr<KeyNode> MountHive(KeyNode& parent, const std::wstring& name, HiveKind kind,
                                   const std::wstring& owner_sid) {
  auto hive = std::make_shared<Hive>();
  hive->kind = kind;
  hive->owner_sid = owner_sid;
  hive->under_users = &parent == Registry().users.get();
  auto root = NewKey(name, &parent, hive);
  root->hive_root = true;
  return root;
}

// A subkey by name, with link keys followed; null when there is none.
std::shared_ptr<KeyNode> ChildLocked(const KeyNode& key, const std::wstring& name) {
  auto it = key.subkeys.find(Upper(name));
  if (it == key.subkeys.end()) return nullptr;
  return it->second->link ? it->second->link : it->second;
}

Value* FindValue(KeyNode& key, const wchar_t* name) {
  const std::wstring wanted = Upper(name ? name : L"");
  for (Value& value : key.values) {
    if (Upper(value.name) == wanted) return &value;
  }
  return nullptr;
}

const Value* FindValue(const KeyNode& key, const wchar_t* name) {
  return FindValue(const_cast<KeyNode&>(key), name);
}

}  // namespace sim::keys

namespace sim::keys {
namespace {

// Links followed in the parse of one path, chains included.
constexpr int kMaxLinkHops = 16;

// Whether links between two hives are followed: the machine's hives, HKU\.DEFAULT and the roots
// form one trust class; every other hive (a user's, one RegLoadKeyW mounted) is a class alone.
bool SameTrustClass(const Hive& a, const Hive& b) {
  auto system = [](const Hive& hive) {
    return hive.kind == HiveKind::Master || hive.kind == HiveKind::Machine ||
           hive.kind == HiveKind::System;
  };
  return (system(a) && system(b)) || &a == &b;
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

// The text of a REG_LINK value: its WCHARs as stored (a terminator, if stored, is part of it).
std::wstring LinkText(const Value& value) {
  std::wstring text(value.data.size() / sizeof(WCHAR), L'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    WCHAR unit;
    std::memcpy(&unit, value.data.data() + i * sizeof(WCHAR), sizeof(WCHAR));
    text[i] = static_cast<wchar_t>(unit);
  }
  return text;
}

}  // namespace sim::keys

namespace sim::keys {
namespace {

// The key a link names: its REG_LINK "SymbolicLinkValue" read as a path of the registry's own
// namespace, "\REGISTRY\MACHINE\..." or "\REGISTRY\USER\..." in any case. The root it starts
// at and the names below it; false when the link names no such path.
bool LinkTargetLocked(KeyNode& link, std::shared_ptr<KeyNode>* root,
                      std::vector<std::wstring>* names) {
  const Value* value = FindValue(link, kLinkValueName);
  if (value == nullptr || value->type != REG_LINK) return false;
  const std::wstring text = LinkText(*value);
  const std::wstring prefix = L"\\REGISTRY\\";
  if (text.size() <= prefix.size() || !EqualsNoCase(text.substr(0, prefix.size()), prefix)) {
    return false;
  }
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : text.substr(prefix.size()) + L'\\') {
    if (c != L'\\') {
      part.push_back(c);
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  if (parts.empty()) return false;
  if (EqualsNoCase(parts[0], L"MACHINE")) {
    *root = Registry().machine;
  } else if (EqualsNoCase(parts[0], L"USER")) {
    *root = Registry().users;
  } else {
    return false;
  }
  names->assign(parts.begin() + 1, parts.end());
  return true;
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

DWORD ReachLocked(const std::shared_ptr<KeyNode>& from, std::vector<std::wstring> names,
                  bool follow_last, Reached* out) {
  if (from->deleted) return ERROR_KEY_DELETED;
  std::shared_ptr<KeyNode> at = from;
  int hops = 0;
  const Hive* link_hive = nullptr;  // of the link followed last, until its target's hive is met
  // Goes on from the key a link names, with the names after the link's own.
  auto follow = [&](KeyNode& link, size_t rest) -> DWORD {
    std::shared_ptr<KeyNode> root;
    std::vector<std::wstring> target;
    if (++hops > kMaxLinkHops || !LinkTargetLocked(link, &root, &target)) {
      return ERROR_FILE_NOT_FOUND;
    }
    target.insert(target.end(), names.begin() + static_cast<std::ptrdiff_t>(rest), names.end());
    names = std::move(target);
    at = root;
    link_hive = link.hive.get();
    return ERROR_SUCCESS;
  };
  size_t i = 0;
  if (at->symlink && !names.empty()) {
    if (DWORD e = follow(*at, 0)) return e;
  }
  while (i < names.size()) {
    std::shared_ptr<KeyNode> child = ChildLocked(*at, names[i]);
    if (!child) break;
    if (child->symlink && (i + 1 < names.size() || follow_last)) {
      if (DWORD e = follow(*child, i + 1)) return e;
      i = 0;
      continue;
    }
    at = child;
    ++i;
    if (link_hive != nullptr && at->hive->kind != HiveKind::Master) {
      if (!SameTrustClass(*link_hive, *at->hive)) return ERROR_ACCESS_DENIED;
      link_hive = nullptr;
    }
  }
  // A link to a root itself (no hive entered on the way) is checked against the root; one whose
  // target's hive is missing leads to nothing.
  if (link_hive != nullptr && i == names.size() && !SameTrustClass(*link_hive, *at->hive)) {
    return ERROR_ACCESS_DENIED;
  }
  out->key = at;
  out->missing.assign(names.begin() + static_cast<std::ptrdiff_t>(i), names.end());
  return ERROR_SUCCESS;
}

// The rights the ACL of a key grants a token (a default installation's ACLs).
ACCESS_MASK AllowedLocked(const KeyNode& key, const Token& token) {
  const Hive& hive = *key.hive;
  switch (hive.kind) {
    case HiveKind::Master:
    case HiveKind::Machine:
    case HiveKind::System: return token.administrator ? kFullAccess : kReadAccess;
    case HiveKind::User:
      return token.administrator || EqualsNoCase(token.user_sid, hive.owner_sid) ? kFullAccess : 0;
    case HiveKind::Loaded:
      if (token.administrator) return kFullAccess;
      return hive.under_users ? 0 : kReadAccess;
  }
  return 0;
}

ACCESS_MASK MapKeyAccess(REGSAM access) {
  ACCESS_MASK out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                               MAXIMUM_ALLOWED | KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & GENERIC_READ) out |= KEY_READ;
  if (access & GENERIC_WRITE) out |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) out |= KEY_EXECUTE;
  if (access & GENERIC_ALL) out |= KEY_ALL_ACCESS;
  return out;
}

// The access check of an open: the rights granted, or ERROR_ACCESS_DENIED.
DWORD CheckAccessLocked(const KeyNode& key, REGSAM wanted, ACCESS_MASK* granted) {
  const ACCESS_MASK allowed = AllowedLocked(key, *EffectiveTokenLocked());
  ACCESS_MASK requested = MapKeyAccess(wanted);
  if (wanted & MAXIMUM_ALLOWED) {
    if (allowed == 0) return ERROR_ACCESS_DENIED;
    requested |= allowed;
  }
  if (requested & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = requested;
  return ERROR_SUCCESS;
}

bool IsPredefined(HKEY key) {
  const uint32_t low = static_cast<uint32_t>(H(key));
  return low >= 0x80000000u && low <= 0x80000006u;
}

}  // namespace sim::keys

namespace sim::keys {
namespace {

// HKEY_CURRENT_USER: the hive of the process token's user (impersonation does not change it),
// or HKU\.DEFAULT when that hive is not loaded.
std::shared_ptr<KeyNode> CurrentUserLocked() {
  if (auto own = ChildLocked(*Registry().users, ProcessTokenLocked()->user_sid)) return own;
  return ChildLocked(*Registry().users, L".DEFAULT");
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

std::shared_ptr<KeyNode> PredefinedLocked(HKEY key) {
  switch (static_cast<uint32_t>(H(key))) {
    case 0x80000000u: {  // HKEY_CLASSES_ROOT: the machine's classes
      auto software = ChildLocked(*Registry().machine, L"SOFTWARE");
      return software ? ChildLocked(*software, L"Classes") : nullptr;
    }
    case 0x80000001u: return CurrentUserLocked();
    case 0x80000002u: return Registry().machine;
    case 0x80000003u: return Registry().users;
    default: return nullptr;
  }
}

// The key a handle designates with the access the handle has. A predefined handle is opened
// with MAXIMUM_ALLOWED, as Windows opens them.
DWORD ResolveLocked(HKEY handle, Target* target) {
  if (handle == nullptr) return ERROR_INVALID_HANDLE;
  if (IsPredefined(handle)) {
    target->key = PredefinedLocked(handle);
    if (!target->key) return ERROR_INVALID_HANDLE;
    target->access = AllowedLocked(*target->key, *EffectiveTokenLocked());
    return ERROR_SUCCESS;
  }
  auto object = LookupAsLocked<KeyObject>(H(handle));
  if (!object) return ERROR_INVALID_HANDLE;
  target->key = object->node;
  target->access = HandleAccessLocked(H(handle));
  return ERROR_SUCCESS;
}

// The checks of an operation on a handle: the right it needs, then that the key still exists.
DWORD UseLocked(HKEY handle, ACCESS_MASK needed, Target* target) {
  if (DWORD e = ResolveLocked(handle, target)) return e;
  if ((target->access & needed) != needed) return ERROR_ACCESS_DENIED;
  if (target->key->deleted) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

HKEY AddKeyHandleLocked(const std::shared_ptr<KeyNode>& key, ACCESS_MASK granted) {
  return reinterpret_cast<HKEY>(AddHandleLocked(std::make_shared<KeyObject>(key), granted));
}

// Splits a relative path into names. A leading backslash is refused; empty names between or
// after backslashes are skipped, as Windows does.
DWORD SplitPath(const wchar_t* path, std::vector<std::wstring>* names) {
  names->clear();
  if (path == nullptr) return ERROR_SUCCESS;
  if (path[0] == L'\\') return ERROR_BAD_PATHNAME;
  std::wstring name;
  for (const wchar_t* p = path;; ++p) {
    if (*p == L'\\' || *p == 0) {
      if (!name.empty()) names->push_back(name);
      name.clear();
      if (*p == 0) break;
    } else {
      name.push_back(*p);
    }
  }
  return ERROR_SUCCESS;
}

// The key a path names from a key, every link on the way followed (the last name's unless
// `open_link`).
DWORD WalkLocked(const std::shared_ptr<KeyNode>& from, const std::vector<std::wstring>& names,
                 std::shared_ptr<KeyNode>* found, bool open_link) {
  Reached reached;
  if (DWORD e = ReachLocked(from, names, !open_link, &reached)) return e;
  if (!reached.missing.empty()) return ERROR_FILE_NOT_FOUND;
  *found = reached.key;
  return ERROR_SUCCESS;
}

// Opens a path relative to a handle with an access check on the key reached; `open_link` opens
// a link in the last name itself (REG_OPTION_OPEN_LINK).
DWORD OpenPathLocked(HKEY handle, const wchar_t* path, REGSAM wanted, std::shared_ptr<KeyNode>* key,
                     ACCESS_MASK* granted, bool open_link) {
  Target target;
  if (DWORD e = ResolveLocked(handle, &target)) return e;
  std::vector<std::wstring> names;
  if (DWORD e = SplitPath(path, &names)) return e;
  if (DWORD e = WalkLocked(target.key, names, key, open_link)) return e;
  return CheckAccessLocked(**key, wanted, granted);
}

// The full path of a key below its root ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), with the names as
// they were created.
std::wstring KeyPathLocked(const KeyNode& key) {
  std::wstring path = key.name;
  for (const KeyNode* at = key.parent; at != nullptr; at = at->parent) {
    path = at->name + L"\\" + path;
  }
  return path;
}

}  // namespace sim::keys

namespace sim::keys {
namespace {

// Marks a detached key and everything below it deleted; notifications on them fire.
void MarkDeletedLocked(KeyNode& key) {
  key.deleted = true;
  key.parent = nullptr;
  for (Registration& registration : key.registrations) FireLocked(registration);
  for (auto& [upper, child] : key.subkeys) {
    if (!child->link) MarkDeletedLocked(*child);
  }
  key.subkeys.clear();
  key.values.clear();
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

void DeleteKeyLocked(KeyNode& key) {
  KeyNode* parent = key.parent;
  auto it = parent->subkeys.find(Upper(key.name));
  std::shared_ptr<KeyNode> keep = it->second;
  parent->subkeys.erase(it);
  MarkDeletedLocked(*keep);
  parent->last_write = Now();
  NotifyLocked(parent, REG_NOTIFY_CHANGE_NAME);
}

// A key whose deletion Windows refuses: the roots, hive roots and link keys.
bool Undeletable(const KeyNode& key) {
  return key.parent == nullptr || key.hive_root || key.hive->kind == HiveKind::Master;
}

bool SubtreeDeletable(const KeyNode& key) {
  if (Undeletable(key)) return false;
  for (const auto& [upper, child] : key.subkeys) {
    if (child->link || !SubtreeDeletable(*child)) return false;
  }
  return true;
}

// RegDeleteKeyW's deletion of the key a path names from a key: links on the way are followed,
// and a link in the last name answers ERROR_FILE_NOT_FOUND, as the registry's delete methods
// answer for a link; nothing is deleted then.
DWORD DeleteKeyByPathLocked(const std::shared_ptr<KeyNode>& from,
                            const std::vector<std::wstring>& names) {
  std::shared_ptr<KeyNode> key;
  if (DWORD e = WalkLocked(from, names, &key, /*open_link=*/true)) return e;
  if (key->symlink) return ERROR_FILE_NOT_FOUND;
  ACCESS_MASK granted = 0;
  if (DWORD e = CheckAccessLocked(*key, DELETE, &granted)) return e;
  // Windows deletes one key at a time: a key with subkeys stays.
  if (Undeletable(*key) || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  DeleteKeyLocked(*key);
  return ERROR_SUCCESS;
}

// SHDeleteKeyW's deletion of a key with everything below it, as the shell's library does it with
// the registry functions: the key is opened (a link, the last name's too, is followed), its
// subkeys are deleted one by one in the same way, then the key by its path as RegDeleteKeyW
// deletes it. So a link in the tree leads into the key it names, whose subkeys go, and then the
// link answers ERROR_FILE_NOT_FOUND and the deletion stops there. A chain of opens deeper than a
// hive can be (a link back into the tree) ends with ERROR_CANTOPEN.
DWORD DeleteTreeLocked(const std::shared_ptr<KeyNode>& from, const std::vector<std::wstring>& names,
                       int depth) {
  if (depth > kMaxKeyDepth) return ERROR_CANTOPEN;
  std::shared_ptr<KeyNode> key;
  if (DWORD e = WalkLocked(from, names, &key)) return e;
  ACCESS_MASK granted = 0;
  if (DWORD e = CheckAccessLocked(*key, KEY_READ | DELETE, &granted)) return e;
  while (!key->subkeys.empty() && !key->deleted) {
    const std::wstring child = key->subkeys.begin()->second->name;
    if (DWORD e = DeleteTreeLocked(key, {child}, depth + 1)) return e;
  }
  return DeleteKeyByPathLocked(from, names);
}

// A REG_EXPAND_SZ expands with the variables of a service's environment (strings area).
std::wstring Expand(const std::wstring& text) { return ExpandEnvironment(text); }

}  // namespace sim::keys

namespace sim {

void ResetRegistryLocked() {
  RegisterSystemModuleLocked(L"ntdll.dll",
                             {{"NtDeleteKey", 0, reinterpret_cast<void (*)()>(&NtDeleteKey)}});
  RegistryState& state = Registry();
  state.watched.clear();
  state.loaded_hives = 0;
  auto master = std::make_shared<Hive>();
  master->kind = HiveKind::Master;
  state.machine = NewKey(L"HKEY_LOCAL_MACHINE", nullptr, master);
  state.users = NewKey(L"HKEY_USERS", nullptr, master);

  auto software = MountHive(*state.machine, L"SOFTWARE", HiveKind::Machine, L"");
  NewKey(L"Classes", software.get(), software->hive);
  auto system = MountHive(*state.machine, L"SYSTEM", HiveKind::Machine, L"");
  auto control_set = NewKey(L"CurrentControlSet", system.get(), system->hive);
  auto control = NewKey(L"Control", control_set.get(), system->hive);
  NewKey(L"Session Manager", control.get(), system->hive);
  NewKey(L"Services", control_set.get(), system->hive);
  MountHive(*state.machine, L"HARDWARE", HiveKind::Machine, L"");

  auto default_user = MountHive(*state.users, L".DEFAULT", HiveKind::System, L"");
  // HKU\S-1-5-18, LocalSystem's hive, is the .DEFAULT hive under a second name.
  auto system_user = NewKey(kLocalSystemSid, state.users.get(), default_user->hive);
  system_user->hive_root = true;
  system_user->link = default_user;
  const std::wstring admin = DefaultAdmin().user_sid;
  MountHive(*state.users, admin, HiveKind::User, admin);

  // The profiles every installation has: those of the three service accounts.
  for (const auto& [sid, path] :
       {std::pair<const wchar_t*, const wchar_t*>{L"S-1-5-18",
                                                  L"%systemroot%\\system32\\config\\systemprofile"},
        {L"S-1-5-19", L"%systemroot%\\ServiceProfiles\\LocalService"},
        {L"S-1-5-20", L"%systemroot%\\ServiceProfiles\\NetworkService"}}) {
    AddProfileLocked(sid, path);
  }
}

}  // namespace sim

namespace sim::keys {
namespace {

// The key at a path below HKEY_LOCAL_MACHINE, or null.
std::shared_ptr<KeyNode> MachineKeyLocked(const std::wstring& path) {
  std::vector<std::wstring> names;
  std::shared_ptr<KeyNode> key;
  if (SplitPath(path.c_str(), &names) != ERROR_SUCCESS ||
      WalkLocked(Registry().machine, names, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

DWORD AppendToMachineMultiStringLocked(const std::wstring& path, const wchar_t* name,
                                       const std::vector<std::wstring>& strings) {
  std::shared_ptr<KeyNode> key = MachineKeyLocked(path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  ACCESS_MASK granted = 0;
  if (DWORD e = CheckAccessLocked(*key, KEY_QUERY_VALUE | KEY_SET_VALUE, &granted)) return e;
  std::vector<uint8_t> bytes;
  Value* value = FindValue(*key, name);
  if (value != nullptr && value->type == REG_MULTI_SZ) {
    bytes = value->data;
    bytes.resize(bytes.size() - bytes.size() % sizeof(WCHAR));
    // The list's own terminator goes; the new strings and a new terminator follow.
    const size_t units = bytes.size() / sizeof(WCHAR);
    if (units >= 2 && LastChar(bytes.data(), bytes.size()) == 0 &&
        LastChar(bytes.data(), bytes.size() - sizeof(WCHAR)) == 0) {
      bytes.resize(bytes.size() - sizeof(WCHAR));
    }
  }
  auto put = [&bytes](const std::wstring& text) {
    for (wchar_t c : text) {
      const WCHAR unit = static_cast<WCHAR>(c);
      const auto* raw = reinterpret_cast<const uint8_t*>(&unit);
      bytes.insert(bytes.end(), raw, raw + sizeof(WCHAR));
    }
    bytes.insert(bytes.end(), sizeof(WCHAR), 0);
  };
  for (const std::wstring& text : strings) put(text);
  put(L"");
  if (value != nullptr) {
    value->type = REG_MULTI_SZ;
    value->data = std::move(bytes);
  } else {
    key->values.push_back(Value{name, REG_MULTI_SZ, std::move(bytes)});
  }
  key->last_write = Now();
  NotifyLocked(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

bool TakeMachineValueLocked(const std::wstring& path, const wchar_t* name, DWORD* type,
                            std::vector<uint8_t>* data) {
  std::shared_ptr<KeyNode> key = MachineKeyLocked(path);
  if (!key) return false;
  const std::wstring wanted = Upper(name);
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (Upper(it->name) != wanted) continue;
    *type = it->type;
    *data = std::move(it->data);
    key->values.erase(it);
    key->last_write = Now();
    NotifyLocked(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
    return true;
  }
  return false;
}

}  // namespace sim::keys

namespace sim {

DWORD RecordPendingFileOperationLocked(const std::wstring& source, const std::wstring& target) {
  return AppendToMachineMultiStringLocked(kSessionManagerKey, kPendingFileRenameOperations,
                                          {source, target});
}

bool TakePendingFileOperationsLocked(std::vector<uint8_t>* data) {
  DWORD type = REG_NONE;
  return TakeMachineValueLocked(kSessionManagerKey, kPendingFileRenameOperations, &type, data) &&
         type == REG_MULTI_SZ;
}

void DeleteMachineKeyTreeLocked(const std::wstring& path) {
  std::shared_ptr<KeyNode> key = MachineKeyLocked(path);
  if (key && SubtreeDeletable(*key)) DeleteKeyLocked(*key);
}

LSTATUS OpenKeyLocked(HKEY key, const wchar_t* sub_key, REGSAM access, HKEY* result,
                      bool open_link) {
  *result = nullptr;
  std::shared_ptr<KeyNode> node;
  ACCESS_MASK granted = 0;
  if (DWORD e = OpenPathLocked(key, sub_key, access, &node, &granted, open_link)) {
    return static_cast<LSTATUS>(e);
  }
  *result = AddKeyHandleLocked(node, granted);
  return ERROR_SUCCESS;
}

void CloseKeyLocked(HKEY key) {
  if (LookupAsLocked<KeyObject>(H(key))) RemoveHandleLocked(H(key));
}

}  // namespace sim
