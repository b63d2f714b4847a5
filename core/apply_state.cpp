#include "core/apply_state.h"

#include "common/format.h"
#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "core/steps/identity.h"
#include "loader/shared/registry.h"

namespace dpal::core {

namespace {

// The root of the user's keys for one call: the console user's hive (which `hive` holds) for a
// LocalSystem caller, HKEY_CURRENT_USER for any other and for one whose identity cannot be
// checked. Null when a LocalSystem caller has no console user whose hive it can load.
HKEY UserRootOf(ConsoleUserHive& hive) {
  HKEY root = HKEY_CURRENT_USER;
  return OpenUserRoot(hive, &root) == UserRootSource::NoConsoleUser ? nullptr : root;
}

}  // namespace

bool WriteApplyState(HKEY root, const WCHAR* key_path, DWORD value) {
  WCHAR path[kPathUnits];
  if (key_path == nullptr || !Format(path, L"%s", key_path)) return false;
  UniqueKey key;
  if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, layout::kWriteAccess,
                      nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(key.get(), layout::kStateValue, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
}

bool ReadUserApplyState(DWORD* value) {
  return ReadDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, value);
}

int SaveCurrentApplyStatus(int target, DWORD value) {
  ConsoleUserHive hive;
  const HKEY user_root = UserRootOf(hive);
  if (user_root == nullptr) return 0;
  switch (target) {
    case kUserOnly: return WriteApplyState(user_root, layout::kUserApplyStateKey, value) ? 1 : 0;
    case kUserAndMachine:
      // The user's copy first: the service reacts to the machine's.
      WriteApplyState(user_root, layout::kUserApplyStateKey, value);
      WriteApplyState(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, value);
      return 1;
    case kMachineOnly:
      WriteApplyState(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, value);
      return 1;
    default: return 1;
  }
}

int SaveUserProfile(const WCHAR* name) {
  // The marker's name is later read back as a profile's file name, by LocalSystem: a name that
  // could name anything but a file in the colour directory (or that is empty, which would make
  // the marker the list's own key) is refused here, before anything is loaded or written.
  if (!IsPlainFileName(name)) return 0;
  ConsoleUserHive hive;
  const HKEY user_root = UserRootOf(hive);
  if (user_root == nullptr) return 0;
  WCHAR path[kPathUnits];
  if (!Format(path, L"%s\\%s", layout::kProfileMarkerKey, name)) return 0;
  UniqueKey key;
  return RegCreateKeyExW(user_root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, layout::kWriteAccess,
                         nullptr, key.Put(), nullptr) == ERROR_SUCCESS
             ? 1
             : 0;
}

int IsSystemUser() {
  bool is_system = false;
  return IsLocalSystemCaller(&is_system) && is_system ? 1 : 0;
}

int RevertBackToSelf() { return RevertToSelf() ? 1 : 0; }

}  // namespace dpal::core
