// The registry's functions of advapi32, shlwapi and ntdll on the key tree: opening and creating
// keys, values with the two-call size pattern and the type restrictions of RegGetValueW,
// enumeration and deletion.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/registry/key_tree.h"
#include "platform/sim/security/internal.h"

namespace sim {
using namespace keys;  // the key tree's names, shared by the registry's files
}  // namespace sim

namespace sim::keys {
namespace {

// The NTSTATUS values NtDeleteKey answers.
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusInvalidHandle = static_cast<LONG>(0xC0000008);
constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121);
constexpr LONG kStatusKeyDeleted = static_cast<LONG>(0xC000017C);

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
}  // namespace sim::keys

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
  // Every write is a change, the same data again included: it sets the key's last-write time,
  // which is what REG_NOTIFY_CHANGE_LAST_SET reports.
  Value* value = FindValue(key, lpValueName);
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
