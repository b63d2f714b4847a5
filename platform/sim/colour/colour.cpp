// The Windows Color System's profile management: the colour directory, installed profiles, the
// default profile of each scope, device, subtype and profile id, the association lists of each
// display, and mscms.dll with its exports.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <sstream>
#include <tuple>

#include "platform/sim/colour/internal.h"
#include "platform/sim/displays/internal.h"
#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/snapshot.h"

namespace sim {

AreaUse& ColourUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

namespace {

struct DefaultKey {
  std::wstring scope;   // upper-case SID, empty for the machine
  std::wstring device;  // upper-case device name, empty for the device-independent default
  DWORD type;
  DWORD subtype;
  DWORD profile_id;
  bool operator<(const DefaultKey& o) const {
    return std::tie(scope, device, type, subtype, profile_id) <
           std::tie(o.scope, o.device, o.type, o.subtype, o.profile_id);
  }
};

struct DisplayKey {
  std::wstring scope;
  DWORD adapter_low;
  LONG adapter_high;
  UINT32 source_id;
  bool advanced;
  bool operator<(const DisplayKey& o) const {
    return std::tie(scope, adapter_low, adapter_high, source_id, advanced) <
           std::tie(o.scope, o.adapter_low, o.adapter_high, o.source_id, o.advanced);
  }
};

struct Colour {
  std::map<DefaultKey, std::wstring> defaults;
  std::map<DisplayKey, std::vector<std::wstring>> associations;
  bool removal_by_name = true;
  bool removal_at_ordinal = true;
  std::optional<DWORD> reported_size;
};

Colour& C() {
  static Colour* colour = new Colour();
  ColourUse().Mark();
  return *colour;
}

DefaultKey MakeDefaultKey(const std::wstring& scope, const wchar_t* device, DWORD type,
                          DWORD subtype, DWORD profile_id) {
  return DefaultKey{Upper(scope), device ? Upper(device) : std::wstring(), type, subtype,
                    profile_id};
}

DisplayKey MakeDisplayKey(const std::wstring& scope, const LUID& adapter, UINT32 source_id,
                          bool advanced) {
  return DisplayKey{Upper(scope), adapter.LowPart, adapter.HighPart, source_id, advanced};
}

std::wstring ColourDirectoryLocked() {
  return SystemDirectoryLocked() + L"\\spool\\drivers\\color";
}

// The scope a call works in: the machine, or the user the calling thread acts as.
bool ScopeOfLocked(WCS_PROFILE_MANAGEMENT_SCOPE scope, std::wstring* sid) {
  if (scope == WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE) {
    sid->clear();
    return true;
  }
  if (scope != WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER) return false;
  *sid = EffectiveTokenLocked()->user_sid;
  return true;
}

// Machine-wide changes are for administrators (and LocalSystem).
bool MayChangeMachineLocked() {
  auto token = EffectiveTokenLocked();
  return token->administrator || IsSystemSid(token->user_sid);
}

bool InstalledLocked(const std::wstring& name) {
  if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) return false;
  const FileEntry entry = FileEntryLocked(ColourDirectoryLocked() + L"\\" + name);
  return entry.exists && !entry.directory && !entry.delete_pending;
}

// The default a read finds: the scope's own, for a user without one the machine's, and where
// neither has one the standard profile.
std::wstring FindDefaultLocked(const std::wstring& scope, const wchar_t* device,
                               COLORPROFILETYPE type, COLORPROFILESUBTYPE subtype,
                               DWORD profile_id) {
  auto& defaults = C().defaults;
  auto it = defaults.find(MakeDefaultKey(scope, device, type, subtype, profile_id));
  if (it == defaults.end() && !scope.empty()) {
    it = defaults.find(MakeDefaultKey(L"", device, type, subtype, profile_id));
  }
  return it == defaults.end() ? std::wstring(kStandardColourProfile) : it->second;
}

bool SameName(const std::wstring& a, const std::wstring& b) { return EqualsNoCase(a, b); }

// Whether some display's list, in any scope, holds the profile.
bool AssociatedLocked(const std::wstring& name) {
  for (const auto& [key, names] : C().associations) {
    for (const std::wstring& listed : names) {
      if (SameName(listed, name)) return true;
    }
  }
  return false;
}

HRESULT WINAPI ColorProfileRemoveDisplayAssociation(WCS_PROFILE_MANAGEMENT_SCOPE scope,
                                                    PCWSTR profileName, LUID targetAdapterID,
                                                    UINT32 sourceID,
                                                    BOOL dissociateAdvancedColorProfile) {
  if (DWORD e = Enter(__func__,
                      Args(static_cast<int>(scope), profileName, targetAdapterID.LowPart,
                           targetAdapterID.HighPart, sourceID, dissociateAdvancedColorProfile))) {
    return HRESULT_FROM_WIN32(e);
  }
  if (profileName == nullptr) return E_INVALIDARG;
  Lock lock(MachineLock());
  std::wstring sid;
  if (!ScopeOfLocked(scope, &sid)) return E_INVALIDARG;
  if (sid.empty() && !MayChangeMachineLocked()) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  if (!DisplayExistsLocked(targetAdapterID, sourceID)) return E_INVALIDARG;
  if (!InstalledLocked(profileName)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  const bool advanced = dissociateAdvancedColorProfile != FALSE;
  auto& list = C().associations[MakeDisplayKey(sid, targetAdapterID, sourceID, advanced)];
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const std::wstring& name) { return SameName(name, profileName); });
  if (it == list.end()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  list.erase(it);
  // A default that was this profile falls back to the profile associated before it.
  const DWORD subtype = advanced ? kExtendedDisplayColourMode : kStandardDisplayColourMode;
  for (const std::wstring& device : DeviceKeysOfDisplayLocked(targetAdapterID, sourceID)) {
    auto& defaults = C().defaults;
    for (auto d = defaults.begin(); d != defaults.end();) {
      const DefaultKey& key = d->first;
      if (key.scope == Upper(sid) && key.device == Upper(device) && key.subtype == subtype &&
          SameName(d->second, profileName)) {
        if (list.empty()) {
          d = defaults.erase(d);
          continue;
        }
        d->second = list.back();
      }
      ++d;
    }
  }
  return S_OK;
}

template <typename F>
void (*Exported(F function))() {
  return reinterpret_cast<void (*)()>(function);
}

void RegisterMscmsLocked() {
  std::vector<ModuleExport> exports = {
      {"GetColorDirectoryW", 0, Exported(&GetColorDirectoryW)},
      {"UninstallColorProfileW", 0, Exported(&UninstallColorProfileW)},
      {"WcsGetDefaultColorProfile", 0, Exported(&WcsGetDefaultColorProfile)},
      {"WcsGetDefaultColorProfileSize", 0, Exported(&WcsGetDefaultColorProfileSize)},
      {"WcsSetDefaultColorProfile", 0, Exported(&WcsSetDefaultColorProfile)},
  };
  if (C().removal_by_name || C().removal_at_ordinal) {
    exports.push_back({C().removal_by_name ? kAssociationRemovalName : "",
                       static_cast<WORD>(C().removal_at_ordinal ? kAssociationRemovalOrdinal : 0),
                       Exported(&ColorProfileRemoveDisplayAssociation)});
  }
  RegisterSystemModuleLocked(L"mscms.dll", exports);
}

}  // namespace

