// Sessions and logons, the console, user tokens of logged-on users, user profiles and
// environment blocks.
#include <algorithm>
#include <cstring>

#include "platform/sim/internal.h"

namespace sim {
namespace {

constexpr DWORD kCtxWinstationNotFound = 7022;  // ERROR_CTX_WINSTATION_NOT_FOUND
constexpr const wchar_t* kComputerName = L"DPALSIM";

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
};

struct Sessions {
  std::map<DWORD, Session> sessions;
  DWORD console = 1;
  std::map<HKEY, LoadedProfile> profiles;
};

Sessions& W() {
  static Sessions* sessions = new Sessions();
  return *sessions;
}

Session& SessionLocked(DWORD id) {
  auto it = W().sessions.find(id);
  if (it != W().sessions.end()) return it->second;
  Session& session = W().sessions[id];
  session.winstation = id == 0 ? L"Services" : L"Console";
  return session;
}

bool LoggedOnLocked(const std::wstring& sid) {
  for (const auto& [id, session] : W().sessions) {
    if (EqualsNoCase(session.user_sid, sid)) return true;
  }
  return false;
}

// The profile folder Windows gives an account.
std::wstring ProfileDirectory(const Token& token) {
  if (IsSystemSid(token.user_sid)) return SystemDirectoryLocked() + L"\\config\\systemprofile";
  return L"C:\\Users\\" + token.user_name;
}

void* CopyToWtsMemoryLocked(const void* data, size_t bytes) {
  void* block = AllocateBlockLocked("wts-memory", bytes);
  if (block && bytes) std::memcpy(block, data, bytes);
  return block;
}

}  // namespace

std::vector<std::wstring> EnvironmentForLocked(const Token& token) {
  const std::wstring windows = WindowsDirectoryLocked();
  const std::wstring system = SystemDirectoryLocked();
  const std::wstring profile = ProfileDirectory(token);
  const bool system_account = IsSystemSid(token.user_sid);
  const std::wstring temp =
      system_account ? windows + L"\\TEMP" : profile + L"\\AppData\\Local\\Temp";
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> variables;  // by upper-case name
  auto set = [&](const std::wstring& name, const std::wstring& value) {
    variables[Upper(name)] = {name, value};
  };
  set(L"ALLUSERSPROFILE", L"C:\\ProgramData");
  set(L"APPDATA", profile + L"\\AppData\\Roaming");
  set(L"COMPUTERNAME", kComputerName);
  set(L"ComSpec", system + L"\\cmd.exe");
  set(L"LOCALAPPDATA", profile + L"\\AppData\\Local");
  set(L"NUMBER_OF_PROCESSORS", L"2");
  set(L"OS", L"Windows_NT");
  set(L"Path", system + L";" + windows + L";" + system + L"\\Wbem");
  set(L"PATHEXT", L".COM;.EXE;.BAT;.CMD");
  set(L"PROCESSOR_ARCHITECTURE", L"AMD64");
  set(L"ProgramData", L"C:\\ProgramData");
  set(L"ProgramFiles", ProgramFilesDirectoryLocked());
  set(L"PUBLIC", L"C:\\Users\\Public");
  set(L"SystemDrive", windows.substr(0, 2));
  set(L"SystemRoot", windows);
  set(L"TEMP", temp);
  set(L"TMP", temp);
  set(L"USERDOMAIN", system_account ? L"WORKGROUP" : kComputerName);
  set(L"USERNAME", system_account ? std::wstring(kComputerName) + L"$" : token.user_name);
  set(L"USERPROFILE", profile);
  set(L"windir", windows);
  if (!system_account) {
    set(L"HOMEDRIVE", profile.substr(0, 2));
    set(L"HOMEPATH", profile.substr(2));
  }
  std::vector<std::wstring> entries;
  for (const auto& [key, entry] : variables) entries.push_back(entry.first + L"=" + entry.second);
  return entries;
}

void ResetSessionsLocked() {
  W().sessions.clear();
  W().profiles.clear();
  Session& services = SessionLocked(0);
  services.state = WTSDisconnected;
  const Identity admin = DefaultAdmin();
  Session& console = SessionLocked(admin.session_id);
  console.state = WTSActive;
  console.user_sid = admin.user_sid;
  console.user_name = admin.user_name;
  console.administrator = admin.administrator;
  W().console = admin.session_id;
}

// ----- Test-facing side
// ---------------------------------------------------------------------------

void SetConsoleSession(DWORD session_id) {
  Lock lock(MachineLock());
  if (session_id != kNoConsoleSession) SessionLocked(session_id);
  W().console = session_id;
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
  LoadUserHiveLocked(user_sid, L"");
}

void LogOff(DWORD session_id) {
  Lock lock(MachineLock());
  Session& session = SessionLocked(session_id);
  session.state = WTSConnected;
  session.user_sid.clear();
  session.user_name.clear();
  session.administrator = false;
}

