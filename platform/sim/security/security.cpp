// Identity: the process token, per-thread impersonation, privileges, security identifiers and
// the token functions.
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/call_depth.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/memory.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/security/internal.h"

namespace sim {

AreaUse& SecurityUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

namespace {

struct PrivilegeName {
  const wchar_t* name;
  DWORD luid;
};

// The LUIDs Windows assigns to the well-known privileges.
constexpr PrivilegeName kPrivileges[] = {
    {L"SeCreateTokenPrivilege", 2},   {L"SeAssignPrimaryTokenPrivilege", 3},
    {L"SeIncreaseQuotaPrivilege", 5}, {L"SeTcbPrivilege", 7},
    {L"SeSecurityPrivilege", 8},      {L"SeTakeOwnershipPrivilege", 9},
    {L"SeBackupPrivilege", 17},       {L"SeRestorePrivilege", 18},
    {L"SeShutdownPrivilege", 19},     {L"SeDebugPrivilege", 20},
    {L"SeChangeNotifyPrivilege", 23}, {L"SeImpersonatePrivilege", 29},
    {L"SeCreateGlobalPrivilege", 30},
};

DWORD LuidOf(const wchar_t* name) {
  // The sim's own lookups name the privilege as the table does: those need no case folding.
  for (const auto& p : kPrivileges) {
    if (std::wcscmp(p.name, name) == 0) return p.luid;
  }
  for (const auto& p : kPrivileges) {
    if (EqualsNoCase(p.name, name)) return p.luid;
  }
  return 0;
}

struct Player {
  std::wstring image;
  uint64_t process = 0;  // the process it plays: a thread stopped by that process's end never ends
};

struct SecurityState {
  Identity identity;
  std::shared_ptr<Token> process_token;
  std::map<uint64_t, uint64_t> impersonating;  // thread number -> the thread's process
  // The threads the sim started to play a process, with that process's image, while they run.
  std::map<uint64_t, Player> players;
};

SecurityState& Security() {
  static SecurityState* state = new SecurityState();
  SecurityUse().Mark();
  return *state;
}

thread_local std::shared_ptr<Token> t_impersonation;
thread_local std::shared_ptr<Token> t_process_token;  // set on threads the sim starts itself
thread_local std::unique_ptr<Identity> t_identity;    // likewise

// Takes a thread that played a process out of the list when it ends.
struct PlayerEnd {
  uint64_t thread = 0;
  ~PlayerEnd() {
    // The sim's own work at the end of a thread, whose process may have ended before it.
    RawLock lock(MachineLock());
    Security().players.erase(thread);
  }
};

void BecomePlayerLocked(const Identity& identity) {
  thread_local PlayerEnd end;
  end.thread = ThreadNumber();
  Security().players[end.thread] = Player{identity.image_path, CurrentProcessId()};
  t_identity = std::make_unique<Identity>(identity);
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
    for (const wchar_t* name :
         {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeDebugPrivilege", L"SeSecurityPrivilege",
          L"SeTakeOwnershipPrivilege", L"SeIncreaseQuotaPrivilege"}) {
      token->privileges[LuidOf(name)] = false;
    }
    token->privileges[LuidOf(L"SeImpersonatePrivilege")] = true;
    token->privileges[LuidOf(L"SeCreateGlobalPrivilege")] = true;
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
  id.current_directory =
      slash == std::wstring::npos ? L"C:\\Windows\\System32" : image_path.substr(0, slash);
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
  Security().identity = identity;
  Security().process_token = TokenFor(identity);
}

Identity ProcessIdentity() {
  Lock lock(MachineLock());
  return CurrentIdentityLocked();
}

void RunAs(const Identity& identity, const std::function<void()>& body) {
  std::thread thread([&] {
    {
      Lock lock(MachineLock());
      SetThreadIdentityLocked(identity, nullptr);
    }
    ProductCode product;
    body();
  });
  thread.join();
}

std::shared_ptr<Token> ProcessTokenLocked() {
  if (t_process_token) return t_process_token;
  if (!Security().process_token) Security().process_token = TokenFor(Security().identity);
  return Security().process_token;
}

void SetThreadIdentityLocked(const Identity& identity, std::shared_ptr<Token> token) {
  t_process_token = token ? std::move(token) : TokenFor(identity);
  BecomePlayerLocked(identity);
}

void DescribeSecurityWaitLocked(const std::vector<const Object*>& /*objects*/,
                                BlockedThread& thread) {
  auto it = Security().players.find(thread.thread);
  if (it != Security().players.end()) thread.process_image = it->second.image;
}

std::shared_ptr<Token> MakeTokenLocked(const Identity& identity) { return TokenFor(identity); }

std::shared_ptr<Token> CopyTokenLocked(const Token& token) {
  return std::make_shared<Token>(token);
}

bool PrivilegeHeldLocked(const Token& token, const wchar_t* name) {
  return token.privileges.count(LuidOf(name)) != 0;
}

Identity CurrentIdentityLocked() { return t_identity ? *t_identity : Security().identity; }

const wchar_t* CurrentCommandLineLocked() {
  return t_identity ? t_identity->command_line.c_str() : Security().identity.command_line.c_str();
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
    Security().impersonating[ThreadNumber()] = CurrentProcessId();
  } else {
    Security().impersonating.erase(ThreadNumber());
  }
}

void ResetSecurityLocked() {
  Security().identity = DefaultAdmin();
  Security().process_token = TokenFor(Security().identity);
  Security().impersonating.clear();
  Security().players.clear();  // every process has ended
  t_impersonation.reset();
}

void SecurityLeaksLocked(LeakReport& report) {
  report.impersonating_threads = static_cast<int>(Security().impersonating.size());
}

void SecurityProcessEndedLocked(const SimProcess& process) {
  // The process's threads have ended, and their impersonation with them.
  auto& impersonating = Security().impersonating;
  for (auto it = impersonating.begin(); it != impersonating.end();) {
    it = it->second == process.id ? impersonating.erase(it) : std::next(it);
  }
  // Its threads play it no more; those that are stopped for good never end to say so.
  auto& players = Security().players;
  for (auto it = players.begin(); it != players.end();) {
    it = it->second.process == process.id ? players.erase(it) : std::next(it);
  }
}

bool IsProcessIdentityLocked(const Identity& identity) {
  return identity.user_sid == Security().identity.user_sid &&
         EqualsNoCase(identity.image_path, Security().identity.image_path);
}

}  // namespace sim

