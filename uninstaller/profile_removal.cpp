// RemoveColorProfiles: the package's profiles are taken off the panel's display, per user and
// machine-wide, and then uninstalled, which deletes their files from the colour directory.
#include <algorithm>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "common/user_session.h"
#include "core/steps/colour_steps.h"
#include "core/steps/identity.h"
#include "core/steps/panel.h"
#include "loader/shared/registry.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

// One listed profile: its kind as stored, and the name of its file in the colour directory.
struct ProfileEntry {
  DWORD type = 0;
  std::wstring name;  // the subkey's name
  WCHAR file[kPathUnits] = {};
};

// The entry's "Type"; 0 when it is missing, of another type or unreadable.
DWORD ReadType(HKEY root, const WCHAR* key_path) {
  DWORD type = 0;
  ReadDword(root, key_path, layout::kTypeValue, &type);
  return type;
}

// The entries of one list, the subkeys of root\key in enumeration order. A name whose key path
// does not fit makes the whole list yield nothing. The file is named as the service names the
// files it installs (from the first "QXLCD_" of the name on), so that an entry whose name has a
// prefix removes the file that was installed for it. A name without the marker, or whose file
// would not be a plain file name, names no file of the package and is passed over: a user writes
// his own list, and a key name may hold "/" or "..", which this LocalSystem process must never
// hand to the colour system as a path.
std::vector<ProfileEntry> ReadProfileList(HKEY root, const WCHAR* key) {
  std::vector<std::wstring> names;
  EnumerateSubKeys(root, key, names);
  std::vector<ProfileEntry> entries;
  for (const std::wstring& name : names) {
    WCHAR key_path[kPathUnits];
    if (!Format(key_path, L"%s\\%s", key, name.c_str())) return {};
    ProfileEntry entry;
    entry.type = ReadType(root, key_path);
    entry.name = name;
    WCHAR base[kPathUnits];
    if (!ProfileFileBaseName(name.c_str(), base)) continue;
    if (!ProfileFileName(name.c_str(), entry.file)) return {};
    entries.push_back(entry);
  }
  return entries;
}

// Removes the entry's association with the panel's display in the scope. The user scope of a
// LocalSystem process is the console user's, while there is one: the call is made impersonating
// that user, else under the process's own account.
void Disassociate(const ProfileEntry& entry, WCS_PROFILE_MANAGEMENT_SCOPE scope) {
  const core::PanelTarget record = core::IdentifyPrimaryPanel(static_cast<int>(entry.type));
  if (record.monitor == nullptr) return;
  UniqueToken token;
  Impersonation impersonation;
  if (scope == WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER) {
    bool is_system = false;
    if (core::IsLocalSystemCaller(&is_system) && is_system && QueryConsoleUserToken(token)) {
      impersonation.Begin(token.get());
    }
  }
  core::RemoveDisplayAssociation(record, scope, entry.file);
}

// The "Type" of the catalogue entry of that name; 0 when there is none.
DWORD CatalogueType(const std::wstring& name) {
  WCHAR key_path[kPathUnits];
  if (!Format(key_path, L"%s\\%s", layout::kCatalogueKey, name.c_str())) return 0;
  return ReadType(HKEY_LOCAL_MACHINE, key_path);
}

// The profile list in the hive of the console user, as HKEY_USERS holds it while the user is
// logged on, for a LocalSystem process; empty for any other process, and when there is no
// console user or the user's SID cannot be had.
std::vector<ProfileEntry> ReadConsoleUserList() {
  bool is_system = false;
  if (!core::IsLocalSystemCaller(&is_system) || !is_system) return {};
  std::wstring sid;
  if (!core::ReadConsoleUserSid(&sid)) return {};
  WCHAR key[kPathUnits];
  if (!Format(key, L"%s\\%s", sid.c_str(), layout::kProfileMarkerKey)) return {};
  return ReadProfileList(HKEY_USERS, key);
}

// A profile whose file a program holds open (the per-user program the service launched runs on
// after the service has stopped) cannot be deleted now, and would outlive the package, as no
// later run of the cleanup comes: the file is deleted at the next restart instead. A profile the
// colour system refuses for another reason (one still in use by a list the cleanup leaves alone)
// stays with that list. `file` is a plain file name (ReadProfileList).
void DeleteAtRestartWhenLeft(const WCHAR* file) {
  WCHAR directory[kPathUnits];
  WCHAR path[kPathUnits];
  if (!GetColourDirectory(directory) || !Format(path, L"%s\\%s", directory, file)) return;
  if (PathFileExistsW(path)) MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace

void RemoveColorProfiles() {
  std::vector<std::wstring> removal;
  const struct {
    HKEY root;
    const WCHAR* key;
    WCS_PROFILE_MANAGEMENT_SCOPE scope;
  } lists[] = {
      {HKEY_CURRENT_USER, layout::kProfileMarkerKey, WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER},
      {HKEY_LOCAL_MACHINE, layout::kCatalogueKey, WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE},
  };
  for (const auto& list : lists) {
    for (const ProfileEntry& entry : ReadProfileList(list.root, list.key)) {
      Disassociate(entry, list.scope);
      removal.emplace_back(entry.file);
    }
  }
  // The core library records a LocalSystem caller's profiles in the console user's hive, not in
  // LocalSystem's own, so the console user's list is read there as well; without it the user's
  // associations would outlive the profile files they name. Its entries carry no "Type": the
  // catalogue entry of the same name tells the display colour mode.
  for (ProfileEntry& entry : ReadConsoleUserList()) {
    if (entry.type == 0) entry.type = CatalogueType(entry.name);
    Disassociate(entry, WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER);
    removal.emplace_back(entry.file);
  }
  // A name in both lists is uninstalled twice; the second attempt finds nothing and fails.
  std::vector<std::wstring> left;
  for (const std::wstring& file : removal) {
    DWORD error = 0;
    if (core::UninstallProfile(file.c_str(), &error) || error != ERROR_SHARING_VIOLATION) continue;
    if (std::find(left.begin(), left.end(), file) != left.end()) continue;
    left.push_back(file);
    DeleteAtRestartWhenLeft(file.c_str());
  }
}

}  // namespace dpal::uninstaller
