#include "tools/scenario/commands.h"

#include <algorithm>
#include <optional>

#include "tools/core_client.h"
#include "tools/scenario/actions.h"
#include "tools/scenario/player.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

namespace {

// ----- Arguments ----------------------------------------------------------------------------

Arguments None() { return Arguments{Arguments::Kind::None, {}, nullptr}; }
Arguments Any() { return Arguments{Arguments::Kind::Any, {}, nullptr}; }
Arguments OneOf(std::vector<std::string> choices) {
  return Arguments{Arguments::Kind::OneOf, std::move(choices), nullptr};
}
Arguments Checked(std::string (*check)(const Words&)) {
  return Arguments{Arguments::Kind::Checked, {}, check};
}

std::string CheckInstallProfile(const Words& w) {
  // A name the service would install: "QXLCD_..." with the ".icm" extension.
  const bool named = w.size() == 2 && w[1].size() > 10 && w[1].compare(0, 6, "QXLCD_") == 0 &&
                     w[1].compare(w[1].size() - 4, 4, ".icm") == 0;
  return named ? "" : "'install-profile' takes a profile file name QXLCD_....icm";
}

std::string CheckFirmware(const Words& w) {
  return w.size() == 2 ? "" : "'firmware' takes the version text";
}

std::string CheckPrefixes(const Words& w) {
  return w.size() >= 2 ? "" : "'prefixes' takes at least one prefix";
}

std::string CheckState(const Words& w) {
  return w.size() == 2 && Number(w[1]) ? "" : "'state' takes a number (0 off, 1 on)";
}

std::string CheckControl(const Words& w) {
  std::optional<DWORD> code = w.size() == 2 ? Number(w[1]) : std::nullopt;
  return code && *code >= 128 && *code <= 255 ? "" : "'control' takes a user code, 128 to 255";
}

std::string CheckLogon(const Words& w) {
  const size_t args = w.size() - 1;
  if (args == 1) return "";
  std::optional<DWORD> session = args == 3 && w[2] == "session" ? Number(w[3]) : std::nullopt;
  if (session && *session >= 1 && *session <= 65535) return "";
  return "'logon' takes a user name and optionally 'session N' (N from 1)";
}

std::string CheckExpectLaunches(const Words& w) {
  const size_t args = w.size() - 1;
  if (args < 2) return "'expect launches' takes switches, or 'none'";
  for (size_t i = 2; i < w.size(); ++i) {
    if (w[i] == "none" && args != 2) return "'expect launches none' takes nothing more";
    if (w[i] != "none" && w[i][0] != '/') return "a switch begins with '/': " + w[i];
  }
  return "";
}

std::string CheckExpectInstallState(const Words& w) {
  return w.size() == 3 && (w[2] == "none" || Number(w[2]))
             ? ""
             : "'expect install-state' takes a number or 'none'";
}

std::string CheckExpectStartType(const Words& w) {
  return w.size() == 3 && (w[2] == "auto" || w[2] == "demand" || w[2] == "disabled")
             ? ""
             : "'expect start-type' takes auto, demand or disabled";
}

std::string CheckExpectService(const Words& w) {
  return w.size() == 3 && (w[2] == "running" || w[2] == "stopped")
             ? ""
             : "'expect service' takes running or stopped";
}

std::string CheckExpectDefault(const Words& w) {
  return w.size() == 5 && (w[2] == "user" || w[2] == "machine") && (w[3] == "sdr" || w[3] == "hdr")
             ? ""
             : "'expect default' takes user|machine sdr|hdr NAME|none";
}

std::string CheckExpectTool(const Words& w) {
  return w.size() == 3 && Number(w[2]) ? "" : "'expect tool' takes an exit code";
}

std::string CheckExpectUninstall(const Words& w) {
  return w.size() == 3 && Number(w[2]) ? "" : "'expect uninstall' takes an exit code";
}

std::string CheckExpectLeftovers(const Words& w) {
  return w.size() == 3 && Number(w[2]) ? "" : "'expect leftovers' takes a number of items";
}

std::string CheckExpectDoctor(const Words& w) {
  if (w.size() == 3 && w[2] == "ok") return "";
  if (w.size() == 4 && w[2] == "problem") return "";
  return "'expect doctor' takes ok, or problem and the name of a check";
}

// ----- The table ----------------------------------------------------------------------------

// A description that does not depend on the words.
#define DESCRIBE(text) +[](const Words&, const PlayState&) -> std::string { return text; }

std::vector<Command> MakeTable() {
  return {
      {"firmware", Checked(CheckFirmware),
       "  firmware TEXT              the firmware version text (default ABCDE12X)\n",
       +[](const Words& w, const PlayState&) { return "BIOSVersion becomes \"" + w[1] + "\""; },
       action::Firmware, true},
      {"prefixes", Checked(CheckPrefixes),
       "  prefixes P...              the supported firmware prefixes (default ABC)\n",
       +[](const Words& w, const PlayState&) {
         return "SupportedBIOSPrefix becomes " + Join(w, 1);
       },
       action::Prefixes, true},
      {"device", OneOf({"present", "absent"}), "  device present|absent      the software device\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "present" ? "the software device is present"
                                  : "the software device is removed";
       },
       action::Device, true},
      {"install", OneOf({"pending", "done", "none"}),
       "  install pending|done|none  the install state: 0, 1, or no install-state key\n",
       +[](const Words& w, const PlayState&) -> std::string {
         if (w[1] == "none") return "the install-state key is removed";
         return w[1] == "pending" ? "an installation is wanted (State 0)"
                                  : "the installation is done (State 1)";
       },
       action::Install, true},
      {"state", Checked(CheckState),
       "  state N                    the machine apply state, as the core library writes it\n",
       +[](const Words& w, const PlayState&) -> std::string {
         if (w[1] == "1") return "a client switches the profiles on for the machine";
         if (w[1] == "0") return "a client switches the profiles off for the machine";
         return "a client sets the machine apply state to " + w[1];
       },
       action::State, true},
      {"alter-profile", None(), "  alter-profile              changes one byte of a profile file\n",
       DESCRIBE("one byte of a profile file changes"), action::AlterProfile, true},
      {"program", OneOf({"signed", "unsigned"}),
       "  program signed|unsigned    the per-user program passes or fails the integrity check\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "signed" ? "the per-user program is the publisher's signed one"
                                 : "the per-user program is replaced by an unsigned copy";
       },
       action::Program, true},
      {"displays", OneOf({"panel", "extended", "external-primary", "cloned", "lid-closed"}),
       "  displays panel|extended|external-primary|cloned|lid-closed   the laptop's displays\n",
       +[](const Words& w, const PlayState&) -> std::string {
         if (w[1] == "panel") return "the built-in panel alone";
         if (w[1] == "extended")
           return "an external monitor extends the desktop; the panel stays primary";
         if (w[1] == "external-primary") return "an external monitor is made the primary display";
         if (w[1] == "cloned") return "an external monitor shows a clone of the panel";
         return "the lid is closed; an external monitor is the only display";
       },
       action::Displays, true},
      {"boot", None(),
       "  boot                       restart: users logged off, service started if automatic\n",
       DESCRIBE("restart: users logged off, the console at the logon screen"), action::Boot, true},
      {"start", None(), "  start | stop               the SCM starts or stops the service\n",
       DESCRIBE("the SCM starts the service"), action::Start, true},
      {"stop", None(), "",  // on the line of "start"
       DESCRIBE("the SCM asks the service to stop"), action::Stop, true},
      {"control", Checked(CheckControl),
       "  control N                  the SCM sends user control code N (128..255)\n",
       +[](const Words& w, const PlayState&) {
         return "the SCM sends the user control code " + w[1];
       },
       action::Control, true},
      {"logon", Checked(CheckLogon),
       "  logon NAME [session N]     NAME logs on at the console (session 1 by default)\n",
       +[](const Words& w, const PlayState&) {
         const std::string session = w.size() == 4 ? w[3] : "1";
         return w[1] + " logs on in session " + session + " at the console";
       },
       action::Logon, true},
      {"logoff", None(), "  logoff                     the console user logs off\n",
       +[](const Words&, const PlayState& play) -> std::string {
         auto it = play.users.find(play.console);
         return it == play.users.end()
                    ? "nobody is logged on at the console; nothing happens"
                    : it->second + " logs off session " + std::to_string(play.console) +
                          "; the logon screen shows";
       },
       action::Logoff, true},
      {"expect launches", Checked(CheckExpectLaunches),
       "  expect launches SWITCH...|none       launches since the last such check\n", nullptr,
       action::ExpectLaunches, false},
      {"expect install-state", Checked(CheckExpectInstallState), "  expect install-state N|none\n",
       nullptr, action::ExpectInstallState, false},
      {"expect start-type", Checked(CheckExpectStartType),
       "  expect start-type auto|demand|disabled\n", nullptr, action::ExpectStartType, false},
      {"expect service", Checked(CheckExpectService), "  expect service running|stopped\n", nullptr,
       action::ExpectService, false},
      {"expect default", Checked(CheckExpectDefault),
       "  expect default user|machine sdr|hdr NAME|none   the panel's default (the console "
       "user's)\n",
       nullptr, action::ExpectDefault, false},
      {"client", Checked(client::Check),
       "  client state user|machine|both 0|1   a client of DPALCore.dll switches the profiles\n"
       "  client set sdr|hdr NAME              ... makes NAME the panel's default (user, then "
       "machine)\n"
       "  client read sdr|hdr                  ... reads the panel's defaults\n"
       "  client disassociate user|machine sdr|hdr NAME   ... removes NAME from the panel's list\n"
       "  client save NAME                     ... records NAME for the client's account\n"
       "  client wait stop|0|1                 ... waits for the user's update "
       "(tools/core_client.h)\n",
       +[](const Words& w, const PlayState&) { return client::Describe(w); }, action::Client, true},
      {"install-profile", Checked(CheckInstallProfile),
       "  install-profile NAME       an update of the profiles installs NAME (QXLCD_....icm) in "
       "the\n"
       "                             colour directory and enters it in the catalogue\n",
       +[](const Words& w, const PlayState&) {
         return "an update of the profiles installs " + w[1];
       },
       action::InstallProfile, true},
      {"tool", Any(),  // any command line, the account word included
       "  tool [user|system] ARGS... SetDPALProfile.exe with ARGS, as the console user (default) "
       "or as\n"
       "                             LocalSystem in the console session, e.g. tool system "
       "/baseverify 1\n"
       "                             NEW BASE; the timeline shows its exit code and the defaults "
       "changed\n",
       +[](const Words& w, const PlayState&) {
         const bool system = w.size() > 1 && w[1] == "system";
         return std::string(system ? "a program running as LocalSystem in the console session"
                                   : "the console user") +
                " runs the profile-setting tool";
       },
       action::Tool, true},
      {"expect tool", Checked(CheckExpectTool),
       "  expect tool N              the exit code of the last tool run\n", nullptr,
       action::ExpectTool, false},
      {"uninstall", OneOf({"device-removal", "final-cleanup"}),
       "  uninstall device-removal   the uninstaller's device-removal run, as an administrator "
       "starts it\n"
       "  uninstall final-cleanup    its final-cleanup run, as the uninstall task starts it "
       "(LocalSystem,\n"
       "                             -checkremoval); the timeline shows the gates, each step with "
       "its\n"
       "                             result, the exit code and what the run changed on the "
       "machine\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "device-removal"
                    ? "an administrator runs the uninstaller: the device-removal run"
                    : "the uninstall task runs the uninstaller as LocalSystem: the final-cleanup "
                      "run";
       },
       action::Uninstall, true},
      {"expect uninstall", Checked(CheckExpectUninstall),
       "  expect uninstall N         the exit code of the last uninstall run\n", nullptr,
       action::ExpectUninstall, false},
      {"installer", OneOf({"withdraw-owner", "remove"}),
       "  installer withdraw-owner   the outside installer takes its owner out of Owners\n"
       "  installer remove           ... removes the service's files and registration (the "
       "service key\n"
       "                             with the settings and the catalogue goes with it)\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "remove" ? "the outside installer removes the service and its files"
                                 : "the outside installer withdraws its owner from Owners";
       },
       action::Installer, true},
      {"summary", None(),
       "  summary                    what the package left: the machine's difference from "
       "before the\n"
       "                             install, removed, added and changed items\n",
       DESCRIBE("what the package left: the difference from before the install"), action::Summary,
       false},
      {"expect leftovers", Checked(CheckExpectLeftovers),
       "  expect leftovers N         N items differ from the machine before the install\n", nullptr,
       action::ExpectLeftovers, false},
      {"doctor", None(),
       "  doctor                     DPALDoctor's report (read only): each check with ok, problem "
       "or\n"
       "                             not applicable, what it saw, and the verdict\n",
       DESCRIBE("a management agent (LocalSystem) runs the doctor, which only reads"),
       action::Doctor, true},
      {"expect doctor", Checked(CheckExpectDoctor),
       "  expect doctor ok|problem NAME   the doctor's verdict ok, or a problem found by its "
       "check NAME\n",
       nullptr, action::ExpectDoctor, false},
  };
}