using namespace sim;

namespace {
constexpr uintptr_t kCurrentProcess = static_cast<uintptr_t>(-1);
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                        PHANDLE TokenHandle) {
  if (DWORD e = SIM_ENTER(ProcessHandle, DesiredAccess, TokenHandle)) {
    return Fail(e, FALSE);
  }
  if (TokenHandle == nullptr) return Fail(ERROR_NOACCESS, FALSE);
  Lock lock(MachineLock());
  if (H(ProcessHandle) != kCurrentProcess) {
    // Other processes' tokens are opened through their process objects (sessions area).
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  *TokenHandle = reinterpret_cast<HANDLE>(AddHandleLocked(ProcessTokenLocked(), DesiredAccess));
  return TRUE;
}

extern "C" BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (DWORD e = SIM_ENTER(lpSystemName, lpName, lpLuid)) {
    return Fail(e, FALSE);
  }
  DWORD luid = lpName ? LuidOf(lpName) : 0;
  if (luid == 0) return Fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
  lpLuid->LowPart = luid;
  lpLuid->HighPart = 0;
  return TRUE;
}

extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  if (DWORD e = SIM_ENTER(TokenHandle, DisableAllPrivileges, NewState, BufferLength)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(TokenHandle));
  if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((HandleAccessLocked(H(TokenHandle)) & TOKEN_ADJUST_PRIVILEGES) == 0 ||
      (PreviousState != nullptr && (HandleAccessLocked(H(TokenHandle)) & TOKEN_QUERY) == 0)) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (!DisableAllPrivileges && NewState == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // What changes, worked out before anything does: the previous state lists exactly the
  // privileges whose state the call changes (one already in the asked state is left out, so
  // that restoring the previous state undoes this call and nothing else).
  struct Change {
    DWORD luid;
    bool was_enabled;
    bool remove;
    bool enable;
  };
  std::vector<Change> changes;
  bool all_assigned = true;
  if (DisableAllPrivileges) {
    for (const auto& [luid, enabled] : token->privileges) {
      if (enabled) changes.push_back(Change{luid, true, false, false});
    }
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      auto it = token->privileges.find(entry.Luid.LowPart);
      if (it == token->privileges.end() || entry.Luid.HighPart != 0) {
        all_assigned = false;
        continue;
      }
      const bool remove = (entry.Attributes & SE_PRIVILEGE_REMOVED) != 0;
      const bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (remove || enable != it->second) {
        changes.push_back(Change{it->first, it->second, remove, enable});
      }
    }
  }
  if (PreviousState != nullptr) {
    const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                            changes.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (ReturnLength == nullptr) return Fail(ERROR_NOACCESS, FALSE);
    *ReturnLength = needed;
    if (BufferLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    PreviousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      LUID_AND_ATTRIBUTES& entry = PreviousState->Privileges[i];
      entry.Luid.LowPart = changes[i].luid;
      entry.Luid.HighPart = 0;
      entry.Attributes = changes[i].was_enabled ? SE_PRIVILEGE_ENABLED : 0;
    }
  } else if (ReturnLength != nullptr) {
    *ReturnLength = 0;
  }
  for (const Change& change : changes) {
    if (change.remove) {
      token->privileges.erase(change.luid);
    } else {
      token->privileges[change.luid] = change.enable;
    }
  }
  SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

