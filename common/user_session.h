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
//
// A revert that fails leaves the thread acting as the user it impersonated, and nothing the
// thread does after it would be what its caller asked for: a LocalSystem caller would go on with
// the user's rights, its writes landing in the user's scope. No result can undo that on the way
// up, so the process ends at once (a fail-fast, which runs nothing more of it; the service
// control manager then sees the service end).
class Impersonation {
 public:
  Impersonation() = default;
  ~Impersonation() {
    if (active_ && !RevertToSelf()) RaiseFailFastException(nullptr, nullptr, 0);
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

// A user profile loaded with a token and unloaded with the same token when the owner ends (or
// on reset()). The token must stay open until then: declare its owner before this one.
class LoadedProfile {
 public:
  LoadedProfile() = default;
  ~LoadedProfile() { reset(); }
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

  // Unloads the profile, if one is loaded; nothing is owned afterwards.
  void reset() {
    if (profile_ != nullptr) UnloadUserProfile(token_, profile_);
    token_ = nullptr;
    profile_ = nullptr;
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

static_assert(sizeof(PROFILEINFOW) == 56, "PROFILEINFOW on x64");

// The hive of the user at the console, loaded by a LocalSystem process for the user's keys: the
// console session's user token, the user's profile loaded with it, and the registry root that
// the load answers. When the owner ends they are released in the order they must be: the root
// first (the unload closes it, so nothing may use it after), then the profile, unloaded with the
// token, then the token.
class ConsoleUserHive {
 public:
  ConsoleUserHive() = default;
  ~ConsoleUserHive() {
    root_ = nullptr;
    profile_.reset();
    token_.reset();
  }
  ConsoleUserHive(const ConsoleUserHive&) = delete;
  ConsoleUserHive& operator=(const ConsoleUserHive&) = delete;

  // Loads the hive: the console user's token, the user name of the session the process runs in,
  // LoadUserProfileW. Called once per owner. True only with a non-null root; on a failure, what
  // was acquired stays owned until the owner ends, and root() stays null.
  bool Load() {
    if (!QueryConsoleUserToken(token_)) return false;
    PROFILEINFOW info = {};
    info.dwSize = sizeof(PROFILEINFOW);
    UniqueWtsMemory<WCHAR> user_name;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName,
                                     user_name.Put(), &bytes)) {
      return false;
    }
    // The name is only for the load; nothing kept points into it.
    info.lpUserName = user_name.get();
    if (!profile_.Load(token_.get(), info) || info.hProfile == nullptr) return false;
    root_ = static_cast<HKEY>(info.hProfile);
    return true;
  }

  // The user's registry root while the hive is loaded; null before, and after a failed Load.
  HKEY root() const { return root_; }

 private:
  UniqueToken token_;
  LoadedProfile profile_;
  HKEY root_ = nullptr;
};

}  // namespace dpal
