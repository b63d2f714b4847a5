// The test side of identity and trust: the process identity, code-signing certificates and the
// trusted roots.
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

// ----- Signatures and trust
// -----------------------------------------------------------------------

// A code-signing certificate as the signature check sees it.
struct Certificate {
  std::wstring subject;  // e.g. L"CN=Tarvex Test Signing"
  std::wstring issuer;   // the name of the certificate that issued it
  std::wstring serial;   // hexadecimal, most significant digit first, e.g. L"3A01"
  std::wstring root;     // the root certificate its chain ends in
};

// Signs a file as a signing tool does (signing again replaces the signature): the signature,
// with the certificate and a digest of the file's bytes, is embedded in the file, so it travels
// with copies and renames, and a file whose bytes change afterwards no longer matches its digest.
// A file without a signature is an unsigned program to WinVerifyTrust (TRUST_E_NOSIGNATURE) when
// its bytes start with "MZ", as ProgramBytes makes them, and no subject it knows
// (TRUST_E_SUBJECT_FORM_UNKNOWN) otherwise. Nothing happens when the file does not exist.
void SignFile(const std::wstring& path, const Certificate& signer);
std::vector<uint8_t> ProgramBytes(const std::string& tag = "");
// Roots in the machine's trusted root store. After Reset no root is trusted.
void TrustRoot(const std::wstring& root);
void DistrustRoot(const std::wstring& root);

}  // namespace sim
