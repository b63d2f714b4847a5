// The registry's key tree, shared by the files of the registry area and by no other area: keys
// and values in hives mounted below HKEY_LOCAL_MACHINE and HKEY_USERS, key handles with the
// access they were granted, the rules of the default ACLs and of symbolic links.
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
// - Symbolic links (REG_OPTION_CREATE_LINK) follow the rules that winreg.h sets out, with the
//   assumptions made there where Windows documents nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/files/sim_files.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/registry/winreg.h"

namespace sim {
struct Token;
}

namespace sim::keys {

inline constexpr ACCESS_MASK kFullAccess = KEY_ALL_ACCESS | SYNCHRONIZE;
inline constexpr ACCESS_MASK kReadAccess = KEY_READ | SYNCHRONIZE;
inline constexpr DWORD kNotifyFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                        REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr int kMaxKeyDepth = 512;
inline constexpr wchar_t kLinkValueName[] = L"SymbolicLinkValue";

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

RegistryState& Registry();

// ----- Keys and values -------------------------------------------------------------------------

FILETIME Now();
bool IsString(DWORD type);
// The WCHAR that ends `size` bytes of data (the data holds at least one WCHAR).
WCHAR LastChar(const uint8_t* data, size_t size);
// A REG_EXPAND_SZ expands with the variables of a service's environment (strings area).
std::wstring Expand(const std::wstring& text);

std::shared_ptr<KeyNode> NewKey(const std::wstring& name, KeyNode* parent,
                                const std::shared_ptr<Hive>& hive);
std::shared_ptr<KeyNode> MountHive(KeyNode& parent, const std::wstring& name, HiveKind kind,
                                   const std::wstring& owner_sid);
// A subkey by name, with link keys followed; null when there is none.
std::shared_ptr<KeyNode> ChildLocked(const KeyNode& key, const std::wstring& name);
Value* FindValue(KeyNode& key, const wchar_t* name);
const Value* FindValue(const KeyNode& key, const wchar_t* name);
// The full path of a key below its root ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), with the names as
// they were created.
std::wstring KeyPathLocked(const KeyNode& key);

// ----- Symbolic links --------------------------------------------------------------------------

// The text of a REG_LINK value: its WCHARs as stored (a terminator, if stored, is part of it).
std::wstring LinkText(const Value& value);

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
                  bool follow_last, Reached* out);

// ----- Access ----------------------------------------------------------------------------------

// The rights the ACL of a key grants a token (a default installation's ACLs).
ACCESS_MASK AllowedLocked(const KeyNode& key, const Token& token);
ACCESS_MASK MapKeyAccess(REGSAM access);
// The access check of an open: the rights granted, or ERROR_ACCESS_DENIED.
DWORD CheckAccessLocked(const KeyNode& key, REGSAM wanted, ACCESS_MASK* granted);

// ----- Handles ---------------------------------------------------------------------------------

bool IsPredefined(HKEY key);
std::shared_ptr<KeyNode> PredefinedLocked(HKEY key);

struct Target {
  std::shared_ptr<KeyNode> key;
  ACCESS_MASK access = 0;
};
// The key a handle designates with the access the handle has. A predefined handle is opened
// with MAXIMUM_ALLOWED, as Windows opens them.
DWORD ResolveLocked(HKEY handle, Target* target);
// The checks of an operation on a handle: the right it needs, then that the key still exists.
DWORD UseLocked(HKEY handle, ACCESS_MASK needed, Target* target);
HKEY AddKeyHandleLocked(const std::shared_ptr<KeyNode>& key, ACCESS_MASK granted);
// Splits a relative path into names. A leading backslash is refused; empty names between or
// after backslashes are skipped, as Windows does.
DWORD SplitPath(const wchar_t* path, std::vector<std::wstring>* names);
// The key a path names from a key, every link on the way followed (the last name's unless
// `open_link`).
DWORD WalkLocked(const std::shared_ptr<KeyNode>& from, const std::vector<std::wstring>& names,
                 std::shared_ptr<KeyNode>* found, bool open_link = false);
// Opens a path relative to a handle with an access check on the key reached; `open_link` opens
// a link in the last name itself (REG_OPTION_OPEN_LINK).
DWORD OpenPathLocked(HKEY handle, const wchar_t* path, REGSAM wanted, std::shared_ptr<KeyNode>* key,
                     ACCESS_MASK* granted, bool open_link = false);

// ----- Deleting --------------------------------------------------------------------------------

// Detaches a key from its parent and marks it and everything below it deleted; notifications on
// them fire.
void DeleteKeyLocked(KeyNode& key);
// A key whose deletion Windows refuses: the roots, hive roots and link keys.
bool Undeletable(const KeyNode& key);
bool SubtreeDeletable(const KeyNode& key);
// RegDeleteKeyW's deletion of the key a path names from a key (see its definition).
DWORD DeleteKeyByPathLocked(const std::shared_ptr<KeyNode>& from,
                            const std::vector<std::wstring>& names);
// SHDeleteKeyW's deletion of a key with everything below it (see its definition).
DWORD DeleteTreeLocked(const std::shared_ptr<KeyNode>& from, const std::vector<std::wstring>& names,
                       int depth);

// ----- Notifications (notify.cpp) ---------------------------------------------------------------

void FireLocked(Registration& registration);
// Reports a change of a key to the notifications on it and, for those that watch a subtree, on
// its ancestors.
void NotifyLocked(KeyNode* key, DWORD change);

// ----- The registry's values the machine itself writes
// --------------------------------------------

// Appends strings to a REG_MULTI_SZ value of a key below HKEY_LOCAL_MACHINE, as the calling
// thread (its token must be allowed to query and set values there): the list's terminator
// moves behind the new strings; a missing value, or one of another type, starts a new list.
// ERROR_FILE_NOT_FOUND for a missing key, ERROR_ACCESS_DENIED.
DWORD AppendToMachineMultiStringLocked(const std::wstring& path, const wchar_t* name,
                                       const std::vector<std::wstring>& strings);
// Removes a value of a key below HKEY_LOCAL_MACHINE, as the system does (no access check), and
// gives its type and data; false when there is no such value.
bool TakeMachineValueLocked(const std::wstring& path, const wchar_t* name, DWORD* type,
                            std::vector<uint8_t>* data);

}  // namespace sim::keys
