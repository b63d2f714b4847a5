// Calls of user scope: the token of the user at the console, impersonation of a user, and a
// user's profile loaded (and with it the user's hive). A process running as LocalSystem makes
// its user-scope calls under these owners, so that impersonation is reverted and a profile
// unloaded on every path.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

// Impersonation of a token by the calling thread, reverted when the scope ends. The owner must
// end on the thread that began it.
class Impersonation {
 public:
  Impersonation() = default;
  ~Impersonation() {
    if (active_) RevertToSelf();
  }
  Impersonation(const Impersonation&) = delete;
  Impersonation& operator=(const Impersonation&) = delete;

  // Impersonates the token's user. False (with the error of ImpersonateLoggedOnUser, and
  // nothing to revert) when the impersonation did not take effect.
  bool Begin(HANDLE token) {
    active_ = ImpersonateLoggedOnUser(token) != FALSE;
    return active_;
  }
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

// A user profile loaded with a token and unloaded with the same token when the owner ends. The
// token must stay open until then: declare its owner before this one.
class LoadedProfile {
 public:
  LoadedProfile() = default;
  ~LoadedProfile() {
    if (profile_ != nullptr) UnloadUserProfile(token_, profile_);
  }
  LoadedProfile(const LoadedProfile&) = delete;
  LoadedProfile& operator=(const LoadedProfile&) = delete;

  // Loads the profile `info` names. False (with the error of LoadUserProfileW, and nothing
  // owned) when it failed; on success info.hProfile is the user's registry root.
  bool Load(HANDLE token, PROFILEINFOW& info) {
    if (!LoadUserProfileW(token, &info)) return false;
    token_ = token;
    profile_ = info.hProfile;
    return true;
  }

 private:
  HANDLE token_ = nullptr;
  HANDLE profile_ = nullptr;
};

// The token of the user logged on at the console: WTSQueryUserToken for the session that
// WTSGetActiveConsoleSessionId answers. False, with `token` empty and the error of
// WTSQueryUserToken, when no session is attached to the console, nobody is logged on there, or
// the caller may not have the token (only LocalSystem may).
inline bool QueryConsoleUserToken(UniqueToken& token) {
  return WTSQueryUserToken(WTSGetActiveConsoleSessionId(), token.Put()) != FALSE;
}

}  // namespace dpal
