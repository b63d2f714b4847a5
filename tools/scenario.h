// Scenarios for dpal-sim: a simulated laptop with the package installed lives through a list of
// events, and the runner prints what the service did as a timeline. Sim build only.
//
// A scenario is plain text, one command a line. Words are separated by blanks; "#" starts a
// comment that runs to the end of the line; blank lines are ignored. Comment lines right above a
// command (no blank line between) are shown in the timeline as a heading for it. Commands run in
// order, and after each one the runner waits (with a deadline) until the service has finished
// what the command set off: launched programs have ended, work runs are over, the watch of the
// apply state is waiting again, a stopping service has gone.
//
// The laptop starts as the outside installer leaves it (harness/installer.h), on a freshly reset
// machine whose snapshot the runner keeps as "before the install": the software device and its
// driver package, firmware "ABCDE12X" with the supported prefix "ABC", the settings and the
// catalogue with intact profile files, an installation pending (install state 0), no machine
// apply state yet, the signed per-user program, core library and tool beside the service, the
// two scheduled tasks, the installed uninstaller, the installer's owner in "Owners", the service
// registered for automatic start but not running, and nobody logged on: session 1 at the console
// shows the logon screen.
//
// The machine
//   firmware TEXT             the firmware version text ("BIOSVersion")
//   prefixes P...             the supported firmware prefixes ("SupportedBIOSPrefix")
//   device present|absent     adds or removes the software device
//   install pending|done|none the install state: "State" 0, "State" 1, or no install-state key
//   state N                   writes the machine apply state "State" = N, as the core library
//                             does when a client switches the profiles on (1) or off (0)
//   alter-profile             changes one byte of a profile file in the colour directory
//   program signed|unsigned   puts a signed per-user program beside the service, or an unsigned
//                             copy that the service's integrity check refuses
//   displays panel|extended|external-primary|cloned|lid-closed
//                             the laptop's displays: the built-in panel alone (as it starts), an
//                             external monitor beside it, made primary, showing a clone of the
//                             panel, or alone with the lid closed
//
// The service control manager
//   boot                      a restart of the laptop: every process ends (a running service
//                             without a stop control), every user is logged off, the console
//                             shows the logon screen, the file operations recorded for the
//                             restart are carried out, and the SCM starts the service if its
//                             start type is automatic; the timeline shows what the restart
//                             changed among the files
//   start                     the SCM starts the service (as "sc start" would)
//   stop                      the SCM sends the stop control
//   control N                 the SCM sends the user control code N (128 to 255)
//
// Sessions
//   logon NAME [session N]    NAME logs on in session N (default 1), which is attached to the
//                             console; the service is told of the logon
//   logoff                    the user at the console logs off; the service is told
//
// Checks (a check that fails is reported, the scenario goes on, and dpal-sim exits with 1)
//   expect launches SWITCH... the per-user program was launched with these switches, in this
//                             order, since the previous "expect launches" ("none" for none)
//   expect install-state 0|1|none
//   expect start-type auto|demand|disabled
//   expect service running|stopped
//   expect default user|machine sdr|hdr NAME|none
//                             the panel's default profile of the console user or the machine
//   expect tool N             the exit code of the last "tool" run
//
// The core library's client (tools/core_client.h): a program in the console session, running as
// LocalSystem, that calls DPALCore.dll's exports. The timeline shows each export called with its
// result, and the panel's defaults and association lists that changed.
//   client state user|machine|both 0|1
//                             switches the profiles off or on (SaveCurrentApplyStatus)
//   client set sdr|hdr NAME   makes a profile the panel's default, for the user, then the machine
//   client read sdr|hdr       reads the panel's user and machine defaults
//   client disassociate user|machine sdr|hdr NAME
//                             removes a profile from the panel's association list
//   client save NAME          records the profile NAME for the client's account (SaveUserProfile),
//                             as the per-user program does for the profiles it puts into effect
//   client wait stop|0|1      waits for the user's update: ended by the stop, or by another
//                             program of the client's account switching its user state
//
// The profile-setting tool: SetDPALProfile.exe run as a program of its own, with the words after
// the account as its arguments. The timeline shows its command line, account and exit code, and
// the panel's defaults that changed.
//   tool [user|system] ARGS...
//                             as the console user (the default) or as LocalSystem in the
//                             console session, e.g. "tool system /baseverify 1 NEW BASE"
//   install-profile NAME      an update of the profiles installs NAME ("QXLCD_....icm") in the
//                             colour directory and enters it in the catalogue ("_S" at the end
//                             of the base name: standard colour, "_H": advanced colour)
//
// The uninstall, as the outside installer plays it. Each command's timeline ends with what it
// changed on the machine (the difference of snapshots before and after), an item a line:
// removed, added or changed.
//   uninstall device-removal  the uninstaller's device-removal run, started by an elevated
//                             administrator: removes the software device and its driver package
//   uninstall final-cleanup   its final-cleanup run, as the uninstall task starts it (LocalSystem,
//                             "-checkremoval"): the gates first (the software device present, an
//                             owner registered: either stops the run), then each step with its
//                             result as it runs, the exit code, and the changes, the image's move
//                             to the temporary directory with its deletion at the restart included
//   installer withdraw-owner  the installer takes its owner out of "Owners"
//   installer remove          the installer's own removal: the service's files and registration
//                             (the service key with the settings and the catalogue), then the
//                             install directory when it is empty
//   summary                   what the package left: the machine's difference from before the
//                             install, grouped as removed, added and changed items
//   expect uninstall N        the exit code of the last "uninstall" run
//   expect leftovers N        the number of items that differ from before the install
//
// The one-line summary at the end of every play also gives that number.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace dpal::scenario {

// How dpal-sim ends.
inline constexpr int kCompleted = 0;
inline constexpr int kFailed = 1;    // a check failed, or the service did not settle in time
inline constexpr int kBadInput = 2;  // the command line or the scenario cannot be used

struct Step {
  int line = 0;
  std::vector<std::string> words;  // the command first
  std::string text;                // the line as written, without its comment
  // The comment lines right above the command (no blank line between): the timeline shows them
  // as a heading.
  std::vector<std::string> heading;
};

struct Scenario {
  std::string name;    // shown in the timeline and the summary ("day")
  std::string origin;  // where it comes from, for the timeline's first line (a file's path)
  std::vector<Step> steps;
};

// Reads a scenario. False with a message "NAME:LINE: what is wrong" in `error` for a line that
// is not one of the commands above or has arguments they do not take.
bool Parse(const std::string& text, const std::string& name, Scenario* scenario,
           std::string* error);

struct PlayOptions {
  bool trace = false;  // also every platform call, with the thread that made it
  std::chrono::milliseconds deadline{10000};  // for the service to settle after each command
};

// Plays a scenario on a freshly reset sim machine and writes the timeline and a one-line
// summary to `out`. Answers kCompleted, or kFailed when a check failed or the service did not
// settle in time (the timeline says which).
int Play(const Scenario& scenario, const PlayOptions& options, std::ostream& out);

// The built-in scenario, a laptop's day: the text of tools/scenarios/day.dpal.
const std::string& BuiltInDay();

// The command summary that "dpal-sim --help" prints.
const char* CommandSummary();

}  // namespace dpal::scenario
