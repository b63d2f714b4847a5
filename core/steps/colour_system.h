// The colour system's functions, from mscms.dll of the system directory, resolved at run time:
// the display association removal exists only on newer Windows builds (and not under Wine), so
// nothing of mscms.dll is imported statically and a missing function fails only its own step.
#pragma once

#include "common/module.h"
#include "platform/win32.h"

namespace dpal::core {

// The subtype is passed as the 32-bit number it is (the functions are resolved at run time, so
// their types are ours to state): the SDK's enumeration stops before the display colour modes.
using GetDefaultProfileSizeFn = BOOL(WINAPI*)(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR,
                                              COLORPROFILETYPE, DWORD, DWORD, PDWORD);
using GetDefaultProfileFn = BOOL(WINAPI*)(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR, COLORPROFILETYPE,
                                          DWORD, DWORD, DWORD, LPWSTR);
using SetDefaultProfileFn = BOOL(WINAPI*)(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR, COLORPROFILETYPE,
                                          DWORD, DWORD, LPCWSTR);
using UninstallProfileFn = BOOL(WINAPI*)(PCWSTR, PCWSTR, BOOL);
// Removes a profile's association with the display of an adapter LUID and source id, from the
// standard or (extended TRUE) the advanced colour list of the scope.
using RemoveDisplayAssociationFn = HRESULT(WINAPI*)(WCS_PROFILE_MANAGEMENT_SCOPE, PCWSTR, LUID,
                                                    UINT32, BOOL);

// The removal's documented name, and the ordinal the package used before it had the name.
inline constexpr const char kRemoveDisplayAssociationName[] =
    "ColorProfileRemoveDisplayAssociation";
inline constexpr WORD kRemoveDisplayAssociationOrdinal = 231;

// One load of mscms.dll for the duration of one operation.
class ColourSystem {
 public:
  // Loads the library from the system directory; false when it cannot be loaded.
  bool Load();

  // Each function, or null when the library does not have it.
  GetDefaultProfileSizeFn GetDefaultProfileSize() const;
  GetDefaultProfileFn GetDefaultProfile() const;
  SetDefaultProfileFn SetDefaultProfile() const;
  UninstallProfileFn UninstallProfile() const;
  // By its name first; where the name is missing, at ordinal 231.
  RemoveDisplayAssociationFn RemoveDisplayAssociation() const;

 private:
  UniqueModule module_;
};

}  // namespace dpal::core
