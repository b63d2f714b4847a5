// Who the calling process is. A process running as LocalSystem makes its user-scope calls while
// impersonating the user of the active console session (common/user_session.h has the owners),
// and reaches that user's keys by loading the user's hive.
#pragma once

#include <vector>

#include "common/handles.h"
#include "common/user_session.h"
#include "platform/win32.h"

namespace dpal::core {

// The token's TokenUser (a TOKEN_USER and the SID it points to) into `user`: a size query that
// must fail with ERROR_INSUFFICIENT_BUFFER, then the read. False on any failure. Throws what
// the buffer's allocation throws.
bool ReadTokenUser(HANDLE token, std::vector<BYTE>* user);

// Whether the process token's user is LocalSystem. The result says whether the check could be
// made; `is_system` is written only then (callers start it at false).
bool IsLocalSystemCaller(bool* is_system);

// Loads the hive of the user at the console: the console session's user token (into `token`),
// the user name of the session the process runs in, LoadUserProfileW (owned by `profile`, which
// unloads it with the token: declare the token's owner first). True only with a non-null
// hProfile, the user's registry root.
bool LoadConsoleUserHive(UniqueToken* token, LoadedProfile* profile, PROFILEINFOW* profile_info);

}  // namespace dpal::core
