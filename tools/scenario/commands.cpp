#include "tools/scenario/commands.h"

#include <algorithm>
#include <optional>

#include "common/registry_layout.h"
#include "harness/installer.h"
#include "harness/laptop.h"
#include "loader/shared/device_lookup.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "setprofile/tool.h"
#include "tools/core_client.h"
#include "tools/scenario/machine.h"
#include "tools/scenario/player.h"
#include "tools/scenario/text.h"
#include "tools/scenario/uninstall_run.h"
#include "uninstaller/flow.h"

namespace dpal::scenario {

namespace {

namespace layout = dpal::layout;

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

// ----- The machine --------------------------------------------------------------------------

void Firmware(PlayState&, const Step& step, Wanted&) {
  Key(layout::kBiosKey).String(layout::kBiosVersionValue, Widen(step.words[1]));
}

void Prefixes(PlayState&, const Step& step, Wanted&) {
  const Words& w = step.words;
  std::vector<std::wstring> prefixes;
  for (size_t i = 1; i < w.size(); ++i) prefixes.push_back(Widen(w[i]));
  Key(layout::kSettingsKey).MultiString(layout::kSupportedBiosPrefixValue, prefixes);
}

void Device(PlayState& play, const Step& step, Wanted&) {
  Quiet quiet(play.tracker());
  if (step.words[1] == "present") {
    sim::Device device;
    device.instance_id = laptop::kDeviceInstance;
    device.hardware_ids = {kSoftwareDeviceHardwareId};
    device.driver_inf = laptop::kDriverInf;
    sim::AddDevice(device);
  } else {
    sim::RemoveDevice(laptop::kDeviceInstance);
  }
}

void Install(PlayState&, const Step& step, Wanted&) {
  const std::string& what = step.words[1];
  if (what == "none") {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kInstallStateKey);
  } else {
    Key(layout::kInstallStateKey).Dword(layout::kStateValue, what == "pending" ? 0 : 1);
  }
}

void State(PlayState&, const Step& step, Wanted&) {
  // An armed watch is woken by the write itself: from then on it is not blocked (its event is
  // set) until it has handled the change and waits again.
  Key(layout::kMachineApplyStateKey).Dword(layout::kStateValue, *Number(step.words[1]));
}

void AlterProfile(PlayState& play, const Step&, Wanted&) {
  Quiet quiet(play.tracker());
  const laptop::Profile& profile = laptop::Profiles()[0];
  std::vector<uint8_t> bytes;
  if (sim::GetFile(laptop::ProfilePath(profile), &bytes) && !bytes.empty()) {
    bytes.back() ^= 0x01;
    sim::PutFile(laptop::ProfilePath(profile), bytes);
    play.timeline.Note("file", Narrow(profile.entry_name) + ".icm altered");
  } else {
    play.timeline.Note("file", Narrow(profile.entry_name) + ".icm is missing; nothing changed");
  }
}

void Program(PlayState& play, const Step& step, Wanted&) {
  Quiet quiet(play.tracker());
  if (step.words[1] == "signed") {
    sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("TarvexDPALProfile stand-in"));
    sim::SignFile(laptop::kProfileProgram, laptop::Publisher());
  } else {
    sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("TarvexDPALProfile, unsigned copy"));
  }
}

void Displays(PlayState& play, const Step& step, Wanted&) {
  Quiet quiet(play.tracker());
  const std::string& what = step.words[1];
  sim::LaptopDisplayOptions options;
  if (what == "extended") options.external = sim::ExternalMonitor::Extended;
  if (what == "external-primary") options.external = sim::ExternalMonitor::Primary;
  if (what == "cloned") options.external = sim::ExternalMonitor::Cloned;
  if (what == "lid-closed") {
    options.external = sim::ExternalMonitor::Extended;
    options.lid_closed = true;
  }
  sim::SetDisplays(sim::LaptopDisplays(options));
}

