// Who the calling process is. A process running as LocalSystem makes its user-scope calls while
// impersonating the user of the active console session (common/user_session.h has the owners),
// and reaches that user's keys by loading the user's hive: the console-user rule.
#pragma once

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/user_session.h"
#include "platform/win32.h"

namespace dpal::core {

// The token's TokenUser (a TOKEN_USER and the SID it points to) into `user`: a size query that
// must fail with ERROR_INSUFFICIENT_BUFFER, then the read. False on any failure. Throws what
// the buffer's allocation throws.
bool ReadTokenUser(HANDLE token, std::vector<BYTE>* user);

// The string SID of the user logged on at the console, from the console session's token (which
// only LocalSystem may have). False, with `sid` untouched, when there is no console user, the
// token cannot be had or its user cannot be read. Throws what the buffers' allocation throws.
bool ReadConsoleUserSid(std::wstring* sid);

// Whether the process token's user is LocalSystem. The result says whether the check could be
// made; `is_system` is written only then (callers start it at false).
bool IsLocalSystemCaller(bool* is_system);

// Where a caller's user keys are under the console-user rule, and why.
enum class UserRootSource {
  Own,            // the caller is not LocalSystem: its own HKEY_CURRENT_USER
  ConsoleUser,    // a LocalSystem caller: the console user's hive, loaded
  NoConsoleUser,  // a LocalSystem caller whose console user's hive could not be loaded
  UnknownCaller,  // whether the caller is LocalSystem could not be checked
};

// The console-user rule: a LocalSystem caller's user keys are in the console user's hive, which
// `hive` loads for the call (and unloads when it ends); any other caller's are in its own
// HKEY_CURRENT_USER. *root is the hive's root for ConsoleUser and HKEY_CURRENT_USER in every
// other case; the answer lets each caller decide what a missing hive or an unknown caller means.
UserRootSource OpenUserRoot(ConsoleUserHive& hive, HKEY* root);

}  // namespace dpal::core
