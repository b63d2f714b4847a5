// The registry: keys and values in hives mounted below HKEY_LOCAL_MACHINE and HKEY_USERS, key
// handles with the access they were granted, the rules of the default ACLs, change
// notifications, and hives saved to and loaded from the file store.
//
// Behaviour where the documentation is silent, as Windows shows it (Wine 8.0 differs in places;
// the conformance tests name each gap):
// - Subkeys enumerate in the order of their upper-cased names, as a hive's index keeps them.
// - The access rights of a parent handle are not checked when a key is opened or created
//   relative to it; what counts is the ACL of the keys (Windows has always behaved so). The ACLs
//   are those of a default installation: HKLM and HKU\.DEFAULT are writable by administrators
//   and LocalSystem only, a user's hive by that user as well, and a user's hive is closed to
//   other standard users altogether. Keys cannot be made directly below HKLM or HKU.
// - Writing a value with the type and bytes it already has changes nothing and reports no
//   change, as the configuration manager does.
// - A notification fires once. A change while no notification is armed is not remembered (the
//   stricter reading, and Wine's), so a caller that re-arms must re-read what it watches. The
//   filter and subtree flag of a handle's first registration stay with the handle; later calls
//   on it only re-arm. Arming resets the event. Closing the handle, deleting the key, or the end of
//   the arming thread (without REG_NOTIFY_THREAD_AGNOSTIC) signals the event. The synchronous form
//   blocks until a change.
// - Symbolic links (REG_OPTION_CREATE_LINK) follow the rules that winreg.h sets out, with the
//   assumptions made there where Windows documents nothing.
// - A hive file is a format of the sim's own; a loaded hive keeps its file open without sharing,
//   and its changes are written back to the file when it is unloaded (by RegUnLoadKeyW, a
//   logoff or the restart), as the configuration manager flushes a hive (Wine writes nothing
//   back).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/snapshot.h"
#include "platform/sim/strings/internal.h"