// ----- The service control manager ----------------------------------------------------------

void Boot(PlayState& play, const Step&, Wanted&) {
  const std::wstring& service = laptop::kServiceName;
  Timeline& timeline = play.timeline;
  DWORD state = 0;
  DWORD start_type = 0;
  {
    Quiet quiet(play.tracker());
    state = sim::ServiceStatusNow(service).dwCurrentState;
    start_type = sim::ServiceStartType(service);
    // What the restart does to files shows: the deletions recorded for it, say.
    play.command_before = sim::TakeSnapshot();
    play.shown_parts = {"files"};
  }
  const bool registered = start_type != SERVICE_NO_CHANGE;
  if (registered && state != SERVICE_STOPPED) {
    timeline.Note("machine", "the shutdown ends the service's process");
  }
  for (const std::string& path : PendingDeletions(play.tracker())) {
    timeline.Note("machine", "the restart deletes " + path + ", as recorded for it");
  }
  if (!registered) {
    timeline.Note("scm", "no service to start: the package's service is not registered");
  } else if (start_type == SERVICE_AUTO_START) {
    timeline.Note("scm", "starts the service (automatic start)");
  } else {
    timeline.Note("scm", "leaves the service alone (start type " + StartTypeName(start_type) + ")");
  }
  {
    Quiet quiet(play.tracker());
    sim::Restart();
  }
  play.users.clear();
  play.console = 1;
  Quiet quiet(play.tracker());
  const SERVICE_STATUS_PROCESS status = sim::ServiceStatusNow(service);
  if (start_type == SERVICE_AUTO_START && status.dwCurrentState == SERVICE_STOPPED &&
      status.dwWin32ExitCode != NO_ERROR) {
    timeline.Note("scm", "start failed: " + ErrorName(status.dwWin32ExitCode));
  }
}

void Start(PlayState& play, const Step&, Wanted&) {
  const DWORD error = sim::StartServiceAsScm(laptop::kServiceName);
  if (error != NO_ERROR) play.timeline.Note("scm", "start failed: " + ErrorName(error));
}

void Stop(PlayState& play, const Step&, Wanted& wanted) {
  const DWORD error = sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP);
  if (error != NO_ERROR) play.timeline.Note("scm", "stop refused: " + ErrorName(error));
  wanted.no_work = true;
}

void Control(PlayState& play, const Step& step, Wanted&) {
  const DWORD error = sim::SendServiceControl(laptop::kServiceName, *Number(step.words[1]));
  if (error != NO_ERROR) play.timeline.Note("scm", "control not delivered: " + ErrorName(error));
}

// ----- Sessions -----------------------------------------------------------------------------

void Logon(PlayState& play, const Step& step, Wanted&) {
  const Words& w = step.words;
  const std::string& user = w[1];
  const DWORD session = w.size() == 4 ? *Number(w[3]) : 1;
  if (play.accounts.count(user) == 0) {
    play.accounts[user] = 1001 + static_cast<int>(play.accounts.size());
  }
  const std::wstring sid = L"S-1-5-21-1000-1000-1000-" + std::to_wstring(play.accounts[user]);
  {
    Quiet quiet(play.tracker());
    if (session != play.console && play.users.count(play.console) != 0) {
      sim::SetSessionState(play.console, WTSDisconnected);  // switched away, still logged on
    }
    play.console = session;
    sim::SetConsoleSession(session);
    sim::LogOn(session, sid, Widen(user));
    play.users[session] = user;
  }
  const DWORD error = sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, session);
  if (error != NO_ERROR) play.timeline.Note("scm", "the service is not told: " + ErrorName(error));
}

void Logoff(PlayState& play, const Step&, Wanted&) {
  auto it = play.users.find(play.console);
  if (it == play.users.end()) return;
  {
    Quiet quiet(play.tracker());
    sim::LogOff(play.console);
    play.users.erase(it);
  }
  const DWORD error =
      sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGOFF, play.console);
  if (error != NO_ERROR) play.timeline.Note("scm", "the service is not told: " + ErrorName(error));
}

