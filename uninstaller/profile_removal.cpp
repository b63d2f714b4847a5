// RemoveColorProfiles: the package's profiles are taken off the panel's display, per user and
// machine-wide, and then uninstalled, which deletes their files from the colour directory.
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "common/user_session.h"
#include "core/colour_steps.h"
#include "core/identity.h"
#include "core/panel.h"
#include "loader/shared/registry.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

// One listed profile: its kind as stored, and the name of its file in the colour directory.
struct ProfileEntry {
  DWORD type = 0;
  WCHAR file[kPathUnits] = {};
};

// The entry's "Type"; 0 when it is missing, of another type or unreadable.
DWORD ReadType(HKEY root, const WCHAR* key_path) {
  DWORD type = 0;
  DWORD size = sizeof(type);
  if (RegGetValueW(root, key_path, L"Type", RRF_RT_REG_DWORD, nullptr, &type, &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  return type;
}

// The entries of one list, the subkeys of root\key in enumeration order. A name whose key path
// does not fit makes the whole list yield nothing. The file is named as the service names the
// files it installs (from the first "QXLCD_" of the name on), so that an entry whose name has a
// prefix removes the file that was installed for it; a name without the marker names no file of
// the package and is passed over.
std::vector<ProfileEntry> ReadProfileList(HKEY root, const WCHAR* key) {
  std::vector<std::wstring> names;
  EnumerateSubKeys(root, key, names);
  std::vector<ProfileEntry> entries;
  for (const std::wstring& name : names) {
    WCHAR key_path[kPathUnits];
    if (!Format(key_path, L"%s\\%s", key, name.c_str())) return {};
    ProfileEntry entry;
    entry.type = ReadType(root, key_path);
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
  // A name in both lists is uninstalled twice; the second attempt finds nothing and fails.
  for (const std::wstring& file : removal) core::UninstallProfile(file.c_str());
}

}  // namespace dpal::uninstaller
