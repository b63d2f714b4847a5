// The check that decides whether the per-user program may run. The service starts it as
// LocalSystem on the user's desktop, so only a program signed by the service's own publisher,
// whose bytes cannot change between the check and the start, may pass.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

// An open, checked program file. While it is held, the file cannot be written, deleted or
// renamed (it is open with read sharing only), so the bytes that were checked are the bytes a
// process created from its path runs.
class VerifiedProgram {
 public:
  VerifiedProgram() = default;
  bool verified() const { return file_.valid(); }

 private:
  friend bool VerifyProgramFile(const WCHAR* path, VerifiedProgram& program);
  friend bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                                       VerifiedProgram& program);
  UniqueFile file_;
};

// Opens the program file with read sharing only, then checks through that handle that its
// Authenticode signature verifies with a trusted chain (also checked against the Authenticode
// chain policy explicitly) and that its signer is the very certificate that signed the running
// service image. On success the file stays open in `program`. Any failure, including a check
// that is unavailable (wintrust.dll or crypt32.dll that cannot be loaded from the system
// directory), answers false and leaves `program` empty.
//
// The libraries, loaded at the first check, and the running image's signer, read at the first
// check that could read it, are kept for the life of the process; the program file is verified
// on every call.
bool VerifyProgramFile(const WCHAR* path, VerifiedProgram& program);

// The same check with the signer taken from the service image at service_image (the running
// image when it is null): for a program that checks the per-user program as the service would.
// The image's signer is read on every call, and nothing is kept.
bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                              VerifiedProgram& program);

// What VerifyProgramFile keeps, dropped for a new run of the service in the same host process:
// Forget when the process that kept it has ended and taken its loads back, Release (which frees
// the libraries) when the caller's own thread played that process.
void ForgetProcessTrustStateForTesting();
void ReleaseProcessTrustStateForTesting();

}  // namespace dpal
