// The colour steps on an identified panel: reading and setting its default profile for the user
// and for the machine, removing a profile's association with its display, and uninstalling a
// profile. User-scope steps follow the console-user rule: a LocalSystem caller makes them while
// impersonating the console user; any other caller in its own context.
#pragma once

#include "common/format.h"
#include "core/steps/colour_system.h"
#include "core/steps/panel.h"
#include "platform/win32.h"

namespace dpal::core {

// The default profile of the record's display in a scope, by the two-call read. False (name
// empty) when the size or the read fails, or when the name does not fit 260 units.
bool ReadDefaultProfile(const ColourSystem& colour, const PanelTarget& record,
                        WCS_PROFILE_MANAGEMENT_SCOPE scope, WCHAR (&name)[kPathUnits]);

// The user's default. A LocalSystem caller reads the console user's; when there is none (or the
// identity check, the token or the impersonation fails) the read still runs, in the caller's
// own context. False at once for a record that is not valid.
bool ReadUserDefault(const PanelTarget& record, WCHAR (&name)[kPathUnits]);
// The machine's default; no impersonation. False at once for a record that is not valid.
bool ReadSystemDefault(const PanelTarget& record, WCHAR (&name)[kPathUnits]);

// Makes the profile the user's default. Fails, setting nothing, when the identity check fails
// or, for a LocalSystem caller, when the console user's token or the impersonation cannot be
// had. The caller tests the record.
bool SetUserDefault(const PanelTarget& record, const WCHAR* name);
// Makes the profile the machine's default; no impersonation. The caller tests the record.
bool SetSystemDefault(const PanelTarget& record, const WCHAR* name);

// Removes the profile's association with the record's display (the path's target adapter and
// source id; zero when no path was found) from the list of the record's colour mode, in the
// scope. No impersonation. False for a record without a primary monitor, a null name, a colour
// system without the removal, or a failed removal.
bool RemoveDisplayAssociation(const PanelTarget& record, WCS_PROFILE_MANAGEMENT_SCOPE scope,
                              const WCHAR* name);

// Uninstalls the profile from the local machine and deletes its file. False for a null name.
// On failure `error`, when given, receives the colour system's error (0 when it was not called).
bool UninstallProfile(const WCHAR* name, DWORD* error = nullptr);

}  // namespace dpal::core