namespace sim {
namespace {

constexpr ACCESS_MASK kFullAccess = KEY_ALL_ACCESS | SYNCHRONIZE;
constexpr ACCESS_MASK kReadAccess = KEY_READ | SYNCHRONIZE;
constexpr DWORD kNotifyFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                 REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
constexpr size_t kMaxKeyNameChars = 255;
constexpr int kMaxKeyDepth = 512;
// Links followed in the parse of one path, chains included.
constexpr int kMaxLinkHops = 16;
constexpr wchar_t kLinkValueName[] = L"SymbolicLinkValue";
constexpr char kHiveMagic[8] = {'S', 'I', 'M', 'H', 'I', 'V', 'E', '2'};
constexpr uint32_t kSavedLinkFlag = 1;  // a key's flags in a hive file: it is a symbolic link

// The NTSTATUS values NtDeleteKey answers.
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusInvalidHandle = static_cast<LONG>(0xC0000008);
constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121);
constexpr LONG kStatusKeyDeleted = static_cast<LONG>(0xC000017C);

enum class HiveKind {
  Master,   // the roots HKEY_LOCAL_MACHINE and HKEY_USERS themselves
  Machine,  // HKLM\SOFTWARE, SYSTEM, HARDWARE
  System,   // HKU\.DEFAULT (also reached as HKU\S-1-5-18)
  User,     // HKU\<sid> of a user
  Loaded,   // mounted by RegLoadKeyW
};

struct Hive {
  HiveKind kind = HiveKind::Machine;
  std::wstring owner_sid;  // User hives
  bool under_users = false;
  // The file a loaded hive came from, held open without sharing while it is mounted.
  std::shared_ptr<FileOpen> file;
  std::wstring file_path;  // the full path of that file
  int open_handles = 0;    // key handles into the hive (an unload waits for none)
};

struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

// An armed notification: the event to signal and the thread that armed it.
struct Armed {
  std::shared_ptr<Event> event;
  uint64_t thread = 0;
  bool thread_agnostic = false;
};

// The notification of one handle on one key.
struct Registration {
  uintptr_t handle = 0;
  DWORD filter = 0;
  bool subtree = false;
  std::vector<Armed> armed;
};

struct KeyNode {
  std::wstring name;
  std::wstring class_name;
  KeyNode* parent = nullptr;  // null for the roots and once deleted
  std::shared_ptr<Hive> hive;
  bool hive_root = false;
  bool volatile_key = false;
  bool deleted = false;
  std::shared_ptr<KeyNode> link;  // the system's own alias of another key (HKU\S-1-5-18)
  // A symbolic link made with REG_OPTION_CREATE_LINK: it has no subkeys, and stands for the key
  // its REG_LINK "SymbolicLinkValue" names (none while that value is missing or names nothing).
  bool symlink = false;
  std::map<std::wstring, std::shared_ptr<KeyNode>> subkeys;  // by upper-cased name
  std::vector<Value> values;                                 // in order of creation
  std::vector<Registration> registrations;
  FILETIME last_write{};
};

struct KeyObject : Object {
  static constexpr HandleKind kKind{"key", false};
  explicit KeyObject(std::shared_ptr<KeyNode> n) : Object(kKind), node(std::move(n)) {
    ++node->hive->open_handles;
  }
  ~KeyObject() override { --node->hive->open_handles; }
  void OnHandleClosed(uintptr_t handle) override;
  std::shared_ptr<KeyNode> node;
};

struct RegistryState {
  std::shared_ptr<KeyNode> machine;
  std::shared_ptr<KeyNode> users;
  // Keys with notifications, for the end of an arming thread.
  std::vector<std::weak_ptr<KeyNode>> watched;
  int loaded_hives = 0;  // by RegLoadKeyW, not yet unloaded
};

RegistryState& Registry() {
  static RegistryState* state = new RegistryState();  // never destroyed, as the machine
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

// ----- Keys ---------------------------------------------------------------------------------

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

// ----- Symbolic links -------------------------------------------------------------------------

// Whether links between two hives are followed: the machine's hives, HKU\.DEFAULT and the roots
// form one trust class; every other hive (a user's, one RegLoadKeyW mounted) is a class alone.
bool SameTrustClass(const Hive& a, const Hive& b) {
  auto system = [](const Hive& hive) {
    return hive.kind == HiveKind::Master || hive.kind == HiveKind::Machine ||
           hive.kind == HiveKind::System;
  };
  return (system(a) && system(b)) || &a == &b;
}

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

// Where a path leads from a key, as the configuration manager parses it: a link on the way is
// followed, the last name's only when `follow_last` says so, and a path relative to a link
// starts at the key the link names. The last key that exists and the names missing below it
// (none when the whole path exists). ERROR_FILE_NOT_FOUND for a link that names nothing and for
// too long a chain of links, ERROR_ACCESS_DENIED for a link into a hive of another trust class.
struct Reached {
  std::shared_ptr<KeyNode> key;
  std::vector<std::wstring> missing;
};

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

// ----- Access -------------------------------------------------------------------------------

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

// ----- Handles --------------------------------------------------------------------------------

bool IsPredefined(HKEY key) {
  const uint32_t low = static_cast<uint32_t>(H(key));
  return low >= 0x80000000u && low <= 0x80000006u;
}

// HKEY_CURRENT_USER: the hive of the process token's user (impersonation does not change it),
// or HKU\.DEFAULT when that hive is not loaded.
std::shared_ptr<KeyNode> CurrentUserLocked() {
  if (auto own = ChildLocked(*Registry().users, ProcessTokenLocked()->user_sid)) return own;
  return ChildLocked(*Registry().users, L".DEFAULT");
}

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

struct Target {
  std::shared_ptr<KeyNode> key;
  ACCESS_MASK access = 0;
};

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
                 std::shared_ptr<KeyNode>* found, bool open_link = false) {
  Reached reached;
  if (DWORD e = ReachLocked(from, names, !open_link, &reached)) return e;
  if (!reached.missing.empty()) return ERROR_FILE_NOT_FOUND;
  *found = reached.key;
  return ERROR_SUCCESS;
}

// Opens a path relative to a handle with an access check on the key reached; `open_link` opens
// a link in the last name itself (REG_OPTION_OPEN_LINK).
DWORD OpenPathLocked(HKEY handle, const wchar_t* path, REGSAM wanted, std::shared_ptr<KeyNode>* key,
                     ACCESS_MASK* granted, bool open_link = false) {
  Target target;
  if (DWORD e = ResolveLocked(handle, &target)) return e;
  std::vector<std::wstring> names;
  if (DWORD e = SplitPath(path, &names)) return e;
  if (DWORD e = WalkLocked(target.key, names, key, open_link)) return e;
  return CheckAccessLocked(**key, wanted, granted);
}

// ----- Notifications ------------------------------------------------------------------------

// The full path of a key below its root ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), with the names as
// they were created.
std::wstring KeyPathLocked(const KeyNode& key) {
  std::wstring path = key.name;
  for (const KeyNode* at = key.parent; at != nullptr; at = at->parent) {
    path = at->name + L"\\" + path;
  }
  return path;
}

void FireLocked(Registration& registration) {
  for (Armed& armed : registration.armed) SignalLocked(*armed.event);
  registration.armed.clear();
}

// Reports a change of a key to the notifications on it and, for those that watch a subtree, on
// its ancestors.
void NotifyLocked(KeyNode* key, DWORD change) {
  bool self = true;
  for (KeyNode* at = key; at != nullptr; at = at->parent, self = false) {
    for (Registration& registration : at->registrations) {
      if ((registration.filter & change) && (self || registration.subtree)) {
        FireLocked(registration);
      }
    }
  }
}

void FireThreadRegistrationsLocked(uint64_t thread) {
  for (const auto& weak : Registry().watched) {
    auto key = weak.lock();
    if (!key) continue;
    for (Registration& registration : key->registrations) {
      auto& armed = registration.armed;
      for (auto it = armed.begin(); it != armed.end();) {
        if (it->thread == thread && !it->thread_agnostic) {
          SignalLocked(*it->event);
          it = armed.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
}

// Keeps a key in the list that the end of a thread looks through (once, and without keys that
// are gone).
void WatchLocked(const std::shared_ptr<KeyNode>& key) {
  auto& watched = Registry().watched;
  watched.erase(std::remove_if(watched.begin(), watched.end(),
                               [](const std::weak_ptr<KeyNode>& w) { return w.expired(); }),
                watched.end());
  for (const auto& weak : watched) {
    if (weak.lock() == key) return;
  }
  watched.push_back(key);
}

// Signals what a thread armed when the thread ends, as Windows does.
struct ThreadEndWatch {
  uint64_t thread = 0;
  ~ThreadEndWatch() {
    // The sim's own work at the end of a thread, whose process may have ended before it.
    RawLock lock(MachineLock());
    FireThreadRegistrationsLocked(thread);
  }
};

void WatchThreadEnd() {
  thread_local ThreadEndWatch watch;
  watch.thread = ThreadNumber();
}

// ----- Deleting -----------------------------------------------------------------------------

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

// ----- Hive files -----------------------------------------------------------------------------

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

// A REG_EXPAND_SZ expands with the variables of a service's environment (strings area).
std::wstring Expand(const std::wstring& text) { return ExpandEnvironment(text); }

// ----- Values ---------------------------------------------------------------------------------

// RegQueryValueExW on a key already checked: the type and size, the bytes when they fit, and
// a terminator after a string that lacks one when the buffer has room for it.
LSTATUS QueryValueLocked(KeyNode& key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* count) {
  const Value* value = FindValue(key, name);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  const DWORD size = static_cast<DWORD>(value->data.size());
  LSTATUS status = ERROR_SUCCESS;
  if (data != nullptr) {
    if (size > *count) {
      status = ERROR_MORE_DATA;
    } else {
      if (size) std::memcpy(data, value->data.data(), size);
      if (IsString(value->type) && size >= sizeof(WCHAR) && size + sizeof(WCHAR) <= *count &&
          LastChar(data, size) != 0) {
        std::memset(data + size, 0, sizeof(WCHAR));
      }
    }
  }
  if (type) *type = value->type;
  if (count) *count = size;
  return status;
}

// The type restriction of RegGetValueW, applied after the read.
LSTATUS Restrict(DWORD flags, DWORD type, DWORD size, LSTATUS status) {
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  DWORD mask = 0;
  switch (type) {
    case REG_NONE: mask = RRF_RT_REG_NONE; break;
    case REG_SZ: mask = RRF_RT_REG_SZ; break;
    case REG_EXPAND_SZ: mask = RRF_RT_REG_EXPAND_SZ; break;
    case REG_MULTI_SZ: mask = RRF_RT_REG_MULTI_SZ; break;
    case REG_BINARY: mask = RRF_RT_REG_BINARY; break;
    case REG_DWORD: mask = RRF_RT_REG_DWORD; break;
    case REG_QWORD: mask = RRF_RT_REG_QWORD; break;
  }
  if (!(flags & mask)) return ERROR_UNSUPPORTED_TYPE;
  if (type == REG_BINARY) {
    // Binary data read as a DWORD or QWORD must have that size.
    DWORD expected = 0;
    if ((flags & RRF_RT_ANY) == RRF_RT_DWORD) expected = 4;
    if ((flags & RRF_RT_ANY) == RRF_RT_QWORD) expected = 8;
    if (expected && size != expected) return ERROR_DATATYPE_MISMATCH;
  }
  return status;
}

}  // namespace

void KeyObject::OnHandleClosed(uintptr_t handle) {
  auto& registrations = node->registrations;
  for (auto it = registrations.begin(); it != registrations.end();) {
    if (it->handle == handle) {
      FireLocked(*it);
      it = registrations.erase(it);
    } else {
      ++it;
    }
  }
}

// ----- Machine side ------------------------------------------------------------------------------

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

void DescribeRegistryWaitLocked(const std::vector<const Object*>& objects, BlockedThread& thread) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr || &objects[i]->kind != &Event::kKind) continue;
    for (const auto& weak : Registry().watched) {
      auto key = weak.lock();
      if (!key) continue;
      for (const Registration& registration : key->registrations) {
        for (const Armed& armed : registration.armed) {
          if (armed.event.get() == objects[i]) {
            thread.objects[i].notified_keys.push_back(KeyPathLocked(*key));
          }
        }
      }
    }
  }
}

void CloseKeyLocked(HKEY key) {
  if (LookupAsLocked<KeyObject>(H(key))) RemoveHandleLocked(H(key));
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

// ----- The registry's part of a snapshot
// ----------------------------------------------------------

namespace {

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return nullptr;
  }
}

// The WCHARs of a value's bytes (a partial last one is left out).
std::wstring UnitsOf(const std::vector<uint8_t>& data) {
  std::wstring units(data.size() / sizeof(WCHAR), L'\0');
  if (!units.empty()) std::memcpy(&units[0], data.data(), units.size() * sizeof(WCHAR));
  return units;
}

// A value's type and data as text. Data in its type's usual form when it has that form exactly
// (a terminated string, a list ending in an empty string, 4 or 8 bytes), else every byte.
std::string ValueText(const Value& value) {
  const char* name = TypeName(value.type);
  std::string text = name ? name : "type " + std::to_string(value.type);
  const std::vector<uint8_t>& data = value.data;
  const std::wstring units = UnitsOf(data);
  const bool even = data.size() % sizeof(WCHAR) == 0;
  if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && even && !units.empty() &&
      units.find(L'\0') == units.size() - 1) {
    return text + " \"" + Utf8(units.substr(0, units.size() - 1)) + "\"";
  }
  if (value.type == REG_MULTI_SZ && even && units.size() >= 1 && units.back() == L'\0') {
    // Entries each with its terminator, then the empty entry that ends the list.
    std::vector<std::wstring> entries;
    size_t start = 0;
    bool ended = false;
    while (start < units.size()) {
      const size_t end = units.find(L'\0', start);
      if (end == start) {
        ended = end == units.size() - 1;
        break;
      }
      entries.push_back(units.substr(start, end - start));
      start = end + 1;
    }
    if (ended || units.size() == 1) return text + " " + ListText(entries);
  }
  if (value.type == REG_DWORD && data.size() == 4) {
    const uint32_t number = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
    return text + " " + std::to_string(number);
  }
  if (value.type == REG_QWORD && data.size() == 8) {
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = (number << 8) | data[i];
    return text + " " + std::to_string(number);
  }
  return text + " " + BytesText(data.data(), data.size());
}

