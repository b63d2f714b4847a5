// The scenario runner's client of DPALCore.dll: the commands that call the library's exports,
// and the panel's colour state that the timeline follows. Sim build only.
//
// The client is what the library is made for: a program in the console session running as
// LocalSystem (as the per-user program does), which loads DPALCore.dll by name from the install
// directory and resolves its exports with GetProcAddress.
//
//   client state user|machine|both 0|1   SaveCurrentApplyStatus with target 2, 3 or 1
//   client set sdr|hdr NAME              SetDefaultColorProfileToPrimaryMonitor
//   client read sdr|hdr                  GetDefaultUserProfile and GetDefaultSystemProfile
//   client disassociate user|machine sdr|hdr NAME
//                                        DisassociateUserColorProfile / ...SystemColorProfile
//   client save NAME                     SaveUserProfile: records NAME in the profile list of the
//                                        client's own account, as the per-user program does for
//                                        the profiles it installs
//   client wait stop                     WaitForUsrUpdate, ended by StopWaitForUsrUpdate
//   client wait 0|1                      WaitForUsrUpdate, while another program of the client's
//                                        account switches that account's user state to 0 or 1
//                                        (the wait watches the client's own HKEY_CURRENT_USER)
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace dpal::client {

struct Line {
  std::string kind;  // "client", "registry", "colour"
  std::string text;
};

// Empty when the words (after "client") make a command, otherwise what is wrong.
std::string Check(const std::vector<std::string>& words);
// What the command does, for its line of the timeline.
std::string Describe(const std::vector<std::string>& words);
// Runs the command as the client in the console session; what it did, in order.
std::vector<Line> Run(const std::vector<std::string>& words, DWORD console_session);

// The panel's defaults (the console user's and the machine's, standard and advanced colour) and
// its association lists, as the timeline shows them.
using ColourState = std::map<std::string, std::string>;
ColourState Snapshot(const std::wstring& console_user_sid);
// One line for each entry that changed.
std::vector<Line> Changes(const ColourState& before, const ColourState& after);

}  // namespace dpal::client