#undef DESCRIBE

const Command* FindNamed(const std::string& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// The commands of the group `word` ("expect"), by their own word: "launches, ... or leftovers".
std::string GroupList(const std::string& word) {
  const std::string prefix = word + " ";
  std::vector<std::string> members;
  for (const Command& command : Commands()) {
    const std::string name = command.name;
    if (name.compare(0, prefix.size(), prefix) == 0) members.push_back(name.substr(prefix.size()));
  }
  std::string list;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) list += i + 1 == members.size() ? " or " : ", ";
    list += members[i];
  }
  return list;
}

std::string CheckArguments(const Command& command, const Words& w) {
  const Arguments& arguments = command.arguments;
  const size_t args = w.size() - 1;
  switch (arguments.kind) {
    case Arguments::Kind::None: return args == 0 ? "" : "'" + w[0] + "' takes no arguments";
    case Arguments::Kind::Any: return "";
    case Arguments::Kind::OneOf: {
      std::vector<std::string> sorted = arguments.choices;
      std::sort(sorted.begin(), sorted.end());
      std::string list;
      for (const std::string& choice : sorted) list += (list.empty() ? "" : "|") + choice;
      const bool chosen =
          args == 1 && std::find(sorted.begin(), sorted.end(), w[1]) != sorted.end();
      return chosen ? "" : "'" + w[0] + "' takes one of " + list;
    }
    case Arguments::Kind::Checked: return arguments.check(w);
  }
  return "";
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> table = MakeTable();
  return table;
}