std::string HiveText(const KeyNode& root) {
  const Hive& hive = *root.hive;
  std::string text;
  switch (hive.kind) {
    case HiveKind::Master: return "";
    case HiveKind::Machine: text = "machine hive"; break;
    case HiveKind::System: text = "system hive"; break;
    case HiveKind::User: text = "hive of " + Utf8(hive.owner_sid); break;
    case HiveKind::Loaded: text = "loaded hive"; break;
  }
  if (hive.file) text += " from " + Utf8(hive.file_path);
  return text;
}

void SnapshotKeyLocked(const KeyNode& key, const std::wstring& path, Snapshot& out) {
  if (key.hive_root) out.Put("hives", Utf8(path), HiveText(key));
  if (key.link) {
    out.Put("registry", Utf8(path), "link to " + Utf8(KeyPathLocked(*key.link)));
    return;
  }
  if (key.symlink) {
    const Value* target = FindValue(key, kLinkValueName);
    out.Put("registry", Utf8(path),
            target != nullptr && target->type == REG_LINK
                ? "symbolic link to \"" + Utf8(LinkText(*target)) + "\""
                : std::string("symbolic link without a target"));
    return;
  }
  std::string state = "key";
  if (key.volatile_key) state += ", volatile";
  if (!key.class_name.empty()) state += ", class \"" + Utf8(key.class_name) + "\"";
  out.Put("registry", Utf8(path), state);
  for (const Value& value : key.values) {
    const std::string name = value.name.empty() ? "(default)" : "\"" + Utf8(value.name) + "\"";
    out.Put("registry", Utf8(path) + " " + name, ValueText(value));
  }
  for (const auto& [upper, child] : key.subkeys) {
    SnapshotKeyLocked(*child, path + L"\\" + child->name, out);
  }
}

}  // namespace

