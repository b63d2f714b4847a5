// The test side of identity: the process identity, and threads that run as another one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/kernel/winbase.h"

namespace sim {

// ----- Identity -----------------------------------------------------------------------------

inline constexpr const wchar_t* kLocalSystemSid = L"S-1-5-18";

struct Identity {
  std::wstring user_sid;   // e.g. L"S-1-5-21-1000-1000-1000-1001"
  std::wstring user_name;  // e.g. L"alice"
  bool administrator = false;
  DWORD session_id = 0;
  std::wstring image_path;  // full path of the process image
  std::wstring command_line;
  std::wstring current_directory;
};

Identity DefaultAdmin();
Identity LocalSystem(const std::wstring& image_path = L"C:\\Windows\\System32\\svchost.exe");
Identity StandardUser(const std::wstring& sid, const std::wstring& name);

// The identity of the process that threads without one of their own run as. Threads that the
// sim starts itself (a service's main, a launched program) carry their own identity, and
// ProcessIdentity() called on such a thread answers that identity.
void SetProcessIdentity(const Identity& identity);
Identity ProcessIdentity();
// Runs `body` on a thread of its own that acts as one thread of a process of `identity` (a token
// of its own, its image and session), and returns once it has run. Threads that `body` starts
// act as the process identity, as every thread without one of its own does.
void RunAs(const Identity& identity, const std::function<void()>& body);

}  // namespace sim
