// What the registry area gives the other areas: users' hives as logons and profiles mount and
// unmount them, and key handles that platform functions open for their callers.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/kernel/internal.h"
#include "platform/sim/registry/winreg.h"

namespace sim {

// Mounts a user's hive at HKEY_USERS\<sid>, as a logon or LoadUserProfileW does: read from
// `hive_file` (a file RegSaveKeyW wrote) when one is given and exists, else empty. The file stays
// open without sharing while the hive is loaded. NO_ERROR also when the hive is loaded already;
// ERROR_NOT_REGISTRY_FILE or the file's open error when it cannot be read.
DWORD LoadUserHiveLocked(const std::wstring& sid, const std::wstring& hive_file);
// Unmounts a hive that LoadUserHiveLocked mounted: ERROR_ACCESS_DENIED while a key handle into it
// is open, ERROR_FILE_NOT_FOUND when no such user hive is loaded.
DWORD UnloadUserHiveLocked(const std::wstring& sid);
// Opens a key as RegOpenKeyExW does, without the trace and fault injection of a platform call,
// for platform functions that open keys themselves (LoadUserProfileW's profile handle).
LSTATUS OpenKeyLocked(HKEY key, const wchar_t* sub_key, REGSAM access, HKEY* result);
// Closes a key handle that OpenKeyLocked gave, if it is still open (its owner may have closed it).
void CloseKeyLocked(HKEY key);

// ----- Row of the table of areas
// -------------------------------------------------------------------

void ResetRegistryLocked();
void RegistryLeaksLocked(LeakReport& report);  // hives RegLoadKeyW loaded and nobody unloaded
// The keys an event that a blocked thread waits for is armed for (WaitedObject::notified_keys).
void DescribeRegistryWaitLocked(const std::vector<const Object*>& objects, BlockedThread& thread);

}  // namespace sim