void SnapshotRegistryLocked(Snapshot& out) {
  for (const auto& root : {Registry().machine, Registry().users}) {
    for (const auto& [upper, child] : root->subkeys) {
      SnapshotKeyLocked(*child, root->name + L"\\" + child->name, out);
    }
  }
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult) {
  if (DWORD e = SIM_ENTER(hKey, lpSubKey, ulOptions, samDesired, phkResult)) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(e);
  }
  // A predefined key with no subkey is handed back as it is.
  if (phkResult && (lpSubKey == nullptr || *lpSubKey == 0) && IsPredefined(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  // HKEY_CLASSES_ROOT alone accepts a leading backslash.
  if (H(hKey) == H(HKEY_CLASSES_ROOT) && lpSubKey && *lpSubKey == L'\\') ++lpSubKey;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(MachineLock());
  return OpenKeyLocked(hKey, lpSubKey, samDesired, phkResult,
                       (ulOptions & REG_OPTION_OPEN_LINK) != 0);
}

extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved,
                                          LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                          const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                          PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (DWORD e = SIM_ENTER(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                          lpSecurityAttributes, phkResult, lpdwDisposition)) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(e);
  }
  if (phkResult == nullptr) return ERROR_BADKEY;
  if (Reserved != 0) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = ResolveLocked(hKey, &target)) return static_cast<LSTATUS>(e);
  std::vector<std::wstring> names;
  if (DWORD e = SplitPath(lpSubKey, &names)) return static_cast<LSTATUS>(e);
  const bool create_link = (dwOptions & REG_OPTION_CREATE_LINK) != 0;
  const bool open_link = (dwOptions & REG_OPTION_OPEN_LINK) != 0;

  // The part of the path that exists already; a link in the last name is opened itself with
  // either link option.
  Reached reached;
  if (DWORD e = ReachLocked(target.key, names, !create_link && !open_link, &reached)) {
    return static_cast<LSTATUS>(e);
  }
  std::shared_ptr<KeyNode> at = reached.key;
  ACCESS_MASK granted = 0;
  if (reached.missing.empty()) {
    if (create_link) return ERROR_ALREADY_EXISTS;
    if (DWORD e = CheckAccessLocked(*at, samDesired, &granted)) return static_cast<LSTATUS>(e);
    *phkResult = AddKeyHandleLocked(at, granted);
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }

  // Creating: the parent's ACL must allow subkeys (the parent handle's rights do not count), and
  // links too for a link.
  const ACCESS_MASK allowed = AllowedLocked(*at, *EffectiveTokenLocked());
  if (at->hive->kind == HiveKind::Master || !(allowed & KEY_CREATE_SUB_KEY) ||
      (create_link && !(allowed & KEY_CREATE_LINK))) {
    return ERROR_ACCESS_DENIED;
  }
  if (DWORD e = CheckAccessLocked(*at, samDesired, &granted)) return static_cast<LSTATUS>(e);
  const bool make_volatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
  if (at->volatile_key && !make_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
  for (const std::wstring& name : reached.missing) {
    if (name.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
  }
  KeyNode* parent = at.get();
  for (const std::wstring& name : reached.missing) {
    auto key = NewKey(name, at.get(), at->hive);
    key->volatile_key = make_volatile;
    at->last_write = key->last_write;
    at = key;
  }
  at->symlink = create_link;
  if (lpClass) at->class_name = lpClass;
  NotifyLocked(parent, REG_NOTIFY_CHANGE_NAME);
  *phkResult = AddKeyHandleLocked(at, granted);
  if (lpdwDisposition) *lpdwDisposition = REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (DWORD e = SIM_ENTER_RELEASE(hKey)) return static_cast<LSTATUS>(e);
  if (hKey == nullptr) return ERROR_INVALID_HANDLE;
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  Lock lock(MachineLock());
  if (!LookupAsLocked<KeyObject>(H(hKey))) return ERROR_INVALID_HANDLE;
  RemoveHandleLocked(H(hKey));
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved,
                                         DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (DWORD e = SIM_ENTER(hKey, lpValueName, Reserved, dwType, lpData, cbData)) {
    return static_cast<LSTATUS>(e);
  }
  if ((lpData != nullptr && (H(lpData) >> 16) == 0) || (lpData == nullptr && cbData != 0)) {
    return ERROR_NOACCESS;
  }
  DWORD count = cbData;
  if (count >= sizeof(WCHAR) && IsString(dwType)) {
    // A string whose size leaves out its terminator gets it counted, as Windows does: the
    // character after the counted ones is looked at.
    WCHAR last;
    WCHAR next = 1;
    std::memcpy(&last, lpData + (count / sizeof(WCHAR) - 1) * sizeof(WCHAR), sizeof(WCHAR));
    if (last != 0) {
      std::memcpy(&next, lpData + (count / sizeof(WCHAR)) * sizeof(WCHAR), sizeof(WCHAR));
    }
    if (last != 0 && next == 0) count += sizeof(WCHAR);
  }
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_SET_VALUE, &target)) return static_cast<LSTATUS>(e);
  KeyNode& key = *target.key;
  if (key.hive->kind == HiveKind::Master) return ERROR_ACCESS_DENIED;
  // A link holds its target and nothing else.
  if (key.symlink &&
      (dwType != REG_LINK || !EqualsNoCase(lpValueName ? lpValueName : L"", kLinkValueName))) {
    return ERROR_ACCESS_DENIED;
  }
  std::vector<uint8_t> bytes;
  if (count) bytes.assign(lpData, lpData + count);
  Value* value = FindValue(key, lpValueName);
  if (value != nullptr && value->type == dwType && value->data == bytes) return ERROR_SUCCESS;
  if (value != nullptr) {
    value->type = dwType;
    value->data = std::move(bytes);
  } else {
    key.values.push_back(Value{lpValueName ? lpValueName : L"", dwType, std::move(bytes)});
  }
  key.last_write = Now();
  NotifyLocked(&key, REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (DWORD e = SIM_ENTER(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData)) {
    return static_cast<LSTATUS>(e);
  }
  if ((lpData != nullptr && lpcbData == nullptr) || lpReserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = ResolveLocked(hKey, &target)) return static_cast<LSTATUS>(e);
  if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  if (DWORD e = UseLocked(hKey, KEY_QUERY_VALUE, &target)) return static_cast<LSTATUS>(e);
  return QueryValueLocked(*target.key, lpValueName, lpType, lpData, lpcbData);
}