void ResetColourLocked() {
  C().defaults.clear();
  C().associations.clear();
  C().removal_by_name = true;
  C().removal_at_ordinal = true;
  C().reported_size.reset();
  RegisterMscmsLocked();
}

void SnapshotColourLocked(Snapshot& out) {
  for (const std::wstring& name : FileNamesInLocked(ColourDirectoryLocked())) {
    out.Put("colour", L"profile " + name, L"installed");
  }
  for (const auto& [key, name] : C().defaults) {
    std::ostringstream item;
    item << "default of " << (key.scope.empty() ? "the machine" : Utf8(key.scope)) << " for "
         << (key.device.empty() ? "no device" : "\"" + Utf8(key.device) + "\"") << ", type "
         << key.type << ", subtype " << key.subtype << ", profile id " << key.profile_id;
    out.Put("colour", item.str(), "\"" + Utf8(name) + "\"");
  }
  for (const auto& [key, names] : C().associations) {
    if (names.empty()) continue;  // as if never associated
    std::ostringstream item;
    item << (key.advanced ? "advanced colour" : "standard") << " associations of "
         << (key.scope.empty() ? "the machine" : Utf8(key.scope)) << " for adapter " << std::hex
         << key.adapter_high << ":" << key.adapter_low << std::dec << " source " << key.source_id;
    out.Put("colour", item.str(), ListText(names));
  }
}

