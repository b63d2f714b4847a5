// SetDPALProfile: makes a profile the built-in panel's default for the interactive user, the
// machine or both, or replaces the default only where it is still a given base profile and the
// apply state of that scope allows it. The tool shows and writes nothing; its one result is the
// exit code, 0 when the mode ran and succeeded, 1 for anything else.
//
// Command line (argument 0 is the program):
//   /allset|/userset|/systemset <kind> <profile>
//   /baseverify <kind> <profile> <base profile>
// The switch is compared case-sensitively; the kind is decimal text (1 standard, 2 extended);
// names hold at most 259 units. Further arguments are ignored.
#pragma once

#include "common/format.h"
#include "common/handles.h"
#include "platform/win32.h"

namespace dpal::setprofile {

enum Mode : int {
  kNoMode = 0,  // none, or a switch that is not one of the four
  kAllSet = 1,
  kUserSet = 2,
  kSystemSet = 3,
  kBaseVerify = 4,
};

inline constexpr int kSucceeded = 0;
inline constexpr int kFailed = 1;

// What the command line asked for. The argument array is held for the whole run and freed with
// LocalFree when the record ends.
struct ToolArguments {
  int mode = kNoMode;
  int kind = 0;                        // StrToIntW of argument 2: 0 for text without digits
  WCHAR baseProfile[kPathUnits] = {};  // argument 4 ("/baseverify")
  WCHAR profile[kPathUnits] = {};      // argument 3
  UniqueLocalMemory argv;              // the LPWSTR array CommandLineToArgvW made
  int argc = 0;
  bool parsed = false;  // every argument the mode needs was there and fit
};

// Splits the command line and fills the record. A failed split leaves mode 0 and parsed false;
// the mode comes from a split of its own, freed at once, and is 0 when that split fails or
// gives fewer than two arguments.
void ParseArguments(const WCHAR* command_line, ToolArguments* arguments);

// The modes. Each identifies the built-in panel afresh (the first active path with an internal
// output technology) and fails, calling no colour function, when it is not found.
// User scope as LocalSystem: in the console user's context, and failing when nobody is there.
bool SetUserProfile(int kind, const WCHAR* profile);
bool SetSystemProfile(int kind, const WCHAR* profile);
// The user's default, then (only if that succeeded) the machine's; a user default that was set
// stays set when the machine step fails.
bool SetAllProfiles(int kind, const WCHAR* profile);
// Each scope whose apply state is not 0 (a missing or unreadable value counts as on): its
// default is replaced by `profile` when it is exactly `base`; a scope whose default differs is
// left alone and counts as success. The result is the outcome of the last scope processed (the
// machine's when its state is on): the tool's callers rely on it. The user's state is read from
// the console user's hive for a LocalSystem caller, from the caller's own HKEY_CURRENT_USER when
// that hive cannot be loaded or the caller is anyone else.
bool VerifyBaseProfiles(int kind, const WCHAR* profile, const WCHAR* base);

// The whole run on a command line: the exit code.
int RunTool(const WCHAR* command_line);

// The program's entry: RunTool on the process's command line, and 1 when a failure the package
// contains ends the run.
int RunToolProcess();

}  // namespace dpal::setprofile