extern "C" LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                                       LPDWORD pdwType, PVOID pvData, LPDWORD pcbData) {
  if (DWORD e = SIM_ENTER(hkey, lpSubKey, lpValue, dwFlags, pdwType, pvData, pcbData)) {
    return static_cast<LSTATUS>(e);
  }
  if (pvData != nullptr && pcbData == nullptr) return ERROR_INVALID_PARAMETER;
  // A REG_EXPAND_SZ is expanded to a REG_SZ before the restriction applies, so asking for
  // REG_EXPAND_SZ makes sense only with RRF_NOEXPAND (or with any type allowed).
  if ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) &&
      (dwFlags & RRF_RT_ANY) != RRF_RT_ANY) {
    return ERROR_INVALID_PARAMETER;
  }
  Lock lock(MachineLock());
  std::shared_ptr<KeyNode> key;
  if (lpSubKey != nullptr && *lpSubKey != 0) {
    ACCESS_MASK granted = 0;
    if (DWORD e = OpenPathLocked(hkey, lpSubKey, KEY_QUERY_VALUE, &key, &granted)) {
      return static_cast<LSTATUS>(e);
    }
  }

  BYTE* data = static_cast<BYTE*>(pvData);
  const DWORD capacity = data ? *pcbData : 0;
  DWORD size = capacity;
  DWORD type = REG_NONE;
  LSTATUS status = ERROR_SUCCESS;
  if (!key) {
    Target target;
    if (DWORD e = ResolveLocked(hkey, &target)) return static_cast<LSTATUS>(e);
    status = static_cast<LSTATUS>(UseLocked(hkey, KEY_QUERY_VALUE, &target));
    key = target.key;
  }
  if (status == ERROR_SUCCESS) status = QueryValueLocked(*key, lpValue, &type, data, &size);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
    // Nothing was found: the size reads 0 for a size query and stays as given otherwise.
    if (data && (dwFlags & RRF_ZEROONFAILURE)) std::memset(data, 0, capacity);
    if (pcbData) *pcbData = data ? capacity : 0;
    return status;
  }

  // A string is read whole so that its terminator can be ensured and, for REG_EXPAND_SZ, its
  // expanded size known.
  const bool expand = type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND);
  if (IsString(type) && (status == ERROR_MORE_DATA || expand ||
                         (size < sizeof(WCHAR) || (data && LastChar(data, size) != 0)))) {
    std::vector<uint8_t> whole = FindValue(*key, lpValue)->data;
    size = static_cast<DWORD>(whole.size());
    if (size < sizeof(WCHAR) || LastChar(whole.data(), size) != 0) {
      // The missing terminator is added, in place of a stray odd byte if there is one.
      whole.resize(size + sizeof(WCHAR), 0);
      std::memset(whole.data() + size / sizeof(WCHAR) * sizeof(WCHAR), 0, sizeof(WCHAR));
      size += sizeof(WCHAR);
    }
    status = ERROR_SUCCESS;
    if (expand) {
      std::wstring text;
      for (size_t i = 0; i + sizeof(WCHAR) <= whole.size(); i += sizeof(WCHAR)) {
        WCHAR c;
        std::memcpy(&c, whole.data() + i, sizeof(WCHAR));
        if (c == 0) break;
        text.push_back(c);
      }
      const std::wstring expanded = Expand(text);
      size = static_cast<DWORD>((expanded.size() + 1) * sizeof(WCHAR));
      type = REG_SZ;
      if (data) {
        if (size > capacity) {
          status = ERROR_MORE_DATA;
        } else {
          std::memcpy(data, expanded.c_str(), size);
        }
      }
    } else if (data) {
      if (size > capacity) {
        status = ERROR_MORE_DATA;
      } else {
        std::memcpy(data, whole.data(), size);
      }
    }
  }

  status = Restrict(dwFlags, type, size, status);
  if (data && status != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE)) {
    std::memset(data, 0, capacity);
  }
  if (pdwType) *pdwType = type;
  if (pcbData) *pcbData = size;
  return status;
}