// ----- Checks -------------------------------------------------------------------------------

void Report(PlayState& play, const Step& step, bool ok, const std::string& seen) {
  ++play.checks;
  if (!ok) ++play.failed_checks;
  play.timeline.Print(Clock::now(), step.text, ok ? "ok" : "FAILED: " + seen);
}

void ExpectLaunches(PlayState& play, const Step& step, Wanted&) {
  const Words& w = step.words;
  Quiet quiet(play.tracker());
  std::vector<std::string> switches;
  const std::vector<sim::Launch> launches = sim::Launches();
  for (size_t i = play.launches_checked; i < launches.size(); ++i) {
    if (!IsRunnersProgram(launches[i])) switches.push_back(Narrow(laptop::SwitchOf(launches[i])));
  }
  play.launches_checked = launches.size();
  std::vector<std::string> expected(w.begin() + 2, w.end());
  if (expected == std::vector<std::string>{"none"}) expected.clear();
  Report(play, step, switches == expected, switches.empty() ? "none" : Join(switches));
}

// A check of one value against the command's third word.
template <std::string (*Seen)(PlayState&)>
void ExpectValue(PlayState& play, const Step& step, Wanted&) {
  std::string seen;
  {
    Quiet quiet(play.tracker());
    seen = Seen(play);
  }
  Report(play, step, seen == step.words[2], seen);
}

std::string SeenInstallState(PlayState& play) {
  return Optional(ReadState(play.tracker(), layout::kInstallStateKey));
}

std::string SeenStartType(PlayState&) {
  return StartTypeName(sim::ServiceStartType(laptop::kServiceName));
}

std::string SeenService(PlayState&) {
  const DWORD state = sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState;
  return state == SERVICE_RUNNING   ? "running"
         : state == SERVICE_STOPPED ? "stopped"
                                    : StateName(state);
}

std::string SeenTool(PlayState& play) {
  return play.tool_exit ? std::to_string(*play.tool_exit) : "no run";
}

std::string SeenUninstall(PlayState& play) {
  return play.uninstall_exit ? std::to_string(*play.uninstall_exit) : "no run";
}

std::string SeenLeftovers(PlayState& play) {
  return std::to_string(play.Leftovers().Changes().size());
}

void ExpectDefault(PlayState& play, const Step& step, Wanted&) {
  const Words& w = step.words;
  Quiet quiet(play.tracker());
  const std::wstring sid = w[2] == "user" ? play.ConsoleUserSid() : L"";
  const DWORD subtype =
      w[3] == "hdr" ? sim::kExtendedDisplayColourMode : sim::kStandardDisplayColourMode;
  const std::wstring name = sid.empty() && w[2] == "user"
                                ? L""
                                : sim::DefaultColourProfile(sid, sim::kPanelDeviceKey, subtype);
  const std::string seen = name.empty() ? "none" : Narrow(name);
  Report(play, step, seen == w[4], seen);
}

// ----- The core library's client and the profile-setting tool --------------------------------

void Client(PlayState& play, const Step& step, Wanted&) {
  // As for "state", a write of the machine's apply state wakes the watch by itself.
  const size_t order = play.tracker().LogSize();
  for (const client::Line& line : client::Run(step.words, play.console)) {
    play.timeline.Note(Event{order, Clock::now(), line.kind, line.text});
  }
}

