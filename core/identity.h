// Who the calling process is, and the console user's identity for user-scope calls: a process
// running as LocalSystem makes them while impersonating the user of the active console session.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal::core {

// Whether the process token's user is LocalSystem. The result says whether the check could be
// made; `is_system` is written only then (callers start it at false).
bool IsLocalSystemCaller(bool* is_system);

// The token of the user logged on at the active console session; false (token untouched) when
// nobody is or the caller may not have it.
bool QueryConsoleUserToken(UniqueToken* token);

// Impersonation of the calling thread, reverted when the scope ends.
class Impersonation {
 public:
  Impersonation() = default;
  ~Impersonation() {
    if (active_) RevertToSelf();
  }
  Impersonation(const Impersonation&) = delete;
  Impersonation& operator=(const Impersonation&) = delete;
  bool Begin(HANDLE token) {
    active_ = ImpersonateLoggedOnUser(token) != FALSE;
    return active_;
  }
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace dpal::core