// ----- Security identifiers
// -------------------------------------------------------------------------

namespace {

// Security identifiers in the binary form Windows uses. SidFromString gives an empty vector for
// text that is no SID; SidToString an empty string for bytes that are no SID.
std::vector<uint8_t> SidFromString(const std::wstring& text) {
  // "S-1-<authority>-<sub-authority>...": revision 1, the authority in decimal (or hex with 0x)
  // and up to 15 sub-authorities of 32 bits.
  if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return {};
  std::vector<uint64_t> numbers;
  size_t pos = 2;
  while (pos <= text.size()) {
    size_t end = text.find(L'-', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring part = text.substr(pos, end - pos);
    if (part.empty() || part.size() > 18) return {};
    int base = 10;
    if (part.size() > 2 && part[0] == L'0' && (part[1] == L'x' || part[1] == L'X')) {
      base = 16;
      part = part.substr(2);
    }
    uint64_t value = 0;
    for (wchar_t c : part) {
      int digit = -1;
      if (c >= L'0' && c <= L'9') digit = c - L'0';
      if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
      if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
      if (digit < 0) return {};
      value = value * base + static_cast<uint64_t>(digit);
    }
    numbers.push_back(value);
    pos = end + 1;
  }
  // numbers: revision, authority, sub-authorities.
  if (numbers.size() < 2 || numbers[0] != SID_REVISION || numbers[1] >= (1ull << 48) ||
      numbers.size() - 2 > SID_MAX_SUB_AUTHORITIES) {
    return {};
  }
  std::vector<uint8_t> sid(8 + 4 * (numbers.size() - 2));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<uint8_t>(numbers.size() - 2);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<uint8_t>(numbers[1] >> (8 * (5 - i)));
  for (size_t i = 2; i < numbers.size(); ++i) {
    if (numbers[i] > 0xFFFFFFFFull) return {};
    const uint32_t sub = static_cast<uint32_t>(numbers[i]);
    uint8_t* out = &sid[8 + 4 * (i - 2)];
    for (int b = 0; b < 4; ++b) out[b] = static_cast<uint8_t>(sub >> (8 * b));  // little-endian
  }
  return sid;
}

// The length in bytes of a valid SID, else 0.
size_t SidLength(const void* sid) {
  if (sid == nullptr) return 0;
  const auto* bytes = static_cast<const uint8_t*>(sid);
  if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return 0;
  return 8 + 4 * static_cast<size_t>(bytes[1]);
}

std::wstring SidToString(const void* sid) {
  if (SidLength(sid) == 0) return L"";
  const auto* bytes = static_cast<const uint8_t*>(sid);
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | bytes[2 + i];
  std::wostringstream out;
  out << L"S-1-";
  if (authority >= (1ull << 32)) {
    out << L"0x" << std::hex << std::uppercase << authority << std::dec;
  } else {
    out << authority;
  }
  for (int i = 0; i < bytes[1]; ++i) {
    const uint8_t* sub = bytes + 8 + 4 * i;
    out << L'-'
        << (static_cast<uint32_t>(sub[0]) | static_cast<uint32_t>(sub[1]) << 8 |
            static_cast<uint32_t>(sub[2]) << 16 | static_cast<uint32_t>(sub[3]) << 24);
  }
  return out.str();
}

// The SIDs CreateWellKnownSid builds without a domain.
const wchar_t* WellKnownSidText(WELL_KNOWN_SID_TYPE type) {
  switch (type) {
    case WinNullSid: return L"S-1-0-0";
    case WinWorldSid: return L"S-1-1-0";
    case WinLocalSid: return L"S-1-2-0";
    case WinCreatorOwnerSid: return L"S-1-3-0";
    case WinCreatorGroupSid: return L"S-1-3-1";
    case WinNtAuthoritySid: return L"S-1-5";
    case WinInteractiveSid: return L"S-1-5-4";
    case WinServiceSid: return L"S-1-5-6";
    case WinAnonymousSid: return L"S-1-5-7";
    case WinAuthenticatedUserSid: return L"S-1-5-11";
    case WinLocalSystemSid: return L"S-1-5-18";
    case WinLocalServiceSid: return L"S-1-5-19";
    case WinNetworkServiceSid: return L"S-1-5-20";
    case WinBuiltinDomainSid: return L"S-1-5-32";
    case WinBuiltinAdministratorsSid: return L"S-1-5-32-544";
    case WinBuiltinUsersSid: return L"S-1-5-32-545";
    case WinBuiltinGuestsSid: return L"S-1-5-32-546";
    default: return nullptr;
  }
}

// Maps the generic rights of a token access mask to token rights.
ACCESS_MASK MapTokenAccess(ACCESS_MASK access) {
  ACCESS_MASK out =
      access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) out |= TOKEN_READ;
  if (access & GENERIC_WRITE) out |= TOKEN_WRITE;
  if (access & GENERIC_EXECUTE) out |= TOKEN_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) out |= TOKEN_ALL_ACCESS;
  return out;
}

