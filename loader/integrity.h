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
  friend bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                                       VerifiedProgram& program);
  UniqueFile file_;
};

// Opens the program file with read sharing only, then checks through that handle that its
// Authenticode signature verifies with a trusted chain (also checked against the Authenticode
// chain policy explicitly) and that its signer is the very certificate that signed the running
// service image. On success the file stays open in `program`. Any failure, including a check
// that is unavailable, answers false and leaves `program` empty.
bool VerifyProgramFile(const WCHAR* path, VerifiedProgram& program);

// The same check with the signer taken from the service image at service_image (the running
// image when it is null): for a program that checks the per-user program as the service would.
bool VerifyProgramFileAgainst(const WCHAR* path, const WCHAR* service_image,
                              VerifiedProgram& program);

}  // namespace dpal
