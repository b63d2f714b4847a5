// What the registry area gives the other areas: users' hives as logons and profiles mount and
// unmount them, and key handles that platform functions open for their callers.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/registry/winreg.h"

// ntdll.dll's deletion of the key an open handle designates, which the registry area registers
// with the loader (products reach it through GetProcAddress): an NTSTATUS, 0 on success.
extern "C" LONG WINAPI NtDeleteKey(HANDLE KeyHandle);

namespace sim {

class AreaUse;
class Snapshot;

// Mounts a user's hive at HKEY_USERS\<sid>, as a logon or LoadUserProfileW does: read from
// `hive_file` (a file RegSaveKeyW wrote) when one is given and exists, else empty. The file stays
// open without sharing while the hive is loaded. NO_ERROR also when the hive is loaded already;
// ERROR_NOT_REGISTRY_FILE or the file's open error when it cannot be read.
DWORD LoadUserHiveLocked(const std::wstring& sid, const std::wstring& hive_file);
// Unmounts a hive that LoadUserHiveLocked mounted, writing it back to its file when it was read
// from one: ERROR_ACCESS_DENIED while a key handle into it
// is open, ERROR_FILE_NOT_FOUND when no such user hive is loaded.
DWORD UnloadUserHiveLocked(const std::wstring& sid);
// The machine's profile list (HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList):
// adds or replaces the entry of a user with its "ProfileImagePath" as a REG_EXPAND_SZ.
void AddProfileLocked(const std::wstring& sid, const std::wstring& image_path);
// The hive file of a user with a profile: "ntuser.dat" in the directory its "ProfileImagePath"
// names (expanded when it is a REG_EXPAND_SZ); empty when there is no such entry or file.
std::wstring ProfileHiveFileLocked(const std::wstring& sid);
// Whether the user's hive is loaded under HKEY_USERS\<sid> from a hive file.
bool UserHiveHasFileLocked(const std::wstring& sid);
// A hive file holding an empty hive, as a new profile's ntuser.dat.
std::vector<uint8_t> EmptyHiveFileBytes();
// Deletes a key below HKEY_LOCAL_MACHINE with everything below it, as the system does (no
// access check, open handles then read it as deleted); nothing when there is no such key.
void DeleteMachineKeyTreeLocked(const std::wstring& path);
// Opens a key as RegOpenKeyExW does (with REG_OPTION_OPEN_LINK when `open_link`), without the
// trace and fault injection of a platform call, for platform functions that open keys themselves
// (LoadUserProfileW's profile handle).
LSTATUS OpenKeyLocked(HKEY key, const wchar_t* sub_key, REGSAM access, HKEY* result,
                      bool open_link = false);
// Closes a key handle that OpenKeyLocked gave, if it is still open (its owner may have closed it).
void CloseKeyLocked(HKEY key);

// ----- Row of the table of areas
// -------------------------------------------------------------------

void ResetRegistryLocked();
AreaUse& RegistryUse();                        // the mark of the registry's use (kernel/areas.h)
void RegistryLeaksLocked(LeakReport& report);  // hives RegLoadKeyW loaded and nobody unloaded
// Part "hives": every hive mounted below the roots, by its full key path, with its kind and the
// file it was read from. Part "registry": every key ("key", volatile or with a class) and every
// value (the key's path, a space and the quoted name, or "(default)") with its type and data.
void SnapshotRegistryLocked(Snapshot& out);
// The keys an event that a blocked thread waits for is armed for (WaitedObject::notified_keys).
void DescribeRegistryWaitLocked(const std::vector<const Object*>& objects, BlockedThread& thread);

}  // namespace sim
