// Starts the per-user program "TarvexDPALProfile.exe" from the service's own directory with one
// switch, in the active console session, on the interactive desktop, under a copy of the
// service's own token, and waits for it to end.
#pragma once

#include "common/format.h"
#include "platform/win32.h"

namespace dpal {

inline constexpr const WCHAR kProfileProgramFile[] = L"TarvexDPALProfile.exe";

// The switches of the per-user program.
inline constexpr const WCHAR kSwitchInstall[] = L"/i";
inline constexpr const WCHAR kSwitchRestore[] = L"/r";
inline constexpr const WCHAR kSwitchVerifyProfile[] = L"/verifyprofile";
inline constexpr const WCHAR kSwitchSetState[] = L"/ss";
inline constexpr const WCHAR kSwitchResetState[] = L"/rs";
inline constexpr const WCHAR kSwitchSetUser[] = L"/su";

class ProfileProgramLauncher {
 public:
  // Runs the program with the switch and returns once it has ended. True when the program file
  // passed the integrity check and its start was attempted (whether it started, and its exit
  // code, do not matter); false when the path could not be built or the check failed, in which
  // case nothing was started.
  bool LaunchProfileProgram(const WCHAR* switch_text);

 private:
  const WCHAR* program_file_ = kProfileProgramFile;
};

// The directory of the running service image, without a trailing backslash. False (out
// untouched) when the image path cannot be had, needs 260 units or more, or has no backslash.
bool GetServiceDirectory(WCHAR (&out)[kPathUnits]);

// Starts path with the switch (or none) in the console session and waits for it. True when the
// program ran to its end and its exit code was fetched into exit_code.
bool LaunchAsConsoleUser(const WCHAR* path, const WCHAR* switch_text, DWORD* exit_code);

}  // namespace dpal