extern "C" LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  if (DWORD e = SIM_ENTER(hKey, lpValueName)) return static_cast<LSTATUS>(e);
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_SET_VALUE, &target)) return static_cast<LSTATUS>(e);
  KeyNode& key = *target.key;
  Value* value = FindValue(key, lpValueName);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  key.values.erase(key.values.begin() + (value - key.values.data()));
  key.last_write = Now();
  NotifyLocked(&key, REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                           LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                           LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                           LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                           PFILETIME lpftLastWriteTime) {
  if (DWORD e =
          SIM_ENTER(hKey, static_cast<const void*>(lpClass), lpcchClass, lpReserved, lpcSubKeys,
                    lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                    lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime)) {
    return static_cast<LSTATUS>(e);
  }
  if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_QUERY_VALUE, &target)) return static_cast<LSTATUS>(e);
  const KeyNode& key = *target.key;
  LSTATUS status = ERROR_SUCCESS;
  const DWORD class_length = static_cast<DWORD>(key.class_name.size());
  if (lpClass != nullptr && *lpcchClass != 0) {
    if (class_length + 1 > *lpcchClass) {
      status = ERROR_INSUFFICIENT_BUFFER;
    } else {
      std::wmemcpy(lpClass, key.class_name.c_str(), class_length + 1);
    }
  }
  DWORD max_name = 0;
  DWORD max_class = 0;
  for (const auto& [upper, child] : key.subkeys) {
    max_name = std::max(max_name, static_cast<DWORD>(child->name.size()));
    max_class = std::max(max_class, static_cast<DWORD>(child->class_name.size()));
  }
  DWORD max_value_name = 0;
  DWORD max_value = 0;
  for (const Value& value : key.values) {
    max_value_name = std::max(max_value_name, static_cast<DWORD>(value.name.size()));
    max_value = std::max(max_value, static_cast<DWORD>(value.data.size()));
  }
  if (lpcchClass) *lpcchClass = class_length;
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key.subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = max_name;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = max_class;
  if (lpcValues) *lpcValues = static_cast<DWORD>(key.values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = max_value_name;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = max_value;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;  // security is not modelled
  if (lpftLastWriteTime) *lpftLastWriteTime = key.last_write;
  return status;
}

