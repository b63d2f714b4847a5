// Who the calling process is. A process running as LocalSystem makes its user-scope calls while
// impersonating the user of the active console session (common/user_session.h has the owners).
#pragma once

#include "common/handles.h"
#include "common/user_session.h"
#include "platform/win32.h"

namespace dpal::core {

// Whether the process token's user is LocalSystem. The result says whether the check could be
// made; `is_system` is written only then (callers start it at false).
bool IsLocalSystemCaller(bool* is_system);

}  // namespace dpal::core
