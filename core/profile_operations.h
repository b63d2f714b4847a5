// The core library's operations on the panel's default profiles, as its exports offer them to
// their client: each identifies the panel afresh (the primary display) and answers 1 or 0.
#pragma once

#include "platform/win32.h"

namespace dpal::core {

// The user's (resp. the machine's) default profile of the panel, into the caller's buffer of
// `capacity` units, terminator included. 0 with the buffer untouched when the buffer is null,
// the capacity 0, the panel not identified or the read failed; 0 with an empty string for a
// capacity above 2,147,483,647; 0 with the first capacity - 1 units for a name that does not fit.
int GetDefaultUserProfile(int kind, DWORD capacity, WCHAR* buffer);
int GetDefaultSystemProfile(int kind, DWORD capacity, WCHAR* buffer);

// Makes the profile the panel's default for the user, then for the machine; the answer is the
// machine step's. A user default that was set stays when the machine step fails; when the user
// step fails the machine default is not touched.
int SetDefaultColorProfileToPrimaryMonitor(int kind, const WCHAR* name);

// Removes the profile's association with the panel's display, for the user (in the caller's own
// context) or the machine.
int DisassociateUserColorProfile(int kind, const WCHAR* name);
int DisassociateSystemColorProfile(int kind, const WCHAR* name);

// Uninstalls the profile and deletes its file; the kind is not used.
int UninstallICCProfile(int kind, const WCHAR* name);

}  // namespace dpal::core