extern "C" LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime) {
  // The name and class buffers are outputs: traced as pointers, never read.
  if (DWORD e = SIM_ENTER(hKey, dwIndex, static_cast<const void*>(lpName), lpcchName, lpReserved,
                          static_cast<const void*>(lpClass), lpcchClass, lpftLastWriteTime)) {
    return static_cast<LSTATUS>(e);
  }
  if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_ENUMERATE_SUB_KEYS, &target)) return static_cast<LSTATUS>(e);
  const KeyNode& key = *target.key;
  if (dwIndex >= key.subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const KeyNode& child = *std::next(key.subkeys.begin(), dwIndex)->second;
  const KeyNode& data = child.link ? *child.link : child;
  if (lpftLastWriteTime) *lpftLastWriteTime = data.last_write;
  const DWORD length = static_cast<DWORD>(child.name.size());
  const DWORD class_length = static_cast<DWORD>(data.class_name.size());
  // A buffer too small leaves the buffer and the length as they were.
  if (length >= *lpcchName || (lpClass && lpcchClass && class_length >= *lpcchClass)) {
    return ERROR_MORE_DATA;
  }
  std::wmemcpy(lpName, child.name.c_str(), length + 1);
  *lpcchName = length;
  if (lpcchClass) {
    *lpcchClass = class_length;
    if (lpClass) std::wmemcpy(lpClass, data.class_name.c_str(), class_length + 1);
  }
  return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (DWORD e = SIM_ENTER(hKey, lpSubKey)) return static_cast<LSTATUS>(e);
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = ResolveLocked(hKey, &target)) return static_cast<LSTATUS>(e);
  std::vector<std::wstring> names;
  if (DWORD e = SplitPath(lpSubKey, &names)) return static_cast<LSTATUS>(e);
  return static_cast<LSTATUS>(DeleteKeyByPathLocked(target.key, names));
}

