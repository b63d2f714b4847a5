// The restart of the machine, where the areas meet: the shutdown and the boot that follows are
// one order of steps across the areas (restart.cpp), and each area carries out its own step,
// declared here and defined in the area. The file operations that MoveFileExW records for the
// next boot live in the Session Manager's registry value: the files area records and later
// carries them out, the registry area keeps the value, and the two meet here instead of
// including each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/windef.h"

namespace sim {

// ----- File operations at the restart ------------------------------------------------------------

// Where MoveFileExW records what the next restart renames and deletes: a REG_MULTI_SZ value of
// pairs, each the source as an NT path ("\??\C:\dir\name") and the target as one, with "!" in
// front when it may be replaced, or an empty string for a deletion.
inline constexpr const wchar_t* kSessionManagerKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const wchar_t* kPendingFileRenameOperations = L"PendingFileRenameOperations";

// The registry's part (registry area). Appends one pair to the value as the calling thread (its
// token must be allowed to query and set values there): the list's terminator moves behind it;
// a missing value, or one of another type, starts a new list. 0, ERROR_FILE_NOT_FOUND when the
// Session Manager's key is missing, or ERROR_ACCESS_DENIED.
DWORD RecordPendingFileOperationLocked(const std::wstring& source, const std::wstring& target);
// At the boot: removes the value, as the system does (no access check), and gives its data;
// false when there was no value or it was no REG_MULTI_SZ.
bool TakePendingFileOperationsLocked(std::vector<uint8_t>* data);

// The files area's part: carries out one recorded operation. Deletes `source` (a directory only
// when it is empty) when there is no target, else renames it, replacing an existing file only
// when `replace` says so. Full Win32 paths. What cannot be done is passed over, as at a real boot.
void CarryOutAtRestartLocked(const std::wstring& source, const std::wstring* target, bool replace);

// ----- The other areas' steps
// ----------------------------------------------------------------------

// The sessions area: every user is logged off: session 0 and session 1 at the logon screen,
// attached to the console, are all there is, and no profile is loaded.
void LogEveryoneOffForRestartLocked();
// The registry area: unloads the users' hives and those RegLoadKeyW loaded, whatever keys are
// still open in them.
void UnloadHivesForRestartLocked();
// The devices area: the devices whose removal waited for the restart leave the tree.
void RemoveDevicesAtRestartLocked();
// The SCM's part, after every process has ended: services marked for deletion are gone, the
// others read as never started, and those of automatic start are started in the order they were
// installed (each start waits, with `lock` released, until its process connects).
void RestartServicesLocked(Lock& lock);

}  // namespace sim
