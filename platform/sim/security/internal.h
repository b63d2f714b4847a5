// What the security area gives the other areas: tokens, the identity of the process a thread
// acts for, impersonation and privileges; the row of security in the table of areas.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/security/securitybaseapi.h"
#include "platform/sim/security/sim_security.h"

namespace sim {

class AreaUse;

// ----- Tokens ---------------------------------------------------------------------------------

struct Token : Object {
  static constexpr HandleKind kKind{"token", true};
  Token() : Object(kKind) {}
  std::wstring user_sid;
  std::wstring user_name;
  bool administrator = false;
  DWORD session_id = 0;
  bool primary = true;
  // For an impersonation token: how far a server may act as its user.
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  // Privileges the token holds, by LUID low part, with their enabled state.
  std::map<DWORD, bool> privileges;
};

bool IsSystemSid(const std::wstring& sid);
// The token that the calling thread acts with: its impersonation token, else its process token.
std::shared_ptr<Token> EffectiveTokenLocked();
std::shared_ptr<Token> ProcessTokenLocked();
bool PrivilegeEnabledLocked(const Token& token, const wchar_t* name);
bool PrivilegeHeldLocked(const Token& token, const wchar_t* name);
// Sets (or, with null, ends) the calling thread's impersonation; the leak check counts the
// threads that are impersonating.
void SetThreadImpersonationLocked(std::shared_ptr<Token> token);
// A new token of an identity's account, with the privileges Windows gives that account in the
// states a fresh logon has them.
std::shared_ptr<Token> MakeTokenLocked(const Identity& identity);
// A copy of a token as DuplicateTokenEx makes one: same user, session and privileges.
std::shared_ptr<Token> CopyTokenLocked(const Token& token);

// ----- Threads that play a process of their own -------------------------------------------------

// A thread the sim starts to play another process (a service's process and its ServiceMain, a
// launched program) acts as that process's identity from then on: the process's own token, which
// all its threads share (a new token of the identity's account when `token` is null, without
// impersonation), and its image.
void SetThreadIdentityLocked(const Identity& identity, std::shared_ptr<Token> token);
// The identity of the process the calling thread belongs to.
Identity CurrentIdentityLocked();
// That process's command line, in storage that lasts as long as the thread's identity (for the
// process identity: until SetProcessIdentity or Reset).
const wchar_t* CurrentCommandLineLocked();
// Whether `identity` is the process identity (its account and image): what threads without an
// identity of their own act as. A process of that identity is the one such threads belong to.
bool IsProcessIdentityLocked(const Identity& identity);

// ----- Row of the table of areas --------------------------------------------------------------

void ResetSecurityLocked();
AreaUse& SecurityUse();  // the mark of the security area's use (kernel/areas.h)
void SecurityLeaksLocked(LeakReport& report);                // impersonating threads
void SecurityProcessEndedLocked(const SimProcess& process);  // its threads' impersonation
// The process a blocked thread plays (BlockedThread::process_image).
void DescribeSecurityWaitLocked(const std::vector<const Object*>& objects, BlockedThread& thread);

}  // namespace sim
