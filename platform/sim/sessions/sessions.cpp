// Sessions and logons, the console, user tokens of logged-on users and user profiles.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/memory.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/sessions/internal.h"
#include "platform/sim/sessions/sim_sessions.h"
#include "platform/sim/sessions/userenv.h"

namespace sim {
namespace {

constexpr DWORD kCtxWinstationNotFound = 7022;  // ERROR_CTX_WINSTATION_NOT_FOUND

struct Session {
  WTS_CONNECTSTATE_CLASS state = WTSConnected;
  std::wstring user_sid;  // empty while nobody is logged on
  std::wstring user_name;
  bool administrator = false;
  std::wstring winstation;
};

// A profile loaded by LoadUserProfileW: the key it handed out as hProfile.
struct LoadedProfile {
  std::wstring sid;
  uint64_t owner = 0;  // the process that loaded it; its end releases the profile
};

struct SessionTable {
  std::map<DWORD, Session> sessions;
  DWORD console = 1;
  std::map<HKEY, LoadedProfile> profiles;
};

SessionTable& Sessions() {
  static SessionTable* sessions = new SessionTable();
  return *sessions;
}

Session& SessionLocked(DWORD id) {
  auto it = Sessions().sessions.find(id);
  if (it != Sessions().sessions.end()) return it->second;
  Session& session = Sessions().sessions[id];
  session.winstation = id == 0 ? L"Services" : L"Console";
  return session;
}

bool LoggedOnLocked(const std::wstring& sid) {
  for (const auto& [id, session] : Sessions().sessions) {
    if (EqualsNoCase(session.user_sid, sid)) return true;
  }
  return false;
}

// Drops a loaded profile. The hive goes when nobody needs it any more: its user is not logged
// on and no other loaded profile holds it. Keys still open in it keep it loaded, as on Windows.
void ReleaseProfileLocked(std::map<HKEY, LoadedProfile>::iterator it) {
  const std::wstring sid = it->second.sid;
  const HKEY key = it->first;
  Sessions().profiles.erase(it);
  // The profile's key is closed (unless its owner closed it already, which it should not).
  CloseKeyLocked(key);
  bool held = LoggedOnLocked(sid);
  for (const auto& [other_key, profile] : Sessions().profiles) {
    held = held || EqualsNoCase(profile.sid, sid);
  }
  if (!held) UnloadUserHiveLocked(sid);
}

void* CopyToWtsMemoryLocked(const void* data, size_t bytes) {
  void* block = AllocateBlockLocked("wts-memory", bytes);
  if (block && bytes) std::memcpy(block, data, bytes);
  return block;
}

}  // namespace

void ResetSessionsLocked() {
  Sessions().sessions.clear();
  Sessions().profiles.clear();
  Session& services = SessionLocked(0);
  services.state = WTSDisconnected;
  const Identity admin = DefaultAdmin();
  Session& console = SessionLocked(admin.session_id);
  console.state = WTSActive;
  console.user_sid = admin.user_sid;
  console.user_name = admin.user_name;
  console.administrator = admin.administrator;
  Sessions().console = admin.session_id;
}

void SessionsLeaksLocked(LeakReport& report) {
  report.loaded_profiles = static_cast<int>(Sessions().profiles.size());
}

void SessionsProcessEndedLocked(const SimProcess& process) {
  // The profile service lets go of what a process that ended had loaded.
  auto& profiles = Sessions().profiles;
  for (auto it = profiles.begin(); it != profiles.end();) {
    auto next = std::next(it);
    if (it->second.owner == process.id) ReleaseProfileLocked(it);
    it = next;
  }
}

void LogEveryoneOffForRestartLocked() {
  Sessions().sessions.clear();
  Sessions().profiles.clear();
  SessionLocked(0).state = WTSDisconnected;
  SessionLocked(1).state = WTSConnected;  // the logon screen
  Sessions().console = 1;
}

// ----- Test-facing side --------------------------------------------------------------------------

void SetConsoleSession(DWORD session_id) {
  Lock lock(MachineLock());
  if (session_id != kNoConsoleSession) SessionLocked(session_id);
  Sessions().console = session_id;
}

void SetSessionState(DWORD session_id, WTS_CONNECTSTATE_CLASS state) {
  Lock lock(MachineLock());
  SessionLocked(session_id).state = state;
}

void LogOn(DWORD session_id, const std::wstring& user_sid, const std::wstring& user_name,
           bool administrator) {
  Lock lock(MachineLock());
  Session& session = SessionLocked(session_id);
  session.state = WTSActive;
  session.user_sid = user_sid;
  session.user_name = user_name;
  session.administrator = administrator;
  LoadUserHiveLocked(user_sid, ProfileHiveFileLocked(user_sid));
}

void LogOff(DWORD session_id) {
  Lock lock(MachineLock());
  Session& session = SessionLocked(session_id);
  const std::wstring sid = session.user_sid;
  session.state = WTSConnected;
  session.user_sid.clear();
  session.user_name.clear();
  session.administrator = false;
  // A hive read from the user's ntuser.dat goes back to the file, unless a loaded profile or an
  // open key still holds it (it then stays, as on Windows). A hive without a file stays loaded.
  if (sid.empty() || LoggedOnLocked(sid) || !UserHiveHasFileLocked(sid)) return;
  for (const auto& [key, profile] : Sessions().profiles) {
    if (EqualsNoCase(profile.sid, sid)) return;
  }
  UnloadUserHiveLocked(sid);
}

std::wstring ProfileDirectory(const std::wstring& user_name) { return L"C:\\Users\\" + user_name; }

void CreateUserProfile(const std::wstring& user_sid, const std::wstring& user_name) {
  const std::wstring directory = ProfileDirectory(user_name);
  PutFile(directory + L"\\ntuser.dat", EmptyHiveFileBytes());
  Lock lock(MachineLock());
  AddProfileLocked(user_sid, directory);
}

int LoadedProfileCount() {
  Lock lock(MachineLock());
  return static_cast<int>(Sessions().profiles.size());
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
  // The function cannot fail on Windows; an injected fault reads as "no session at the console".
  if (SIM_ENTER()) return kNoConsoleSession;
  Lock lock(MachineLock());
  return Sessions().console;
}

extern "C" BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId,
                                                   WTS_INFO_CLASS WTSInfoClass, LPWSTR* ppBuffer,
                                                   DWORD* pBytesReturned) {
  if (DWORD e = Enter(
          "WTSQuerySessionInformationW",
          Args(hServer, SessionId, static_cast<int>(WTSInfoClass), ppBuffer, pBytesReturned))) {
    return Fail(e, FALSE);
  }
  if (ppBuffer == nullptr || pBytesReturned == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (hServer != WTS_CURRENT_SERVER_HANDLE) {
    // Remote session hosts (WTSOpenServer) are not modelled.
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Lock lock(MachineLock());
  const DWORD id = SessionId == WTS_CURRENT_SESSION ? ProcessTokenLocked()->session_id : SessionId;
  auto it = Sessions().sessions.find(id);
  if (it == Sessions().sessions.end()) return Fail(kCtxWinstationNotFound, FALSE);
  const Session& session = it->second;
  std::wstring text;
  DWORD number = 0;
  bool is_text = true;
  switch (WTSInfoClass) {
    case WTSUserName: text = session.user_name; break;
    case WTSDomainName:
      text = session.user_sid.empty()        ? L""
             : IsSystemSid(session.user_sid) ? L"NT AUTHORITY"
                                             : kComputerName;
      break;
    case WTSWinStationName: text = session.winstation; break;
    case WTSSessionId:
      number = id;
      is_text = false;
      break;
    case WTSConnectState:
      number = static_cast<DWORD>(session.state);
      is_text = false;
      break;
    default:
      // The other classes (client, timing and counter data) are not modelled.
      return Fail(ERROR_NOT_SUPPORTED, FALSE);
  }
  void* block = nullptr;
  DWORD bytes = 0;
  if (is_text) {
    bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    block = CopyToWtsMemoryLocked(text.c_str(), bytes);
  } else {
    // WTS_CONNECTSTATE_CLASS and the session ID are both four bytes wide.
    bytes = sizeof(DWORD);
    block = CopyToWtsMemoryLocked(&number, bytes);
  }
  if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  *ppBuffer = static_cast<LPWSTR>(block);
  *pBytesReturned = bytes;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" void WINAPI WTSFreeMemory(PVOID pMemory) {
  SIM_ENTER_RELEASE(pMemory);
  if (pMemory == nullptr) return;
  Lock lock(MachineLock());
  FreeBlockLocked(pMemory, "wts-memory");
}

extern "C" BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
  if (DWORD e = SIM_ENTER(SessionId, phToken)) return Fail(e, FALSE);
  if (phToken == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  // Only the trusted computing base may have another user's token: LocalSystem, with the
  // privilege enabled (as it is by default in LocalSystem's token).
  if (!PrivilegeEnabledLocked(*EffectiveTokenLocked(), SE_TCB_NAME)) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  }
  auto it = Sessions().sessions.find(SessionId);
  if (it == Sessions().sessions.end()) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  const Session& session = it->second;
  if (session.user_sid.empty()) return Fail(ERROR_NO_TOKEN, FALSE);
  Identity user;
  user.user_sid = session.user_sid;
  user.user_name = session.user_name;
  user.administrator = session.administrator;
  user.session_id = SessionId;
  auto token = MakeTokenLocked(user);
  *phToken = reinterpret_cast<HANDLE>(AddHandleLocked(token, TOKEN_ALL_ACCESS));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI LoadUserProfileW(HANDLE hToken, LPPROFILEINFOW lpProfileInfo) {
  if (DWORD e = SIM_ENTER(hToken, lpProfileInfo)) return Fail(e, FALSE);
  // The profile is the token user's whatever the name says, but a name there must be.
  if (lpProfileInfo == nullptr || lpProfileInfo->dwSize != sizeof(PROFILEINFOW) ||
      lpProfileInfo->lpUserName == nullptr || *lpProfileInfo->lpUserName == L'\0') {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(hToken));
  if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
  constexpr ACCESS_MASK kNeeded = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
  if ((HandleAccessLocked(H(hToken)) & kNeeded) != kNeeded) return Fail(ERROR_ACCESS_DENIED, FALSE);
  // The caller's own process must be an administrator's or LocalSystem's and hold the backup
  // and restore privileges (Windows enables them itself); impersonating such an account does not
  // do.
  auto self = ProcessTokenLocked();
  if (!self->administrator || !PrivilegeHeldLocked(*self, SE_BACKUP_NAME) ||
      !PrivilegeHeldLocked(*self, SE_RESTORE_NAME)) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  // The profile is the token user's, whatever lpUserName says; its hive is loaded unless it is
  // already (a logged-on user's is).
  if (DWORD e = LoadUserHiveLocked(token->user_sid, ProfileHiveFileLocked(token->user_sid))) {
    return Fail(e, FALSE);
  }
  // hProfile is the root of the user's hive, open with full access.
  HKEY key = nullptr;
  if (LSTATUS status = OpenKeyLocked(HKEY_USERS, token->user_sid.c_str(), KEY_ALL_ACCESS, &key)) {
    return Fail(static_cast<DWORD>(status), FALSE);
  }
  Sessions().profiles[key] = LoadedProfile{token->user_sid, CurrentProcessId()};
  lpProfileInfo->hProfile = key;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI UnloadUserProfile(HANDLE hToken, HANDLE hProfile) {
  if (DWORD e = SIM_ENTER_RELEASE(hToken, hProfile)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (!LookupAsLocked<Token>(H(hToken))) return Fail(ERROR_INVALID_HANDLE, FALSE);
  HKEY key = static_cast<HKEY>(hProfile);
  auto it = Sessions().profiles.find(key);
  if (it == Sessions().profiles.end()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  ReleaseProfileLocked(it);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
