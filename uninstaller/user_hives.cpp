// The per-user cleanup: the package's tree deleted from the hive of every local or domain user
// with a profile on the machine, in place for a loaded hive and through a temporary mount of the
// user's hive file otherwise. The user can write his tree, registry links included, and the
// cleanup runs as LocalSystem: the tree is deleted without following any link in it.
#include "common/format.h"
#include "common/handles.h"
#include "common/registry_layout.h"
#include "common/registry_tree.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

// TOKEN_PRIVILEGES with room for the two privileges a hive mount needs.
struct TwoPrivileges {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[2];
};

// The backup and restore privileges enabled in the process token for the life of the owner
// (RegLoadKeyW and RegUnLoadKeyW need both), then put back as they were: a privilege that was
// enabled already stays enabled, one this owner enabled is disabled again.
class HivePrivileges {
 public:
  HivePrivileges() = default;
  ~HivePrivileges() {
    if (previous_.PrivilegeCount != 0) {
      AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&previous_), 0,
                            nullptr, nullptr);
    }
  }
  HivePrivileges(const HivePrivileges&) = delete;
  HivePrivileges& operator=(const HivePrivileges&) = delete;

  // Enables both. A token that lacks one of them is left as it is as far as that one goes;
  // the mounts then fail, user by user.
  void Enable() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token_.Put())) {
      return;
    }
    TwoPrivileges wanted = {};
    wanted.PrivilegeCount = 2;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    wanted.Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &wanted.Privileges[0].Luid) ||
        !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.Privileges[1].Luid)) {
      return;
    }
    TwoPrivileges previous = {};
    DWORD length = 0;
    if (AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&wanted),
                              sizeof(previous), reinterpret_cast<PTOKEN_PRIVILEGES>(&previous),
                              &length)) {
      previous_ = previous;
    }
  }

 private:
  UniqueToken token_;
  TwoPrivileges previous_ = {};  // what to put back; no entries: nothing was changed
};

// The user's tree deleted below the root of his hive: the user is clean when it is gone or was
// never there.
bool CleanTree(HKEY hive_root) {
  return DeleteTreeWithoutLinks(hive_root, layout::kUserTreeKey) != TreeDeletion::Failed;
}

// The user's profile directory from "ProfileImagePath" of the user's profile-list entry, always
// terminated, expanded when it is a REG_EXPAND_SZ. False when the entry or the value cannot be
// read, the value is no string, or the directory does not fit in 260 units.
bool ReadProfileDirectory(HKEY list, const WCHAR* sid, WCHAR (&directory)[kPathUnits]) {
  UniqueKey entry;
  if (RegOpenKeyExW(list, sid, 0, KEY_READ, entry.Put()) != ERROR_SUCCESS) return false;
  // One unit more than the value may fill, so that a value stored without its terminator can
  // be terminated in place.
  WCHAR stored[kPathUnits + 1] = {};
  DWORD type = REG_NONE;
  DWORD bytes = kPathUnits * sizeof(WCHAR);
  if (RegQueryValueExW(entry.get(), layout::kProfileImagePathValue, nullptr, &type,
                       reinterpret_cast<LPBYTE>(stored), &bytes) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  stored[bytes / sizeof(WCHAR)] = L'\0';
  if (type == REG_SZ) return Copy(directory, stored);
  const DWORD needed = ExpandEnvironmentStringsW(stored, directory, kPathUnits);
  if (needed == 0 || needed > kPathUnits) {
    directory[0] = L'\0';
    return false;
  }
  return true;
}

// A user whose hive is not loaded: the hive file mounted at the temporary name (owned by
// `mounted`, which unloads it when the caller is done) and the tree deleted there.
bool CleanHiveFile(HKEY list, const WCHAR* sid, MountedHive& mounted) {
  WCHAR directory[kPathUnits];
  if (!ReadProfileDirectory(list, sid, directory)) return false;
  WCHAR hive_file[kPathUnits];
  if (!Format(hive_file, layout::kHiveFileFormat, directory) || !PathFileExistsW(hive_file)) {
    return false;
  }
  if (mounted.Mount(HKEY_USERS, layout::kTemporaryHiveName, hive_file) != ERROR_SUCCESS) {
    return false;
  }
  UniqueKey root;
  if (RegOpenKeyExW(HKEY_USERS, layout::kTemporaryHiveName, 0, KEY_ALL_ACCESS, root.Put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  return CleanTree(root.get());
}

bool CleanUser(HKEY list, const WCHAR* sid) {
  {
    UniqueKey loaded;
    if (RegOpenKeyExW(HKEY_USERS, sid, 0, KEY_ALL_ACCESS, loaded.Put()) == ERROR_SUCCESS) {
      return CleanTree(loaded.get());
    }
  }
  MountedHive mounted;
  const bool cleaned = CleanHiveFile(list, sid, mounted);
  // The temporary name is unloaded also when nothing was mounted: this is what removes a mount
  // that an interrupted earlier run left there. What this run mounted, its owner unloads.
  if (!mounted.mounted()) RegUnLoadKeyW(HKEY_USERS, layout::kTemporaryHiveName);
  return cleaned;
}

}  // namespace

bool CleanUserHives() {
  UniqueKey list;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kProfileListKey, 0, KEY_READ, list.Put()) !=
      ERROR_SUCCESS) {
    return true;
  }
  DWORD count = 0;
  if (RegQueryInfoKeyW(list.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      count == 0) {
    return true;
  }
  HivePrivileges privileges;
  privileges.Enable();
  bool all_cleaned = true;
  for (DWORD index = 0; index < count; ++index) {
    WCHAR sid[kPathUnits];
    DWORD length = kPathUnits;
    if (RegEnumKeyExW(list.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    // Local and domain accounts only; the service accounts' hives are never touched.
    if (StrCmpNIW(sid, layout::kUserSidPrefix, lstrlenW(layout::kUserSidPrefix)) != 0) continue;
    if (!CleanUser(list.get(), sid)) all_cleaned = false;
  }
  return all_cleaned;
}

}  // namespace dpal::uninstaller