// ----- Test-facing side ----------------------------------------------------------------------

std::wstring ColourDirectory() {
  Lock lock(MachineLock());
  return ColourDirectoryLocked();
}

void InstallColourProfile(const std::wstring& name, const std::vector<uint8_t>& bytes) {
  PutFile(ColourDirectory() + L"\\" + name, bytes);
}

bool ColourProfileInstalled(const std::wstring& name) {
  Lock lock(MachineLock());
  return InstalledLocked(name);
}

void SetDefaultColourProfile(const std::wstring& scope_sid, const std::wstring& device_key,
                             DWORD subtype, DWORD profile_id, const std::wstring& name) {
  Lock lock(MachineLock());
  C().defaults[MakeDefaultKey(scope_sid, device_key.c_str(), CPT_ICC, subtype, profile_id)] = name;
}

std::wstring DefaultColourProfile(const std::wstring& scope_sid, const std::wstring& device_key,
                                  DWORD subtype, DWORD profile_id) {
  Lock lock(MachineLock());
  auto& defaults = C().defaults;
  auto it =
      defaults.find(MakeDefaultKey(scope_sid, device_key.c_str(), CPT_ICC, subtype, profile_id));
  return it == defaults.end() ? std::wstring() : it->second;
}

void SetColourAssociations(const std::wstring& scope_sid, const LUID& adapter, UINT32 source_id,
                           bool advanced, const std::vector<std::wstring>& names) {
  Lock lock(MachineLock());
  C().associations[MakeDisplayKey(scope_sid, adapter, source_id, advanced)] = names;
}

std::vector<std::wstring> ColourAssociations(const std::wstring& scope_sid, const LUID& adapter,
                                             UINT32 source_id, bool advanced) {
  Lock lock(MachineLock());
  auto& associations = C().associations;
  auto it = associations.find(MakeDisplayKey(scope_sid, adapter, source_id, advanced));
  return it == associations.end() ? std::vector<std::wstring>() : it->second;
}

void SetReportedDefaultProfileSize(std::optional<DWORD> bytes) {
  Lock lock(MachineLock());
  C().reported_size = bytes;
}

void SetAssociationRemovalExports(bool by_name, bool at_ordinal) {
  Lock lock(MachineLock());
  C().removal_by_name = by_name;
  C().removal_at_ordinal = at_ordinal;
  RegisterMscmsLocked();
}

}  // namespace sim

// ----- Win32 ----------------------------------------------------------------------------------

using namespace sim;