// A token handle with the rights an operation needs: 0 with the token, or the error.
DWORD TokenOfHandleLocked(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<Token>* token) {
  auto found = LookupAsLocked<Token>(H(handle));
  if (!found) return ERROR_INVALID_HANDLE;
  if ((HandleAccessLocked(H(handle)) & needed) != needed) return ERROR_ACCESS_DENIED;
  *token = std::move(found);
  return 0;
}

}  // namespace

extern "C" BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID DomainSid,
                                          PSID pSid, DWORD* cbSid) {
  if (DWORD e = SIM_ENTER(static_cast<int>(WellKnownSidType), DomainSid, pSid, cbSid)) {
    return Fail(e, FALSE);
  }
  const wchar_t* text = WellKnownSidText(WellKnownSidType);
  if (cbSid == nullptr || text == nullptr) {
    // SIDs relative to a domain (the domain's administrators, guests, ...) are not modelled.
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::vector<uint8_t> sid = SidFromString(text);
  if (pSid == nullptr || *cbSid < sid.size()) {
    *cbSid = static_cast<DWORD>(sid.size());
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(pSid, sid.data(), sid.size());
  *cbSid = static_cast<DWORD>(sid.size());
  return TRUE;
}

extern "C" BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  if (DWORD e = SIM_ENTER(pSid1, pSid2)) return Fail(e, FALSE);
  const size_t length = SidLength(pSid1);
  SetLastError(ERROR_SUCCESS);
  return length != 0 && length == SidLength(pSid2) && std::memcmp(pSid1, pSid2, length) == 0;
}

extern "C" BOOL WINAPI IsValidSid(PSID pSid) {
  SIM_ENTER(pSid);
  return SidLength(pSid) != 0;
}

extern "C" DWORD WINAPI GetLengthSid(PSID pSid) {
  SIM_ENTER(pSid);
  return static_cast<DWORD>(SidLength(pSid));
}

extern "C" BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
  if (DWORD e = SIM_ENTER(Sid, StringSid)) return Fail(e, FALSE);
  if (StringSid == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring text = SidToString(Sid);
  if (text.empty()) return Fail(ERROR_INVALID_SID, FALSE);
  Lock lock(MachineLock());
  auto* out = static_cast<LPWSTR>(LocalAllocLocked((text.size() + 1) * sizeof(WCHAR)));
  std::wmemcpy(out, text.c_str(), text.size() + 1);
  *StringSid = out;
  return TRUE;
}

extern "C" BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
  if (DWORD e = SIM_ENTER(StringSid, Sid)) return Fail(e, FALSE);
  if (StringSid == nullptr || Sid == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::vector<uint8_t> bytes = SidFromString(StringSid);
  if (bytes.empty()) return Fail(ERROR_INVALID_SID, FALSE);
  Lock lock(MachineLock());
  void* out = LocalAllocLocked(bytes.size());
  std::memcpy(out, bytes.data(), bytes.size());
  *Sid = out;
  return TRUE;
}

// ----- Tokens
// ----------------------------------------------------------------------------------------

extern "C" BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess,
                                        LPSECURITY_ATTRIBUTES lpTokenAttributes,
                                        SECURITY_IMPERSONATION_LEVEL ImpersonationLevel,
                                        TOKEN_TYPE TokenType, PHANDLE phNewToken) {
  if (DWORD e = SIM_ENTER(hExistingToken, dwDesiredAccess, lpTokenAttributes,
                          static_cast<int>(ImpersonationLevel), static_cast<int>(TokenType),
                          phNewToken)) {
    return Fail(e, FALSE);
  }
  if (phNewToken == nullptr || (TokenType != TokenPrimary && TokenType != TokenImpersonation) ||
      ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<Token> source;
  if (DWORD e = TokenOfHandleLocked(hExistingToken, TOKEN_DUPLICATE, &source)) {
    return Fail(e, FALSE);
  }
  // An impersonation token cannot be raised above its own level, and only one that allows
  // impersonation can become a primary token.
  if (!source->primary) {
    const SECURITY_IMPERSONATION_LEVEL needed =
        TokenType == TokenPrimary ? SecurityImpersonation : ImpersonationLevel;
    if (source->level < needed) return Fail(ERROR_BAD_IMPERSONATION_LEVEL, FALSE);
  }
  auto copy = CopyTokenLocked(*source);
  copy->primary = TokenType == TokenPrimary;
  copy->level = TokenType == TokenPrimary ? SecurityAnonymous : ImpersonationLevel;
  // No access asked for means the access of the existing handle.
  const ACCESS_MASK access = dwDesiredAccess == 0 ? HandleAccessLocked(H(hExistingToken))
                                                  : MapTokenAccess(dwDesiredAccess);
  *phNewToken = reinterpret_cast<HANDLE>(AddHandleLocked(copy, access));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI GetTokenInformation(HANDLE TokenHandle,
                                           TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength) {
  if (DWORD e = SIM_ENTER(TokenHandle, static_cast<int>(TokenInformationClass), TokenInformation,
                          TokenInformationLength, ReturnLength)) {
    return Fail(e, FALSE);
  }
  if (ReturnLength == nullptr || (TokenInformation == nullptr && TokenInformationLength != 0)) {
    return Fail(ERROR_NOACCESS, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<Token> token;
  if (DWORD e = TokenOfHandleLocked(TokenHandle, TOKEN_QUERY, &token)) return Fail(e, FALSE);
  // Each class: the bytes it needs, then how to fill a buffer that large.
  std::vector<uint8_t> sid;
  DWORD needed = 0;
  switch (TokenInformationClass) {
    case TokenUser:
      sid = SidFromString(token->user_sid);
      needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
      break;
    case TokenPrivileges:
      needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                  token->privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
      break;
    case TokenType: needed = sizeof(TOKEN_TYPE); break;
    case TokenImpersonationLevel:
      if (token->primary) return Fail(ERROR_INVALID_PARAMETER, FALSE);
      needed = sizeof(SECURITY_IMPERSONATION_LEVEL);
      break;
    case TokenSessionId:
    case TokenElevation: needed = sizeof(DWORD); break;
    default:
      // The other classes are not modelled.
      return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  *ReturnLength = needed;
  if (TokenInformationLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  auto* out = static_cast<uint8_t*>(TokenInformation);
  switch (TokenInformationClass) {
    case TokenUser: {
      auto* user = static_cast<TOKEN_USER*>(TokenInformation);
      std::memcpy(out + sizeof(TOKEN_USER), sid.data(), sid.size());
      user->User.Sid = out + sizeof(TOKEN_USER);
      user->User.Attributes = 0;
      break;
    }
    case TokenPrivileges: {
      auto* privileges = static_cast<TOKEN_PRIVILEGES*>(TokenInformation);
      privileges->PrivilegeCount = static_cast<DWORD>(token->privileges.size());
      DWORD i = 0;
      for (const auto& [luid, enabled] : token->privileges) {
        privileges->Privileges[i].Luid.LowPart = luid;
        privileges->Privileges[i].Luid.HighPart = 0;
        privileges->Privileges[i].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
        ++i;
      }
      break;
    }
    case TokenType:
      *static_cast<TOKEN_TYPE*>(TokenInformation) =
          token->primary ? TokenPrimary : TokenImpersonation;
      break;
    case TokenImpersonationLevel:
      *static_cast<SECURITY_IMPERSONATION_LEVEL*>(TokenInformation) = token->level;
      break;
    case TokenSessionId: *static_cast<DWORD*>(TokenInformation) = token->session_id; break;
    case TokenElevation:
      static_cast<TOKEN_ELEVATION*>(TokenInformation)->TokenIsElevated =
          token->administrator ? 1 : 0;
      break;
    default: break;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI SetTokenInformation(HANDLE TokenHandle,
                                           TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength) {
  if (DWORD e = SIM_ENTER(TokenHandle, static_cast<int>(TokenInformationClass), TokenInformation,
                          TokenInformationLength)) {
    return Fail(e, FALSE);
  }
  if (TokenInformationClass != TokenSessionId) {
    // Only the session of a token is ever set by the package; other classes are not modelled.
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (TokenInformationLength != sizeof(DWORD)) return Fail(ERROR_BAD_LENGTH, FALSE);
  if (TokenInformation == nullptr) return Fail(ERROR_NOACCESS, FALSE);
  Lock lock(MachineLock());
  std::shared_ptr<Token> token;
  if (DWORD e =
          TokenOfHandleLocked(TokenHandle, TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID, &token)) {
    return Fail(e, FALSE);
  }
  // Moving a token into another session is the trusted computing base's business: the caller
  // must have the privilege enabled, not merely hold it.
  if (!PrivilegeEnabledLocked(*EffectiveTokenLocked(), SE_TCB_NAME)) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  }
  token->session_id = *static_cast<const DWORD*>(TokenInformation);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                       PHANDLE TokenHandle) {
  if (DWORD e = SIM_ENTER(ThreadHandle, DesiredAccess, OpenAsSelf, TokenHandle)) {
    return Fail(e, FALSE);
  }
  if (TokenHandle == nullptr) return Fail(ERROR_NOACCESS, FALSE);
  if (ThreadHandle != GetCurrentThread()) {
    // Other threads' tokens are not modelled.
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  Lock lock(MachineLock());
  if (!t_impersonation) return Fail(ERROR_NO_TOKEN, FALSE);
  if (t_impersonation->level == SecurityAnonymous) return Fail(ERROR_CANT_OPEN_ANONYMOUS, FALSE);
  *TokenHandle =
      reinterpret_cast<HANDLE>(AddHandleLocked(t_impersonation, MapTokenAccess(DesiredAccess)));
  return TRUE;
}

extern "C" BOOL WINAPI ImpersonateLoggedOnUser(HANDLE hToken) {
  if (DWORD e = SIM_ENTER(hToken)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(hToken));
  if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // A primary token is duplicated into an impersonation token; an impersonation token is used
  // as it is.
  const ACCESS_MASK needed =
      token->primary ? TOKEN_QUERY | TOKEN_DUPLICATE : TOKEN_QUERY | TOKEN_IMPERSONATE;
  if ((HandleAccessLocked(H(hToken)) & needed) != needed) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::shared_ptr<Token> thread_token = token;
  if (token->primary) {
    thread_token = CopyTokenLocked(*token);
    thread_token->primary = false;
    thread_token->level = SecurityImpersonation;
  }
  // Without SeImpersonatePrivilege a process may act as another user only at identification
  // level; Windows then still succeeds and gives the thread the weaker token.
  auto self = ProcessTokenLocked();
  if (self->user_sid != token->user_sid && !PrivilegeEnabledLocked(*self, SE_IMPERSONATE_NAME) &&
      thread_token->level > SecurityIdentification) {
    thread_token = CopyTokenLocked(*thread_token);
    thread_token->level = SecurityIdentification;
  }
  SetThreadImpersonationLocked(thread_token);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI RevertToSelf(void) {
  if (DWORD e = SIM_ENTER_RELEASE()) return Fail(e, FALSE);
  Lock lock(MachineLock());
  SetThreadImpersonationLocked(nullptr);
  return TRUE;
}