// Runs SetDPALProfile.exe as a program of its own: its logic against the machine, with the
// command line it was given, under the console user's account or LocalSystem's.
void Tool(PlayState& play, const Step& step, Wanted&) {
  const Words& w = step.words;
  const bool system = w.size() > 1 && w[1] == "system";
  const bool named = w.size() > 1 && (system || w[1] == "user");
  std::wstring arguments;
  for (size_t i = named ? 2 : 1; i < w.size(); ++i) arguments += L" " + Widen(w[i]);
  sim::Identity who;
  if (system) {
    who = sim::LocalSystem(laptop::kToolProgram);
  } else {
    auto user = play.users.find(play.console);
    if (user == play.users.end()) {
      play.timeline.Note("tool", "nobody is logged on at the console: the tool is not run");
      return;
    }
    who = sim::StandardUser(play.ConsoleUserSid(), Widen(user->second));
    who.image_path = laptop::kToolProgram;
  }
  who.session_id = play.console;
  const int code = sim::RunProcess(who, L"\"" + laptop::kToolProgram + L"\"" + arguments,
                                   [] { return setprofile::RunToolProcess(); });
  play.tool_exit = code;
  play.timeline.Note("tool", "SetDPALProfile.exe" + Narrow(arguments) + "  (session " +
                                 std::to_string(play.console) + ", account " +
                                 Narrow(who.user_name) + ") -> exit code " + std::to_string(code));
}

void InstallProfile(PlayState& play, const Step& step, Wanted&) {
  Quiet quiet(play.tracker());
  // The update installs the profile and enters it in the catalogue, with the display colour
  // mode its name ends in ("_S" standard, "_H" advanced) and its digest.
  const std::wstring file = Widen(step.words[1]);
  sim::InstallColourProfile(file);
  laptop::Profile profile;
  profile.entry_name = file.substr(0, file.size() - 4);
  const std::wstring mode = profile.entry_name.substr(profile.entry_name.size() - 2);
  profile.type = mode == L"_S" ? 1 : mode == L"_H" ? 2 : 0;
  if (sim::GetFile(laptop::ProfilePath(profile), &profile.bytes)) laptop::AddToCatalogue(profile);
}

// ----- The uninstall ------------------------------------------------------------------------

// One of the uninstaller's runs, as the outside installer starts it. A final-cleanup run shows
// its gates first (as the runner reads them: the software device, the owners).
void Uninstall(PlayState& play, const Step& step, Wanted& wanted) {
  Timeline& timeline = play.timeline;
  const bool final_cleanup = step.words[1] == "final-cleanup";
  {
    Quiet quiet(play.tracker());
    play.command_before = sim::TakeSnapshot();
    play.shown_parts.clear();
    if (final_cleanup) {
      CSoftwareDeviceLookup device(kSoftwareDeviceHardwareId);
      const bool present = device.found();
      device.ReleaseDeviceLookup();
      const bool no_owners = uninstaller::HasNoOwners();
      std::string owners;
      if (!no_owners) {
        for (const std::wstring& owner :
             ReadMultiStringValue(layout::kServiceKey, layout::kOwnersValue)) {
          owners += (owners.empty() ? "" : ", ") + Narrow(owner);
        }
      }
      timeline.Note(
          "uninstall",
          std::string("gates: ") +
              (present ? "the software device is present" : "the software device is gone") + ", " +
              (no_owners ? "no owner registered" : "owner registered: " + owners) +
              (present || !no_owners ? " -> the run removes nothing" : " -> the cleanup runs"));
    }
  }
  timeline.Note("uninstall", final_cleanup
                                 ? "TarvexDPALUninstaller.exe -checkremoval  (account SYSTEM)"
                                 : "TarvexDPALUninstaller.exe  (account " +
                                       Narrow(installer::kAdministratorName) + ", elevated)");
  std::vector<Event> steps;
  const int code = RunUninstallerNoted(final_cleanup, play.tracker(), &steps);
  for (Event& event : steps) timeline.Note(std::move(event));
  play.uninstall_exit = code;
  // The run's image moves out of the install directory and waits for the restart to go.
  for (const std::string& path : PendingDeletions(play.tracker())) {
    if (!play.command_before->Holds("files", path) && path.find("\\ufn.") != std::string::npos) {
      timeline.Note("uninstall", "the image moved to " + path + ", to be deleted at the restart");
    }
  }
  timeline.Note("uninstall", "exit code " + std::to_string(code));
  // A run that stopped the service waits for its work runs to end, as a stop does.
  Quiet quiet(play.tracker());
  if (sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState == SERVICE_STOPPED) {
    wanted.no_work = true;
  }
}