extern "C" BOOL WINAPI GetColorDirectoryW(PCWSTR pMachineName, PWSTR pBuffer, PDWORD pdwSize) {
  if (DWORD e = Enter(__func__, Args(pMachineName, static_cast<const void*>(pBuffer),
                                     static_cast<const void*>(pdwSize)))) {
    return Fail(e, FALSE);
  }
  if (pdwSize == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Other machines are not reached (the parameter is reserved).
  if (pMachineName != nullptr) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  Lock lock(MachineLock());
  const std::wstring directory = ColourDirectoryLocked();
  const auto needed = static_cast<DWORD>((directory.size() + 1) * sizeof(WCHAR));
  const DWORD given = *pdwSize;
  *pdwSize = needed;
  if (pBuffer == nullptr || given < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::wmemcpy(pBuffer, directory.c_str(), directory.size() + 1);
  return TRUE;
}

extern "C" BOOL WINAPI UninstallColorProfileW(PCWSTR pMachineName, PCWSTR pProfileName,
                                              BOOL bDelete) {
  if (DWORD e = Enter(__func__, Args(pMachineName, pProfileName, bDelete))) {
    return Fail(e, FALSE);
  }
  if (pProfileName == nullptr || pProfileName[0] == L'\0') {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (pMachineName != nullptr) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  Lock lock(MachineLock());
  const std::wstring given(pProfileName);
  std::wstring full;
  if (given.find_first_of(L"\\/") == std::wstring::npos) {
    full = ColourDirectoryLocked() + L"\\" + given;
  } else if (DWORD e =
                 FullFilePath(pProfileName, CurrentIdentityLocked().current_directory, &full)) {
    return Fail(e, FALSE);
  }
  const FileEntry entry = FileEntryLocked(full);
  if (!entry.exists || entry.directory || entry.delete_pending) {
    return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  }
  if (!MayChangeMachineLocked()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  // A profile in use: an installed one (in the colour directory) that a display's list holds.
  const size_t slash = full.rfind(L'\\');
  if (EqualsNoCase(full.substr(0, slash), ColourDirectoryLocked()) &&
      AssociatedLocked(full.substr(slash + 1))) {
    return Fail(ERROR_BUSY, FALSE);
  }
  if (bDelete) {
    if (DWORD e = DeleteFileLocked(full)) return Fail(e, FALSE);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI WcsGetDefaultColorProfileSize(WCS_PROFILE_MANAGEMENT_SCOPE scope,
                                                     PCWSTR pDeviceName, COLORPROFILETYPE type,
                                                     COLORPROFILESUBTYPE subtype, DWORD profile_id,
                                                     PDWORD pcbProfileName) {
  if (DWORD e = Enter(__func__, Args(static_cast<int>(scope), pDeviceName, static_cast<int>(type),
                                     static_cast<int>(subtype), profile_id,
                                     static_cast<const void*>(pcbProfileName)))) {
    return Fail(e, FALSE);
  }
  if (pcbProfileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  std::wstring sid;
  if (!ScopeOfLocked(scope, &sid)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring name = FindDefaultLocked(sid, pDeviceName, type, subtype, profile_id);
  *pcbProfileName =
      C().reported_size.value_or(static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI WcsGetDefaultColorProfile(WCS_PROFILE_MANAGEMENT_SCOPE scope,
                                                 PCWSTR pDeviceName, COLORPROFILETYPE type,
                                                 COLORPROFILESUBTYPE subtype, DWORD profile_id,
                                                 DWORD cbProfileName, LPWSTR pProfileName) {
  if (DWORD e = Enter(__func__, Args(static_cast<int>(scope), pDeviceName, static_cast<int>(type),
                                     static_cast<int>(subtype), profile_id, cbProfileName,
                                     static_cast<const void*>(pProfileName)))) {
    return Fail(e, FALSE);
  }
  if (pProfileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  std::wstring sid;
  if (!ScopeOfLocked(scope, &sid)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring name = FindDefaultLocked(sid, pDeviceName, type, subtype, profile_id);
  // The whole name with its terminator goes into the caller's buffer, which the caller says is
  // cbProfileName bytes long.
  if (cbProfileName < (name.size() + 1) * sizeof(WCHAR)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::wmemcpy(pProfileName, name.c_str(), name.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI WcsSetDefaultColorProfile(WCS_PROFILE_MANAGEMENT_SCOPE scope,
                                                 PCWSTR pDeviceName, COLORPROFILETYPE type,
                                                 COLORPROFILESUBTYPE subtype, DWORD profile_id,
                                                 LPCWSTR pProfileName) {
  if (DWORD e = Enter(__func__, Args(static_cast<int>(scope), pDeviceName, static_cast<int>(type),
                                     static_cast<int>(subtype), profile_id, pProfileName))) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  std::wstring sid;
  if (!ScopeOfLocked(scope, &sid)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const DefaultKey key = MakeDefaultKey(sid, pDeviceName, type, subtype, profile_id);
  if (pProfileName == nullptr) {
    // A user's default is dropped, so that reads give the machine's again.
    if (sid.empty()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    C().defaults.erase(key);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (sid.empty() && !MayChangeMachineLocked()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!InstalledLocked(pProfileName)) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  C().defaults[key] = pProfileName;
  // The profile becomes the last one associated with the device's display, in the list of its
  // colour mode.
  LUID adapter = {};
  UINT32 source_id = 0;
  const auto mode = static_cast<DWORD>(subtype);
  const bool display_mode =
      mode == kStandardDisplayColourMode || mode == kExtendedDisplayColourMode;
  if (display_mode && pDeviceName != nullptr &&
      DisplayOfDeviceKeyLocked(pDeviceName, &adapter, &source_id)) {
    auto& list = C().associations[MakeDisplayKey(sid, adapter, source_id,
                                                 mode == kExtendedDisplayColourMode)];
    list.erase(
        std::remove_if(list.begin(), list.end(),
                       [&](const std::wstring& name) { return SameName(name, pProfileName); }),
        list.end());
    list.push_back(pProfileName);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