extern "C" LSTATUS WINAPI SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey) {
  if (DWORD e = SIM_ENTER(hkey, pszSubKey)) return static_cast<LSTATUS>(e);
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = ResolveLocked(hkey, &target)) return static_cast<LSTATUS>(e);
  std::vector<std::wstring> names;
  if (DWORD e = SplitPath(pszSubKey, &names)) return static_cast<LSTATUS>(e);
  // What lies in the tree itself is checked first, so that a key that cannot be deleted (a
  // hive's root) stops the deletion before anything is gone.
  std::shared_ptr<KeyNode> key;
  if (DWORD e = WalkLocked(target.key, names, &key)) return static_cast<LSTATUS>(e);
  ACCESS_MASK granted = 0;
  if (DWORD e = CheckAccessLocked(*key, KEY_READ | DELETE, &granted)) {
    return static_cast<LSTATUS>(e);
  }
  if (!SubtreeDeletable(*key)) return ERROR_ACCESS_DENIED;
  return static_cast<LSTATUS>(DeleteTreeLocked(target.key, names, 0));
}

// Deletes the key that an open handle designates (a link itself when it was opened with
// REG_OPTION_OPEN_LINK). Exported by ntdll.dll, and so reached through GetProcAddress only.
extern "C" LONG WINAPI NtDeleteKey(HANDLE KeyHandle) {
  if (DWORD e = SIM_ENTER(KeyHandle)) {
    // An injected Win32 error, as NTSTATUS_FROM_WIN32 makes one.
    return static_cast<LONG>(0xC0070000u | (e & 0xFFFFu));
  }
  Lock lock(MachineLock());
  auto object = LookupAsLocked<KeyObject>(H(KeyHandle));
  if (!object) return kStatusInvalidHandle;
  if (!(HandleAccessLocked(H(KeyHandle)) & DELETE)) return kStatusAccessDenied;
  KeyNode& key = *object->node;
  if (key.deleted) return kStatusKeyDeleted;
  if (Undeletable(key) || !key.subkeys.empty()) return kStatusCannotDelete;
  DeleteKeyLocked(key);
  return kStatusSuccess;
}

extern "C" LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree,
                                                  DWORD dwNotifyFilter, HANDLE hEvent,
                                                  BOOL fAsynchronous) {
  if (DWORD e = SIM_ENTER(hKey, bWatchSubtree, dwNotifyFilter, hEvent, fAsynchronous)) {
    return static_cast<LSTATUS>(e);
  }
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_NOTIFY, &target)) return static_cast<LSTATUS>(e);
  if (dwNotifyFilter & ~(kNotifyFilters | REG_NOTIFY_THREAD_AGNOSTIC)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<Event> event;
  if (fAsynchronous) {
    event = LookupAsLocked<Event>(H(hEvent));
    if (!event) return ERROR_INVALID_HANDLE;
    if (!(HandleAccessLocked(H(hEvent)) & EVENT_MODIFY_STATE)) return ERROR_ACCESS_DENIED;
    event->signaled = false;
  } else {
    event = std::make_shared<Event>(true, false);
  }
  KeyNode& key = *target.key;
  auto registration = std::find_if(key.registrations.begin(), key.registrations.end(),
                                   [&](const Registration& r) { return r.handle == H(hKey); });
  if (registration == key.registrations.end()) {
    key.registrations.push_back(
        Registration{H(hKey), dwNotifyFilter & kNotifyFilters, bWatchSubtree != FALSE, {}});
    registration = key.registrations.end() - 1;
  }
  const bool agnostic = (dwNotifyFilter & REG_NOTIFY_THREAD_AGNOSTIC) || !fAsynchronous;
  registration->armed.push_back(Armed{event, ThreadNumber(), agnostic});
  WatchLocked(target.key);
  if (fAsynchronous) {
    if (!agnostic) WatchThreadEnd();
    return ERROR_SUCCESS;
  }
  BlockedWait blocked(__func__, {event}, false);
  while (!event->signaled) {
    MachineSignal().wait(lock);
    StopIfProcessEndedLocked(lock);
  }
  return ERROR_SUCCESS;
}

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
