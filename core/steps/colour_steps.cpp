#include "core/steps/colour_steps.h"

#include "core/steps/identity.h"

namespace dpal::core {

bool ReadDefaultProfile(const ColourSystem& colour, const PanelTarget& record,
                        WCS_PROFILE_MANAGEMENT_SCOPE scope, WCHAR (&name)[kPathUnits]) {
  name[0] = L'\0';
  const auto get_size = colour.GetDefaultProfileSize();
  const auto get = colour.GetDefaultProfile();
  if (get_size == nullptr || get == nullptr) return false;
  DWORD size = 0;
  if (!get_size(scope, record.deviceKey, CPT_ICC, record.subtype, record.profileId, &size)) {
    return false;
  }
  // The read goes into a scratch buffer of 260 units: a name that needs more (its size is in
  // bytes, the terminator included) cannot be one of ours and is refused before the read.
  WCHAR scratch[kPathUnits] = {};
  if (size == 0 || size > sizeof(scratch)) return false;
  if (!get(scope, record.deviceKey, CPT_ICC, record.subtype, record.profileId, size, scratch)) {
    return false;
  }
  return Copy(name, scratch);
}

bool ReadUserDefault(const PanelTarget& record, WCHAR (&name)[kPathUnits]) {
  name[0] = L'\0';
  if (!record.valid) return false;
  ColourSystem colour;
  if (!colour.Load()) return false;
  // Declared in the reverse order of their release: the impersonation ends before the token
  // closes.
  UniqueToken console_user;
  Impersonation impersonation;
  bool is_system = false;
  if (IsLocalSystemCaller(&is_system) && is_system && QueryConsoleUserToken(console_user)) {
    impersonation.Begin(console_user.get());
  }
  return ReadDefaultProfile(colour, record, WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, name);
}

bool ReadSystemDefault(const PanelTarget& record, WCHAR (&name)[kPathUnits]) {
  name[0] = L'\0';
  if (!record.valid) return false;
  ColourSystem colour;
  if (!colour.Load()) return false;
  return ReadDefaultProfile(colour, record, WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, name);
}

bool SetUserDefault(const PanelTarget& record, const WCHAR* name) {
  ColourSystem colour;
  if (!colour.Load()) return false;
  const auto set = colour.SetDefaultProfile();
  if (set == nullptr) return false;
  bool is_system = false;
  if (!IsLocalSystemCaller(&is_system)) return false;
  UniqueToken console_user;
  Impersonation impersonation;
  if (is_system) {
    if (!QueryConsoleUserToken(console_user)) return false;
    if (!impersonation.Begin(console_user.get())) return false;
  }
  return set(WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER, record.deviceKey, CPT_ICC, record.subtype,
             record.profileId, name) != FALSE;
}

bool SetSystemDefault(const PanelTarget& record, const WCHAR* name) {
  ColourSystem colour;
  if (!colour.Load()) return false;
  const auto set = colour.SetDefaultProfile();
  if (set == nullptr) return false;
  return set(WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE, record.deviceKey, CPT_ICC, record.subtype,
             record.profileId, name) != FALSE;
}

bool RemoveDisplayAssociation(const PanelTarget& record, WCS_PROFILE_MANAGEMENT_SCOPE scope,
                              const WCHAR* name) {
  if (name == nullptr || record.monitor == nullptr) return false;
  ColourSystem colour;
  if (!colour.Load()) return false;
  const auto remove = colour.RemoveDisplayAssociation();
  if (remove == nullptr) return false;
  const BOOL extended = record.subtype == kExtendedDisplayColourMode ? TRUE : FALSE;
  return SUCCEEDED(
      remove(scope, name, record.path.targetInfo.adapterId, record.path.sourceInfo.id, extended));
}

bool UninstallProfile(const WCHAR* name, DWORD* error) {
  if (error != nullptr) *error = 0;
  if (name == nullptr) return false;
  ColourSystem colour;
  if (!colour.Load()) return false;
  const auto uninstall = colour.UninstallProfile();
  if (uninstall == nullptr) return false;
  if (uninstall(nullptr, name, TRUE) != FALSE) return true;
  if (error != nullptr) *error = GetLastError();
  return false;
}

}  // namespace dpal::core
