#include "tools/scenario/actions.h"

#include <optional>
#include <sstream>

#include "common/registry_layout.h"
#include "harness/installer.h"
#include "harness/laptop.h"
#include "loader/shared/device_lookup.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "setprofile/tool.h"
#include "tools/core_client.h"
#include "tools/doctor/doctor.h"
#include "tools/scenario/commands.h"
#include "tools/scenario/machine.h"
#include "tools/scenario/player.h"
#include "tools/scenario/text.h"
#include "tools/scenario/uninstall_run.h"
#include "uninstaller/flow.h"

namespace dpal::scenario::action {

namespace {

namespace layout = dpal::layout;

void Report(PlayState& play, const Step& step, bool ok, const std::string& seen) {
  ++play.checks;
  if (!ok) ++play.failed_checks;
  play.timeline.Print(Clock::now(), step.text, ok ? "ok" : "FAILED: " + seen);
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

}  // namespace

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

void ExpectInstallState(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenInstallState>(play, step, wanted);
}

void ExpectStartType(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenStartType>(play, step, wanted);
}

void ExpectService(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenService>(play, step, wanted);
}

void ExpectTool(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenTool>(play, step, wanted);
}

void ExpectUninstall(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenUninstall>(play, step, wanted);
}

void ExpectLeftovers(PlayState& play, const Step& step, Wanted& wanted) {
  ExpectValue<SeenLeftovers>(play, step, wanted);
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
             ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue)) {
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

// ----- The doctor ---------------------------------------------------------------------------

namespace {

// The doctor's report, as a management agent running as LocalSystem has it made (as LocalSystem
// it reads the console user's token and defaults).
doctor::Report DoctorReport(PlayState& play) {
  Quiet quiet(play.tracker());
  const sim::Identity agent = sim::LocalSystem(L"C:\\Support\\DPALDoctor.exe");
  doctor::Report report;
  sim::RunAs(agent, [&] { report = doctor::Examine(doctor::Options()); });
  return report;
}

}  // namespace

void Doctor(PlayState& play, const Step&, Wanted&) {
  const doctor::Report report = DoctorReport(play);
  std::istringstream lines(doctor::FormatText(report));
  for (std::string line; std::getline(lines, line);) play.timeline.Note("doctor", line);
  play.timeline.Note("doctor", "exit code " + std::to_string(report.ExitCode()));
}

void ExpectDoctor(PlayState& play, const Step& step, Wanted&) {
  const doctor::Report report = DoctorReport(play);
  const Words& w = step.words;
  if (w[2] == "ok") {
    Report(play, step, report.ExitCode() == 0, doctor::Verdict(report));
    return;
  }
  const doctor::Check* check = report.Find(w[3]);
  Report(play, step, check != nullptr && check->outcome == doctor::Outcome::Problem,
         check == nullptr ? "no check " + w[3]
                          : std::string(doctor::OutcomeName(check->outcome)) + ": " + check->value);
}

}  // namespace dpal::scenario::action
