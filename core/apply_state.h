// The apply state and the user's profile markers in the registry, written by the core library's
// client: the user's copy in the user root, the machine's copy (which the service watches) under
// HKEY_LOCAL_MACHINE. The user root follows the console-user rule: a LocalSystem caller writes
// into the console user's hive, which it loads for the call; any other caller into its own
// HKEY_CURRENT_USER.
#pragma once

#include "common/handles.h"
#include "common/user_session.h"
#include "core/steps/identity.h"
#include "platform/win32.h"

namespace dpal::core {

// SaveCurrentApplyStatus's targets.
inline constexpr int kUserAndMachine = 1;
inline constexpr int kUserOnly = 2;
inline constexpr int kMachineOnly = 3;

// Creates the key (non-volatile, full access) when it is missing and writes "State" as a
// REG_DWORD. False when the path does not fit 260 units or either call fails.
bool WriteApplyState(HKEY root, const WCHAR* key_path, DWORD value);

// The user's "State" from the process's own HKEY_CURRENT_USER (the wait does not follow the
// console-user rule). False when the value is missing, not a REG_DWORD of four bytes, or
// unreadable.
bool ReadUserApplyState(DWORD* value);

// Records the apply state for the user, the machine or both. 1 for targets 1, 3 and any other
// target whatever the writes did (clients rely on it); target 2 answers the user write. 0,
// writing nothing, when a LocalSystem caller has no console user whose hive it can load.
int SaveCurrentApplyStatus(int target, DWORD value);

// Creates the user's marker key for a profile name (no values). 0 for a null name, a path of
// 260 units or more, a failed create, or a LocalSystem caller without a loadable console hive.
int SaveUserProfile(const WCHAR* name);

// Non-zero when the process runs as LocalSystem; 0 when it does not or the check fails.
int IsSystemUser();

// Ends the calling thread's impersonation: the BOOL of RevertToSelf.
int RevertBackToSelf();

}  // namespace dpal::core