const Command* Find(const Words& words) {
  if (words.size() > 1) {
    if (const Command* command = FindNamed(words[0] + " " + words[1])) return command;
  }
  return FindNamed(words[0]);
}

std::string Check(const Words& w) {
  const std::string& word = w[0];
  const std::string group = GroupList(word);
  if (!group.empty()) {
    const std::string takes = "'" + word + "' takes " + group;
    if (w.size() == 1) return takes;
    const Command* command = FindNamed(word + " " + w[1]);
    if (command == nullptr) return takes + ", not '" + w[1] + "'";
    return CheckArguments(*command, w);
  }
  const Command* command = FindNamed(word);
  if (command == nullptr)
    return "unknown command '" + word + "' (dpal-sim --help lists the commands)";
  return CheckArguments(*command, w);
}

const char* CommandSummary() {
  static const std::string summary = [] {
    std::string text =
        "A scenario is one command a line; '#' starts a comment. The laptop starts as the "
        "outside\n"
        "installer leaves it, with an installation pending, the service stopped (automatic "
        "start) and\n"
        "nobody logged on.\n"
        "\n";
    for (const Command& command : Commands()) text += command.help;
    text +=
        "\n"
        "After each command dpal-sim waits (10 s at most) until the service has finished what "
        "the\n"
        "command set off. uninstall, installer and boot show what they changed on the machine. "
        "tools/scenario.h describes the format in full; tools/scenarios/ has examples.\n";
    return text;
  }();
  return summary.c_str();
}

}  // namespace dpal::scenario