int LoadedProfileCount() {
  Lock lock(MachineLock());
  return LoadedProfileCountLocked();
}

}  // namespace sim

// ----- Win32
// ----------------------------------------------------------------------------------------

using namespace sim;

extern "C" DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
  // The function cannot fail on Windows; an injected fault reads as "no session at the console".
  if (Enter("WTSGetActiveConsoleSessionId", Args())) return kNoConsoleSession;
  Lock lock(MachineLock());
  return W().console;
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
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Lock lock(MachineLock());
  const DWORD id = SessionId == WTS_CURRENT_SESSION ? ProcessTokenLocked()->session_id : SessionId;
  auto it = W().sessions.find(id);
  if (it == W().sessions.end()) return Fail(kCtxWinstationNotFound, FALSE);
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
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
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

extern "C" BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
  if (DWORD e = Enter("WTSQueryUserToken", Args(SessionId, phToken))) return Fail(e, FALSE);
  if (phToken == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  // Only the trusted computing base may have another user's token: LocalSystem, with the
  // privilege enabled (as it is by default in LocalSystem's token).
  if (!PrivilegeEnabledLocked(*EffectiveTokenLocked(), SE_TCB_NAME)) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  }
  auto it = W().sessions.find(SessionId);
  if (it == W().sessions.end()) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
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
  if (DWORD e = Enter("LoadUserProfileW", Args(hToken, lpProfileInfo))) return Fail(e, FALSE);
  if (lpProfileInfo == nullptr || lpProfileInfo->dwSize != sizeof(PROFILEINFOW) ||
      lpProfileInfo->lpUserName == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(hToken), Kind::Token);
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
  if (DWORD e = LoadUserHiveLocked(token->user_sid, L"")) return Fail(e, FALSE);
  // hProfile is the root of the user's hive, open with full access.
  HKEY key = nullptr;
  if (LSTATUS status = OpenKeyLocked(HKEY_USERS, token->user_sid.c_str(), KEY_ALL_ACCESS, &key)) {
    return Fail(static_cast<DWORD>(status), FALSE);
  }
  W().profiles[key] = LoadedProfile{token->user_sid};
  ++LoadedProfileCountLocked();
  lpProfileInfo->hProfile = key;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI UnloadUserProfile(HANDLE hToken, HANDLE hProfile) {
  if (DWORD e = Enter("UnloadUserProfile", Args(hToken, hProfile))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (!LookupAsLocked<Token>(H(hToken), Kind::Token)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  HKEY key = static_cast<HKEY>(hProfile);
  auto it = W().profiles.find(key);
  if (it == W().profiles.end()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring sid = it->second.sid;
  W().profiles.erase(it);
  --LoadedProfileCountLocked();
  // The profile's key is closed (unless its owner closed it already, which it should not).
  if (LookupLocked(H(key)) && LookupLocked(H(key))->kind == Kind::Key) RemoveHandleLocked(H(key));
  // The hive goes when nobody needs it any more: its user is not logged on and no other loaded
  // profile holds it. Keys still open in it keep it loaded, as on Windows.
  bool held = LoggedOnLocked(sid);
  for (const auto& [other_key, profile] : W().profiles)
    held = held || EqualsNoCase(profile.sid, sid);
  if (!held) UnloadUserHiveLocked(sid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit) {
  if (DWORD e = Enter("CreateEnvironmentBlock", Args(lpEnvironment, hToken, bInherit))) {
    return Fail(e, FALSE);
  }
  if (lpEnvironment == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  std::vector<std::wstring> entries;
  if (hToken == nullptr) {
    // No token: the system variables only, with the default user's profile folder.
    Token none;
    none.user_name = L"Default";
    entries = EnvironmentForLocked(none);
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const std::wstring& entry) {
                                   const std::wstring name =
                                       Upper(entry.substr(0, entry.find(L'=')));
                                   return name == L"USERNAME" || name == L"USERDOMAIN" ||
                                          name == L"HOMEDRIVE" || name == L"HOMEPATH" ||
                                          name == L"APPDATA" || name == L"LOCALAPPDATA";
                                 }),
                  entries.end());
  } else {
    auto token = LookupAsLocked<Token>(H(hToken), Kind::Token);
    if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if ((HandleAccessLocked(H(hToken)) & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // The sim's processes have no environment of their own beyond what their account gives
    // them, so inheriting adds nothing.
    entries = EnvironmentForLocked(*token);
  }
  size_t units = 1;
  for (const std::wstring& entry : entries) units += entry.size() + 1;
  auto* block =
      static_cast<WCHAR*>(AllocateBlockLocked("environment-block", units * sizeof(WCHAR)));
  if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  WCHAR* out = block;
  for (const std::wstring& entry : entries) {
    std::wmemcpy(out, entry.c_str(), entry.size() + 1);
    out += entry.size() + 1;
  }
  *out = L'\0';
  *lpEnvironment = block;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
