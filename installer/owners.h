// The installer's owner in "Owners" under the service key: what keeps the uninstaller's final
// cleanup waiting until the installer has run the device removal. Shared by the development
// installer and the MSI's custom actions.
#pragma once

#include "platform/win32.h"

namespace dpal::installer {

// Takes `owner` out of "Owners"; the value stays, holding whatever other owners registered (an
// empty list when there were none), so that a second product's registration survives the
// package's removal. A missing value, or one of another type, counts as an empty list. Answers
// ERROR_SUCCESS or the registry's error (the service key missing: ERROR_FILE_NOT_FOUND).
LSTATUS WithdrawOwner(const WCHAR* owner);

}  // namespace dpal::installer
