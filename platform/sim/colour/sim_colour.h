// The test side of the simulated colour system: installed profiles, the default profiles per
// scope, and the association lists of each display. Included from sim.h.
//
// A scope is the machine (an empty SID) or one user (the user's SID): the user scope of a call
// is the user of the calling thread's token, so an impersonating thread works in the
// impersonated user's scope. A user without a default of their own reads the machine's, and
// where neither has one the read answers the standard sRGB profile, as Windows does for a
// device with no profile associated (the profile's file is not put in the colour directory).
//
// A profile still associated with a display, in any scope's list, cannot be uninstalled:
// UninstallColorProfileW refuses it with ERROR_BUSY and leaves its file. Windows documents no
// such case; the sim takes the stricter behaviour so that an uninstall before the
// disassociation shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/colour/icm.h"
#include "platform/sim/displays/winuser.h"

namespace sim {

// The profile subtypes of the two display colour modes (the SDK headers name them no further).
inline constexpr DWORD kStandardDisplayColourMode = 7;
inline constexpr DWORD kExtendedDisplayColourMode = 8;
// The name a default read answers where no default is set (the standard profile).
inline constexpr const wchar_t* kStandardColourProfile = L"sRGB Color Space Profile.icm";
// Where mscms.dll exports the display association removal besides its name.
inline constexpr WORD kAssociationRemovalOrdinal = 231;
inline constexpr const char* kAssociationRemovalName = "ColorProfileRemoveDisplayAssociation";

// The colour directory (the system directory's "spool\drivers\color"). A profile is installed
// when its file is there.
std::wstring ColourDirectory();
void InstallColourProfile(const std::wstring& name, const std::vector<uint8_t>& bytes = {1, 2, 3});
bool ColourProfileInstalled(const std::wstring& name);

// The default profile of a scope for a device (a monitor's device key, or empty for the
// device-independent default), profile subtype and profile id, as WcsSetDefaultColorProfile
// stores it. Setting one associates nothing; reading gives the scope's own default only (no
// fallback to the machine's), empty when there is none.
void SetDefaultColourProfile(const std::wstring& scope_sid, const std::wstring& device_key,
                             DWORD subtype, DWORD profile_id, const std::wstring& name);
std::wstring DefaultColourProfile(const std::wstring& scope_sid, const std::wstring& device_key,
                                  DWORD subtype, DWORD profile_id = 1);

// The association list of a scope for one display (adapter LUID and source id), standard or
// advanced colour, in order of association (the last is the one in effect).
void SetColourAssociations(const std::wstring& scope_sid, const LUID& adapter, UINT32 source_id,
                           bool advanced, const std::vector<std::wstring>& names);
std::vector<std::wstring> ColourAssociations(const std::wstring& scope_sid, const LUID& adapter,
                                             UINT32 source_id, bool advanced);

// The size WcsGetDefaultColorProfileSize reports from now on, whatever the default is (a colour
// store that answers a size its read does not match); nullopt, after Reset, the true size.
void SetReportedDefaultProfileSize(std::optional<DWORD> bytes);

// How mscms.dll exports the display association removal: by name, at ordinal 231, both (after
// Reset) or neither (older Windows builds; Wine).
void SetAssociationRemovalExports(bool by_name, bool at_ordinal);

}  // namespace sim
