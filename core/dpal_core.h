// The twelve exports of DPALCore.dll, by their undecorated names, for the library's client.
// Each returns a 32-bit integer: 1 for success and 0 for failure, or WaitForUsrUpdate's outcome
// code (0 quiet end, 1 the user's state unreadable at the start, 2 changed to 1, 3 changed to 0).
// Profile kinds: 1 standard, 2 extended (advanced colour). Nothing is logged or shown.
#pragma once

#include "platform/win32.h"

extern "C" {

// The panel's default profile for the user (console user for a LocalSystem caller) or the
// machine, into `buffer` of `capacity` units, terminator included.
int WINAPI GetDefaultUserProfile(int kind, DWORD capacity, LPWSTR buffer);
int WINAPI GetDefaultSystemProfile(int kind, DWORD capacity, LPWSTR buffer);
// Makes the profile the panel's default for the user, then the machine.
int WINAPI SetDefaultColorProfileToPrimaryMonitor(int kind, LPCWSTR name);
// Removes the profile's association with the panel's display for the user or the machine.
int WINAPI DisassociateUserColorProfile(int kind, LPCWSTR name);
int WINAPI DisassociateSystemColorProfile(int kind, LPCWSTR name);
// Uninstalls the profile from the machine and deletes its file.
int WINAPI UninstallICCProfile(int kind, LPCWSTR name);

// Records the apply state: target 1 user and machine, 2 user only, 3 machine only.
int WINAPI SaveCurrentApplyStatus(int target, DWORD value);
// Records for the user that the profile was set (a marker key).
int WINAPI SaveUserProfile(LPCWSTR name);
// Non-zero when the process runs as LocalSystem.
int WINAPI IsSystemUser();
// Ends the calling thread's impersonation.
int WINAPI RevertBackToSelf();
// Blocks until the user's apply state changes or the wait is stopped; one wait at a time.
int WINAPI WaitForUsrUpdate();
// Ends the wait in progress (from another thread); 1.
int WINAPI StopWaitForUsrUpdate();
}