// The outside installer's own steps at uninstall.
void Installer(PlayState& play, const Step& step, Wanted& wanted) {
  {
    Quiet quiet(play.tracker());
    play.command_before = sim::TakeSnapshot();
  }
  play.shown_parts.clear();
  if (step.words[1] == "withdraw-owner") {
    installer::WithdrawOwner();
  } else {
    installer::RemovePackage();
    // The removal stops a running service first.
    wanted.no_work = true;
  }
}

void Summary(PlayState& play, const Step&, Wanted&) { play.timeline.ShowSummary(play.Leftovers()); }

// ----- The table ----------------------------------------------------------------------------

// A description that does not depend on the words.
#define DESCRIBE(text) +[](const Words&, const PlayState&) -> std::string { return text; }

std::vector<Command> MakeTable() {
  return {
      {"firmware", Checked(CheckFirmware),
       "  firmware TEXT              the firmware version text (default ABCDE12X)\n",
       +[](const Words& w, const PlayState&) { return "BIOSVersion becomes \"" + w[1] + "\""; },
       Firmware, true},
      {"prefixes", Checked(CheckPrefixes),
       "  prefixes P...              the supported firmware prefixes (default ABC)\n",
       +[](const Words& w, const PlayState&) {
         return "SupportedBIOSPrefix becomes " + Join(w, 1);
       },
       Prefixes, true},
      {"device", OneOf({"present", "absent"}), "  device present|absent      the software device\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "present" ? "the software device is present"
                                  : "the software device is removed";
       },
       Device, true},
      {"install", OneOf({"pending", "done", "none"}),
       "  install pending|done|none  the install state: 0, 1, or no install-state key\n",
       +[](const Words& w, const PlayState&) -> std::string {
         if (w[1] == "none") return "the install-state key is removed";
         return w[1] == "pending" ? "an installation is wanted (State 0)"
                                  : "the installation is done (State 1)";
       },
       Install, true},
      {"state", Checked(CheckState),
       "  state N                    the machine apply state, as the core library writes it\n",
       +[](const Words& w, const PlayState&) -> std::string {
         if (w[1] == "1") return "a client switches the profiles on for the machine";
         if (w[1] == "0") return "a client switches the profiles off for the machine";
         return "a client sets the machine apply state to " + w[1];
       },
       State, true},
      {"alter-profile", None(), "  alter-profile              changes one byte of a profile file\n",
       DESCRIBE("one byte of a profile file changes"), AlterProfile, true},
      {"program", OneOf({"signed", "unsigned"}),
       "  program signed|unsigned    the per-user program passes or fails the integrity check\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "signed" ? "the per-user program is the publisher's signed one"
                                 : "the per-user program is replaced by an unsigned copy";
       },
       Program, true},
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
       Displays, true},
      {"boot", None(),
       "  boot                       restart: users logged off, service started if automatic\n",
       DESCRIBE("restart: users logged off, the console at the logon screen"), Boot, true},
      {"start", None(), "  start | stop               the SCM starts or stops the service\n",
       DESCRIBE("the SCM starts the service"), Start, true},
      {"stop", None(), "",  // on the line of "start"
       DESCRIBE("the SCM asks the service to stop"), Stop, true},
      {"control", Checked(CheckControl),
       "  control N                  the SCM sends user control code N (128..255)\n",
       +[](const Words& w, const PlayState&) {
         return "the SCM sends the user control code " + w[1];
       },
       Control, true},
      {"logon", Checked(CheckLogon),
       "  logon NAME [session N]     NAME logs on at the console (session 1 by default)\n",
       +[](const Words& w, const PlayState&) {
         const std::string session = w.size() == 4 ? w[3] : "1";
         return w[1] + " logs on in session " + session + " at the console";
       },
       Logon, true},
      {"logoff", None(), "  logoff                     the console user logs off\n",
       +[](const Words&, const PlayState& play) -> std::string {
         auto it = play.users.find(play.console);
         return it == play.users.end()
                    ? "nobody is logged on at the console; nothing happens"
                    : it->second + " logs off session " + std::to_string(play.console) +
                          "; the logon screen shows";
       },
       Logoff, true},
      {"expect launches", Checked(CheckExpectLaunches),
       "  expect launches SWITCH...|none       launches since the last such check\n", nullptr,
       ExpectLaunches, false},
      {"expect install-state", Checked(CheckExpectInstallState), "  expect install-state N|none\n",
       nullptr, ExpectValue<SeenInstallState>, false},
      {"expect start-type", Checked(CheckExpectStartType),
       "  expect start-type auto|demand|disabled\n", nullptr, ExpectValue<SeenStartType>, false},
      {"expect service", Checked(CheckExpectService), "  expect service running|stopped\n", nullptr,
       ExpectValue<SeenService>, false},
      {"expect default", Checked(CheckExpectDefault),
       "  expect default user|machine sdr|hdr NAME|none   the panel's default (the console "
       "user's)\n",
       nullptr, ExpectDefault, false},
      {"client", Checked(client::Check),
       "  client state user|machine|both 0|1   a client of DPALCore.dll switches the profiles\n"
       "  client set sdr|hdr NAME              ... makes NAME the panel's default (user, then "
       "machine)\n"
       "  client read sdr|hdr                  ... reads the panel's defaults\n"
       "  client disassociate user|machine sdr|hdr NAME   ... removes NAME from the panel's list\n"
       "  client save NAME                     ... records NAME for the client's account\n"
       "  client wait stop|0|1                 ... waits for the user's update "
       "(tools/core_client.h)\n",
       +[](const Words& w, const PlayState&) { return client::Describe(w); }, Client, true},
      {"install-profile", Checked(CheckInstallProfile),
       "  install-profile NAME       an update of the profiles installs NAME (QXLCD_....icm) in "
       "the\n"
       "                             colour directory and enters it in the catalogue\n",
       +[](const Words& w, const PlayState&) {
         return "an update of the profiles installs " + w[1];
       },
       InstallProfile, true},
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
       Tool, true},
      {"expect tool", Checked(CheckExpectTool),
       "  expect tool N              the exit code of the last tool run\n", nullptr,
       ExpectValue<SeenTool>, false},
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
       Uninstall, true},
      {"expect uninstall", Checked(CheckExpectUninstall),
       "  expect uninstall N         the exit code of the last uninstall run\n", nullptr,
       ExpectValue<SeenUninstall>, false},
      {"installer", OneOf({"withdraw-owner", "remove"}),
       "  installer withdraw-owner   the outside installer takes its owner out of Owners\n"
       "  installer remove           ... removes the service's files and registration (the "
       "service key\n"
       "                             with the settings and the catalogue goes with it)\n",
       +[](const Words& w, const PlayState&) -> std::string {
         return w[1] == "remove" ? "the outside installer removes the service and its files"
                                 : "the outside installer withdraws its owner from Owners";
       },
       Installer, true},
      {"summary", None(),
       "  summary                    what the package left: the machine's difference from "
       "before the\n"
       "                             install, removed, added and changed items\n",
       DESCRIBE("what the package left: the difference from before the install"), Summary, false},
      {"expect leftovers", Checked(CheckExpectLeftovers),
       "  expect leftovers N         N items differ from the machine before the install\n", nullptr,
       ExpectValue<SeenLeftovers>, false},
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
