// The test side of sessions and processes: the console, logons, loaded profiles, the programs
// that starts run and the starts themselves.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/security/sim_security.h"
#include "platform/sim/sessions/wtsapi32.h"

namespace sim {

// ----- Sessions and logons -------------------------------------------------------------------

// After Reset the machine has session 0 (services, no user, WTSDisconnected) and session 1 at the
// console, where the default identity's user (DefaultAdmin()) is logged on (WTSActive).
inline constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

// The session attached to the console; kNoConsoleSession while none is (a session switch).
// A session that does not exist yet is created without a user, at the logon screen.
void SetConsoleSession(DWORD session_id);
// Sets a session's connection state (creating the session when it does not exist).
void SetSessionState(DWORD session_id, WTS_CONNECTSTATE_CLASS state);
// A user's profile as the user's first logon leaves it: the directory ProfileDirectory(name)
// with "ntuser.dat", a hive file holding an empty hive, and the entry <sid> of the machine's
// profile list (HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList) with
// "ProfileImagePath" naming the directory (a REG_EXPAND_SZ, as Windows writes it). After Reset
// the list holds the service accounts S-1-5-18, -19 and -20, whose directories do not exist.
void CreateUserProfile(const std::wstring& user_sid, const std::wstring& user_name);
// "C:\Users\<name>".
std::wstring ProfileDirectory(const std::wstring& user_name);

// A user logs on in a session: the session becomes active with that user, and the user's hive
// is loaded under HKEY_USERS\<sid> as a logon does (if it is not loaded already): from the
// ntuser.dat of the user's profile when there is one, else empty.
void LogOn(DWORD session_id, const std::wstring& user_sid, const std::wstring& user_name,
           bool administrator = false);
// The session's user logs off: no user, back at the logon screen (WTSConnected). A hive read
// from the user's ntuser.dat is unloaded and written back to the file, unless profiles loaded by
// programs or open keys still hold it; a hive without a file stays loaded.
void LogOff(DWORD session_id);
// User profiles loaded by LoadUserProfileW and not yet unloaded.
int LoadedProfileCount();

// ----- Processes --------------------------------------------------------------------------------

// What a program started by CreateProcessW or CreateProcessAsUserW sees, and what the machine
// records about each start.
struct Launch {
  std::string function;           // "CreateProcessAsUserW", "CreateProcessW" or "RunProcess"
  std::wstring application_name;  // lpApplicationName as passed ("" for none)
  std::wstring image_path;        // the program file that was started
  std::wstring command_line;
  std::wstring current_directory;
  std::wstring desktop;  // lpDesktop, or the parent's desktop when none was given
  DWORD creation_flags = 0;
  DWORD session_id = 0;   // the session of the new process's token
  std::wstring user_sid;  // the new process's token user
  std::wstring user_name;
  bool elevated = false;                  // the token is an administrator's full token
  std::vector<std::wstring> environment;  // "NAME=value" entries in block order
  DWORD process_id = 0;

  // The value of an environment variable (names are case-insensitive); empty when it is unset.
  std::wstring Variable(const std::wstring& name) const;
};

// What a program does when started: runs on a thread of its own as the new process (its token,
// image, command line and directory; GetCommandLine-like data is in the Launch), and returns the
// exit code. A program that throws ends with the exit code 0xE06D7363, as an uncaught C++
// exception ends a Windows process.
using Program = std::function<DWORD(const Launch&)>;

// Registers what starting a program file does (the path is case-insensitive). Starting a file
// that exists but has no program registered fails with ERROR_BAD_EXE_FORMAT.
void RegisterProgram(const std::wstring& image_path, Program program);
// Every start so far, in order.
std::vector<Launch> Launches();
// Waits until at least `count` starts have been recorded; false when the time ran out first.
bool WaitForLaunches(size_t count, std::chrono::milliseconds timeout);
// Waits until every started program has ended; false when the time ran out first.
bool WaitForProcessesToEnd(std::chrono::milliseconds timeout);

// Runs a program as a process of its own, as a user (or an installer) starts it, and returns its
// exit code once it has ended: `entry` plays the image's entry point on a thread that acts as
// that process, with a token of its own for the identity's account and session, the identity's
// image and current directory, and `command_line` as GetCommandLineW gives it. The image file,
// when there is one to open, is mapped while the program runs. An entry that throws ends with
// 0xE06D7363, as an uncaught C++ exception ends a Windows process. What the program obtained
// belongs to its process and goes when it ends: handles it left open, blocks, local memory,
// impersonation, loaded profiles. A restart (Restart) ends a running one as TerminateProcess
// does, with exit code 1: RunProcess returns, and the entry's thread stops for good at its next
// platform call or wake-up. The start is recorded among the Launches, with function
// "RunProcess". Threads the entry starts itself act as the process identity
// (SetProcessIdentity), as every thread without one of its own does.
int RunProcess(const Identity& identity, const std::wstring& command_line,
               std::function<int()> entry);

}  // namespace sim
