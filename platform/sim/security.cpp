// Identity: the process token, per-thread impersonation, privileges.
#include <atomic>
#include <set>

#include "platform/sim/internal.h"

namespace sim {
namespace {

struct PrivilegeName {
  const wchar_t* name;
  DWORD luid;
};

// The LUIDs Windows assigns to the well-known privileges.
constexpr PrivilegeName kPrivileges[] = {
    {L"SeCreateTokenPrivilege", 2},   {L"SeAssignPrimaryTokenPrivilege", 3},
    {L"SeTcbPrivilege", 7},           {L"SeSecurityPrivilege", 8},
    {L"SeTakeOwnershipPrivilege", 9}, {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},      {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},        {L"SeChangeNotifyPrivilege", 23},
    {L"SeImpersonatePrivilege", 29},
};

DWORD LuidOf(const wchar_t* name) {
  for (const auto& p : kPrivileges) {
    if (EqualsNoCase(p.name, name)) return p.luid;
  }
  return 0;
}

struct SecurityState {
  Identity identity;
  std::shared_ptr<Token> process_token;
  std::set<uint64_t> impersonating;
};

SecurityState& S() {
  static SecurityState* state = new SecurityState();
  return *state;
}

thread_local std::shared_ptr<Token> t_impersonation;
thread_local std::shared_ptr<Token> t_process_token;  // set on threads the sim starts itself

uint64_t ThreadKey() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t mine = next++;
  return mine;
}

std::shared_ptr<Token> TokenFor(const Identity& identity) {
  auto token = std::make_shared<Token>();
  token->user_sid = identity.user_sid;
  token->user_name = identity.user_name;
  token->administrator = identity.administrator || IsSystemSid(identity.user_sid);
  token->session_id = identity.session_id;
  token->privileges[LuidOf(L"SeChangeNotifyPrivilege")] = true;
  token->privileges[LuidOf(L"SeShutdownPrivilege")] = false;
  if (token->administrator) {
    for (const wchar_t* name : {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeDebugPrivilege",
                                L"SeSecurityPrivilege", L"SeTakeOwnershipPrivilege"}) {
      token->privileges[LuidOf(name)] = false;
    }
    token->privileges[LuidOf(L"SeImpersonatePrivilege")] = true;
  }
  if (IsSystemSid(identity.user_sid)) {
    token->privileges[LuidOf(L"SeTcbPrivilege")] = true;
    token->privileges[LuidOf(L"SeAssignPrimaryTokenPrivilege")] = false;
    token->privileges[LuidOf(L"SeCreateTokenPrivilege")] = false;
  }
  return token;
}

}  // namespace

bool IsSystemSid(const std::wstring& sid) { return sid == kLocalSystemSid; }

Identity DefaultAdmin() {
  Identity id;
  id.user_sid = L"S-1-5-21-1000-1000-1000-500";
  id.user_name = L"Administrator";
  id.administrator = true;
  id.session_id = 1;
  id.image_path = L"C:\\Tools\\test.exe";
  id.command_line = L"C:\\Tools\\test.exe";
  id.current_directory = L"C:\\Tools";
  return id;
}

Identity LocalSystem(const std::wstring& image_path) {
  Identity id;
  id.user_sid = kLocalSystemSid;
  id.user_name = L"SYSTEM";
  id.administrator = true;
  id.session_id = 0;
  id.image_path = image_path;
  id.command_line = image_path;
  auto slash = image_path.rfind(L'\\');
  id.current_directory = slash == std::wstring::npos ? L"C:\\Windows\\System32" : image_path.substr(0, slash);
  return id;
}

Identity StandardUser(const std::wstring& sid, const std::wstring& name) {
  Identity id;
  id.user_sid = sid;
  id.user_name = name;
  id.administrator = false;
  id.session_id = 1;
  id.image_path = L"C:\\Tools\\test.exe";
  id.command_line = L"C:\\Tools\\test.exe";
  id.current_directory = L"C:\\Tools";
  return id;
}

void SetProcessIdentity(const Identity& identity) {
  Lock lock(MachineLock());
  S().identity = identity;
  S().process_token = TokenFor(identity);
}

Identity ProcessIdentity() {
  Lock lock(MachineLock());
  return S().identity;
}

std::shared_ptr<Token> ProcessTokenLocked() {
  if (t_process_token) return t_process_token;
  if (!S().process_token) S().process_token = TokenFor(S().identity);
  return S().process_token;
}

std::shared_ptr<Token> EffectiveTokenLocked() {
  return t_impersonation ? t_impersonation : ProcessTokenLocked();
}

bool PrivilegeEnabledLocked(const Token& token, const wchar_t* name) {
  auto it = token.privileges.find(LuidOf(name));
  return it != token.privileges.end() && it->second;
}

void SetThreadImpersonationLocked(std::shared_ptr<Token> token) {
  t_impersonation = std::move(token);
  if (t_impersonation) {
    S().impersonating.insert(ThreadKey());
  } else {
    S().impersonating.erase(ThreadKey());
  }
}

void ResetSecurityLocked() {
  S().identity = DefaultAdmin();
  S().process_token = TokenFor(S().identity);
  S().impersonating.clear();
  t_impersonation.reset();
}

void SecurityLeaksLocked(LeakReport& report) {
  report.impersonating_threads = static_cast<int>(S().impersonating.size());
}

}  // namespace sim

using namespace sim;

namespace {
constexpr uintptr_t kCurrentProcess = static_cast<uintptr_t>(-1);
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                        PHANDLE TokenHandle) {
  if (DWORD e = Enter("OpenProcessToken", Args(ProcessHandle, DesiredAccess, TokenHandle))) {
    SetLastError(e);
    return FALSE;
  }
  if (TokenHandle == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  Lock lock(MachineLock());
  if (H(ProcessHandle) != kCurrentProcess) {
    // Other processes' tokens are opened through their process objects (sessions area).
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *TokenHandle = reinterpret_cast<HANDLE>(AddHandleLocked(ProcessTokenLocked(), DesiredAccess));
  return TRUE;
}

extern "C" BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (DWORD e = Enter("LookupPrivilegeValueW", Args(lpSystemName, lpName, lpLuid))) {
    SetLastError(e);
    return FALSE;
  }
  DWORD luid = lpName ? LuidOf(lpName) : 0;
  if (luid == 0) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  lpLuid->LowPart = luid;
  lpLuid->HighPart = 0;
  return TRUE;
}

extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState,
                                             PDWORD ReturnLength) {
  if (DWORD e = Enter("AdjustTokenPrivileges",
                      Args(TokenHandle, DisableAllPrivileges, NewState, BufferLength))) {
    SetLastError(e);
    return FALSE;
  }
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(TokenHandle), Kind::Token);
  if (!token) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((HandleAccessLocked(H(TokenHandle)) & TOKEN_ADJUST_PRIVILEGES) == 0 ||
      (PreviousState != nullptr &&
       (HandleAccessLocked(H(TokenHandle)) & TOKEN_QUERY) == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (DisableAllPrivileges) {
    for (auto& [luid, enabled] : token->privileges) enabled = false;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (NewState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool all_assigned = true;
  for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
    auto it = token->privileges.find(entry.Luid.LowPart);
    if (it == token->privileges.end() || entry.Luid.HighPart != 0) {
      all_assigned = false;
      continue;
    }
    if (entry.Attributes & SE_PRIVILEGE_REMOVED) {
      token->privileges.erase(it);
    } else {
      it->second = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  if (ReturnLength) *ReturnLength = 0;
  SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
