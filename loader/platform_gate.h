// Whether this machine is one the package's profiles are made for, and whether an installation
// of the profiles is pending. Each answers from the registry on every call; nothing is cached.
#pragma once

namespace dpal {

// True when the firmware version has at least eight characters, its seventh is not 'w' (any
// case), and its first three equal (any case) an entry of the supported prefix list.
bool IsPlatformSupported();

// True when the install-state key exists and its "State" is 0, missing or not a DWORD.
bool IsInstallPending();

// Writes "State" 1 into the existing install-state key; false (nothing created) without it.
bool MarkInstallDone();

}  // namespace dpal
