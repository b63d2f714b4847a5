// The scenario runner plays the built-in day and scenario files through the real service on the
// simulated laptop: what it launched, what it printed, and how it ends.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/platform_test.h"
#include "harness/laptop.h"
#include "tools/scenario.h"

namespace {

namespace laptop = dpal::laptop;
namespace scenario = dpal::scenario;
using Switches = std::vector<std::wstring>;

struct Played {
  int result = -1;
  std::string output;
  std::vector<std::string> lines;
};

Played Play(const std::string& text, const std::string& name, bool trace = false) {
  scenario::Scenario parsed;
  std::string error;
  Played played;
  if (!scenario::Parse(text, name, &parsed, &error)) {
    ADD_FAILURE() << "does not parse: " << error;
    return played;
  }
  std::ostringstream out;
  scenario::PlayOptions options;
  options.trace = trace;
  played.result = scenario::Play(parsed, options, out);
  played.output = out.str();
  std::istringstream in(played.output);
  for (std::string line; std::getline(in, line);) played.lines.push_back(line);
  return played;
}

// The index of the first line at or after `from` that contains `text`, or -1.
int Find(const Played& played, const std::string& text, int from = 0) {
  for (int i = from; i < static_cast<int>(played.lines.size()); ++i) {
    if (played.lines[i].find(text) != std::string::npos) return i;
  }
  return -1;
}

std::string ReadScenario(const std::string& file) {
  std::ifstream in(std::string(DPAL_SCENARIO_DIR) + "/" + file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DpalSim, TheBuiltInDayLaunchesEachCommandWhereItBelongs) {
  const Played day = Play(scenario::BuiltInDay(), "day");
  ASSERT_EQ(day.result, scenario::kCompleted) << day.output;
  ASSERT_FALSE(day.lines.empty());
  EXPECT_EQ(day.lines.back(),
            "day complete: 7 launches, 11 status reports, install state none, the service "
            "removed, 8 items differ from before the install")
      << day.output;

  // The service's launches of the per-user program; the tool's and the uninstaller's runs are
  // the runner's own.
  std::vector<sim::Launch> launches;
  Switches switches;
  for (const sim::Launch& launch : sim::Launches()) {
    if (launch.function == "RunProcess") continue;
    launches.push_back(launch);
    switches.push_back(laptop::SwitchOf(launch));
  }
  EXPECT_EQ(switches, (Switches{L"/i", L"/verifyprofile", L"/rs", L"/ss", L"/su", L"/ss", L"/r"}));
  ASSERT_EQ(launches.size(), 7u);
  EXPECT_EQ(launches[0].session_id, 1u) << "alice's logon, at the console in session 1";
  for (size_t i = 1; i < launches.size(); ++i) {
    EXPECT_EQ(launches[i].session_id, 2u) << "after bob switched in: launch " << i;
  }
  for (const sim::Launch& launch : launches) EXPECT_EQ(launch.user_name, L"SYSTEM");

  // The service's reports went with its registration at the end of the day; the timeline shows
  // them in order.
  EXPECT_FALSE(sim::ServiceExists(laptop::kServiceName));
  std::vector<std::string> states;
  for (const std::string& line : day.lines) {
    const size_t at = line.find("    status      ");
    if (at != std::string::npos) states.push_back(line.substr(at + 16));
  }
  EXPECT_EQ(states, (std::vector<std::string>{"START_PENDING", "RUNNING",                // boot
                                              "STOP_PENDING", "STOPPED",                 // restart
                                              "START_PENDING", "RUNNING",                //
                                              "STOP_PENDING", "STOPPED",                 // evening
                                              "START_PENDING", "RUNNING", "STOPPED"}));  // firmware

  // The timeline puts each effect under the command that caused it.
  const int logon = Find(day, "logon alice");
  const int install = Find(day, "TarvexDPALProfile.exe /i  (session 1, account SYSTEM)", logon);
  const int done = Find(day, "install state: 0 -> 1", install);
  const int logoff = Find(day, "logoff");
  EXPECT_GT(logon, 0);
  EXPECT_GT(install, logon);
  EXPECT_GT(done, install);
  EXPECT_LT(done, logoff);
  const int firmware = Find(day, "firmware ABCDE1WX");
  EXPECT_GT(Find(day, "start type: auto -> demand", firmware), firmware) << day.output;
  EXPECT_EQ(Find(day, "FAILED"), -1);
}

TEST(DpalSim, TheDaySwitchesAndSetsTheProfilesThroughTheCoreLibrary) {
  const Played day = Play(scenario::BuiltInDay(), "day");
  ASSERT_EQ(day.result, scenario::kCompleted) << day.output;
  // Each export's line comes with what it changed, and the service's reaction follows.
  const int set =
      Find(day, "SetDefaultColorProfileToPrimaryMonitor(1, \"QXLCD_Panel_V3_S.icm\") -> 1");
  EXPECT_GT(set, 0) << day.output;
  EXPECT_EQ(Find(day, "machine sdr default of the panel: none -> QXLCD_Panel_V3_S.icm", set),
            set + 1);
  const int off = Find(day, "SaveCurrentApplyStatus(1, 0) -> 1");
  const int rs = Find(day, "TarvexDPALProfile.exe /rs", off);
  EXPECT_GT(off, set);
  EXPECT_GT(rs, off);
  EXPECT_GT(Find(day, "apply state: 1 -> 0", off), off);
  EXPECT_LT(Find(day, "apply state: 1 -> 0", off), Find(day, "SaveCurrentApplyStatus(1, 1) -> 1"));
  const int user_only = Find(day, "SaveCurrentApplyStatus(2, 0) -> 1");
  EXPECT_GT(Find(day, "user apply state: 1 -> 0", user_only), user_only);
  EXPECT_GT(Find(day, "WaitForUsrUpdate() -> 2 (the user's state changed to 1)"), user_only);
  const int stop = Find(day, "StopWaitForUsrUpdate() -> 1");
  EXPECT_EQ(Find(day, "WaitForUsrUpdate() -> 0", stop), stop + 1);
  EXPECT_GT(Find(day, "DisassociateSystemColorProfile(2, \"QXLCD_Panel_V1_H.icm\") -> 1"), stop);

  // What the machine holds afterwards (the day ends with the uninstall, which takes the
  // profiles off the panel), and that the client let go of the library.
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kPanelDeviceKey, sim::kStandardDisplayColourMode),
            L"");
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kPanelDeviceKey, sim::kExtendedDisplayColourMode),
            L"");
  EXPECT_EQ(sim::ModuleLoadCount(laptop::kCoreLibrary), 0);
}

TEST(DpalSim, TheDayRunsTheToolWhichReplacesTheBaseWhereTheApplyStateAllows) {
  const Played day = Play(scenario::BuiltInDay(), "day");
  ASSERT_EQ(day.result, scenario::kCompleted) << day.output;
  const int verify = Find(day, "tool system /baseverify 1 QXLCD_Panel_V4_S.icm");
  ASSERT_GT(verify, 0) << day.output;
  EXPECT_EQ(Find(day, "(session 2, account SYSTEM) -> exit code 0", verify), verify + 1);
  EXPECT_EQ(Find(day,
                 "machine sdr default of the panel: QXLCD_Panel_V3_S.icm -> "
                 "QXLCD_Panel_V4_S.icm",
                 verify),
            verify + 2);
  // Bob has switched the profiles off: his default stays until he sets it himself.
  const int userset = Find(day, "tool /userset 1 QXLCD_Panel_V4_S.icm", verify);
  const int user_change =
      Find(day, "user sdr default of the panel: QXLCD_Panel_V3_S.icm -> QXLCD_Panel_V4_S.icm");
  EXPECT_GT(user_change, userset);
  EXPECT_EQ(Find(day, "(session 2, account bob) -> exit code 0", userset), userset + 1);
  const int refused = Find(day, "tool /UserSet 1", userset);
  EXPECT_EQ(Find(day, "-> exit code 1", refused), refused + 1);

  // The runner's own programs: the tool's three runs, then the uninstaller's four.
  std::vector<std::wstring> runs;
  for (const sim::Launch& launch : sim::Launches()) {
    if (launch.function == "RunProcess") runs.push_back(launch.image_path);
  }
  const std::wstring uninstaller = laptop::kInstallDirectory + L"\\TarvexDPALUninstaller.exe";
  EXPECT_EQ(runs, (std::vector<std::wstring>{laptop::kToolProgram, laptop::kToolProgram,
                                             laptop::kToolProgram, uninstaller, uninstaller,
                                             uninstaller, uninstaller}));
}

// The end of the day, from the uninstaller's first run to the summary: the lines between a
// command's line and the next command's.
struct Command {
  int at = -1;
  int end = -1;
};

constexpr size_t kTime = 11;  // "   0.062s  "

Command CommandAt(const Played& played, const std::string& text, int from) {
  Command command;
  command.at = Find(played, "s  " + text, from);
  if (command.at < 0) return command;
  command.end = command.at + 1;
  // A command's own lines are indented further than the commands, after the time.
  while (command.end < static_cast<int>(played.lines.size()) &&
         played.lines[command.end].size() > kTime + 2 &&
         played.lines[command.end].compare(kTime, 2, "  ") == 0) {
    ++command.end;
  }
  return command;
}

std::vector<std::string> LinesOf(const Played& played, const Command& command) {
  std::vector<std::string> lines;
  for (int i = command.at + 1; i < command.end; ++i) {
    lines.push_back(played.lines[i].substr(kTime));
  }
  return lines;
}

TEST(DpalSim, TheDayEndsWithTheUninstallInTheOutsideInstallersOrder) {
  const Played day = Play(scenario::BuiltInDay(), "day");
  ASSERT_EQ(day.result, scenario::kCompleted) << day.output;
  using Lines = std::vector<std::string>;

  // While the software device is present, and then while the owner is registered, the final
  // cleanup stops at its gates and changes nothing.
  const Command present = CommandAt(day, "uninstall final-cleanup", 0);
  ASSERT_GT(present.at, 0) << day.output;
  EXPECT_EQ(LinesOf(day, present),
            (Lines{"  uninstall   gates: the software device is present, owner registered: "
                   "TarvexDPALPackage -> the run removes nothing",
                   "  uninstall   TarvexDPALUninstaller.exe -checkremoval  (account SYSTEM)",
                   "  uninstall   exit code 0", "  machine     nothing changed"}));
  const Command removal = CommandAt(day, "uninstall device-removal", present.end);
  EXPECT_EQ(LinesOf(day, removal),
            (Lines{"  uninstall   TarvexDPALUninstaller.exe  (account installer, elevated)",
                   "  uninstall   device and driver package removed: true",
                   "  uninstall   exit code 0", "  removed     devices: SWD\\TARVEX\\DPAL_0001",
                   "  removed     driver packages: oem42.inf",
                   "  removed     files: C:\\Windows\\INF\\oem42.inf"}));
  const Command owner = CommandAt(day, "uninstall final-cleanup", removal.end);
  ASSERT_GT(owner.end, owner.at + 1) << day.output;
  EXPECT_EQ(LinesOf(day, owner)[0],
            "  uninstall   gates: the software device is gone, owner registered: "
            "TarvexDPALPackage -> the run removes nothing");
  EXPECT_EQ(day.lines[owner.end - 1].substr(kTime), "  machine     nothing changed");

  // Withdrawn, the owner no longer holds the cleanup back: each step in its order with its
  // result, the image's move, then the changes.
  const Command withdraw = CommandAt(day, "installer withdraw-owner", owner.end);
  EXPECT_EQ(
      LinesOf(day, withdraw),
      Lines{"  changed     registry: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
            "TarvexDPALLoader \"Owners\": REG_MULTI_SZ [\"TarvexDPALPackage\"] -> "
            "REG_MULTI_SZ []"});
  const Command cleanup = CommandAt(day, "uninstall final-cleanup", withdraw.end);
  const Lines lines = LinesOf(day, cleanup);
  ASSERT_GE(lines.size(), 9u) << day.output;
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 9),
            (Lines{"  uninstall   gates: the software device is gone, no owner registered -> the "
                   "cleanup runs",
                   "  uninstall   TarvexDPALUninstaller.exe -checkremoval  (account SYSTEM)",
                   "  uninstall   stop the loader service",
                   "  uninstall   profiles disassociated and uninstalled",
                   "  uninstall   users' hives cleaned: true",
                   "  uninstall   scheduled tasks deleted: true",
                   "  uninstall   installed files deleted: false",
                   "  uninstall   the image moved to C:\\Windows\\Temp\\ufn.000, to be deleted at "
                   "the restart",
                   "  uninstall   exit code 0"}));
  for (const char* change :
       {"  removed     files: C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe",
        "  added       files: C:\\Windows\\Temp\\ufn.000",
        "  added       registry: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session "
        "Manager \"PendingFileRenameOperations\"",
        "  removed     tasks: \\Tarvex\\DPAL\\UninstallTask",
        "  removed     colour: profile QXLCD_Panel_V3_S.icm"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), change), lines.end()) << change;
  }

  // The installer's removal takes the service; the restart deletes the moved image.
  const Command remove = CommandAt(day, "installer remove", cleanup.end);
  ASSERT_GT(remove.end, remove.at + 1) << day.output;
  EXPECT_EQ(LinesOf(day, remove)[0], "  scm         the service is deleted");
  const Command boot = CommandAt(day, "boot", remove.end);
  EXPECT_EQ(
      LinesOf(day, boot),
      (Lines{"  machine     the restart deletes C:\\Windows\\Temp\\ufn.000, as recorded for it",
             "  scm         no service to start: the package's service is not registered",
             "  registry    user apply state: 0 -> none",
             "  removed     files: C:\\Windows\\Temp\\ufn.000"}));
  EXPECT_FALSE(sim::FileExists(L"C:\\Windows\\Temp\\ufn.000"));

  // The summary: a count, then the items grouped as removed, added, changed.
  const Command summary = CommandAt(day, "summary", boot.end);
  const Lines left = LinesOf(day, summary);
  ASSERT_EQ(left.size(), 9u) << day.output;
  EXPECT_EQ(left[0], "  machine     8 items differ from before the install");
  size_t group = 0;
  for (size_t i = 1; i < left.size(); ++i) {
    const std::string kind = left[i].substr(2, 7);
    const size_t at = kind == "removed" ? 0 : kind == "added  " ? 1 : 2;
    EXPECT_LE(group, at) << left[i];
    group = at;
  }
  for (const char* item :
       {"  added       tasks: \\Tarvex", "  added       files: C:\\Program Files\\Tarvex",
        "  added       registry: HKEY_USERS\\.DEFAULT\\SOFTWARE\\Tarvex\\DPAL\\State "
        "\"State\""}) {
    EXPECT_NE(std::find(left.begin(), left.end(), item), left.end()) << item;
  }
}

TEST(DpalSim, TheFinalCleanupStopsARunningServiceBeforeItRemovesTheProfiles) {
  const Played played = Play(
      "boot\n"
      "expect service running\n"
      "uninstall device-removal\n"
      "expect service running\n"
      "installer withdraw-owner\n"
      "uninstall final-cleanup\n"
      "expect uninstall 0\n"
      "expect service stopped\n",
      "early");
  ASSERT_EQ(played.result, scenario::kCompleted) << played.output;
  const int stop = Find(played, "uninstall   stop the loader service");
  ASSERT_GT(stop, 0) << played.output;
  EXPECT_EQ(Find(played, "status      STOP_PENDING", stop), stop + 1);
  EXPECT_EQ(Find(played, "status      STOPPED", stop), stop + 2);
  EXPECT_EQ(Find(played, "uninstall   profiles disassociated and uninstalled", stop), stop + 3);
}

TEST(DpalSim, TheUninstallChecksCompareTheLastRunAndTheLeftovers) {
  const Played played = Play(
      "expect uninstall 0\n"
      "expect leftovers 0\n"
      "uninstall device-removal\n"
      "expect uninstall 0\n"
      "expect leftovers 34\n"
      "summary\n",
      "checks");
  EXPECT_EQ(played.result, scenario::kFailed);
  EXPECT_GT(Find(played, "expect uninstall 0               FAILED: no run"), 0) << played.output;
  EXPECT_GT(Find(played, "expect leftovers 0               FAILED: 37"), 0);
  EXPECT_GT(Find(played, "expect leftovers 34              ok"), 0);
  const int summary = Find(played, "summary");
  EXPECT_EQ(Find(played, "machine     34 items differ from before the install", summary),
            summary + 1);
  // What the installer added is all there is: nothing was there before to remove or change.
  EXPECT_EQ(Find(played, "    removed     ", summary), -1);
  EXPECT_EQ(Find(played, "    changed     ", summary), -1);
  EXPECT_EQ(played.lines.back(),
            "checks FAILED: 2 of 4 checks not met; 0 launches, 0 status reports, install state 0, "
            "start type auto, 34 items differ from before the install");
}

TEST(DpalSim, WithAnExternalMonitorPrimaryTheClientSetsThatMonitorsDefault) {
  const Played played = Play(ReadScenario("external-monitor.dpal"), "external-monitor");
  ASSERT_EQ(played.result, scenario::kCompleted) << played.output;
  EXPECT_EQ(
      sim::DefaultColourProfile(L"", sim::kExternalDeviceKey, sim::kStandardDisplayColourMode),
      L"QXLCD_Panel_V1_H.icm");
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kPanelDeviceKey, sim::kStandardDisplayColourMode),
            L"QXLCD_Panel_V3_S.icm");
  EXPECT_EQ(laptop::Switches(), (Switches{L"/i", L"/rs"}));
}

TEST(DpalSim, AScenarioFilePlaysAndTracesPlatformCalls) {
  const Played played = Play(ReadScenario("refused-program.dpal"), "refused-program", true);
  ASSERT_EQ(played.result, scenario::kCompleted) << played.output;
  EXPECT_EQ(laptop::Switches(), Switches{L"/i"});
  EXPECT_EQ(played.lines.back(),
            "refused-program complete: 1 launch, 3 status reports, install state 1, start type "
            "auto, 43 items differ from before the install")
      << played.output;
  // With the trace, the launch follows the call that made it.
  const int create = Find(played, "CreateProcessAsUserW(");
  const int launch = Find(played, "launch      TarvexDPALProfile.exe /i");
  EXPECT_GT(create, 0) << played.output;
  EXPECT_EQ(launch, create + 1);
  EXPECT_GT(Find(played, "watch] RegNotifyChangeKeyValue("), 0);
}

TEST(DpalSim, ABootWhileTheServiceRunsEndsItsProcessWithoutAStop) {
  const Played played = Play(
      "boot\n"
      "logon alice\n"
      "expect launches /i\n"
      "boot\n"
      "expect service running\n"
      "logon alice\n"
      "expect launches /verifyprofile\n",
      "reboot");
  ASSERT_EQ(played.result, scenario::kCompleted) << played.output;
  std::vector<DWORD> states;
  for (const SERVICE_STATUS& report : sim::ServiceStatusReports(laptop::kServiceName)) {
    states.push_back(report.dwCurrentState);
  }
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,    // first boot
                                        SERVICE_START_PENDING, SERVICE_RUNNING}))  // second
      << "the shutdown sends no stop";
  const int second_boot = Find(played, "boot", Find(played, "expect launches /i"));
  EXPECT_EQ(Find(played, "machine     the shutdown ends the service's process", second_boot),
            second_boot + 1)
      << played.output;
}

TEST(DpalSim, AFailedCheckIsShownAndTheScenarioGoesOn) {
  const Played played = Play(
      "boot\n"
      "logon alice\n"
      "expect launches /verifyprofile   # wrong: the first logon installs\n"
      "expect install-state 1\n"
      "stop\n"
      "expect service running           # wrong as well\n",
      "wrong");
  EXPECT_EQ(played.result, scenario::kFailed);
  EXPECT_GT(Find(played, "FAILED: /i"), 0) << played.output;
  EXPECT_GT(Find(played, "FAILED: stopped"), 0) << played.output;
  EXPECT_EQ(played.lines.back(),
            "wrong FAILED: 2 of 3 checks not met; 1 launch, 4 status reports, install state 1, "
            "start type auto, 39 items differ from before the install");
}

TEST(DpalSim, LinesThatAreNoCommandAreRefusedWithTheirPlace) {
  const struct {
    const char* text;
    const char* error;
  } rows[] = {
      {"boot\nreboot\n", "s:2: unknown command 'reboot'"},
      {"\n# fine\nlogon\n", "s:3: 'logon' takes a user name"},
      {"logon bob session 0\n", "s:1: 'logon' takes a user name"},
      {"state on\n", "s:1: 'state' takes a number"},
      {"control 127\n", "s:1: 'control' takes a user code, 128 to 255"},
      {"device gone\n", "s:1: 'device' takes one of absent|present"},
      {"stop now\n", "s:1: 'stop' takes no arguments"},
      {"expect launches i\n", "s:1: a switch begins with '/': i"},
      {"expect launches none /i\n", "s:1: 'expect launches none' takes nothing more"},
      {"expect weather sunny\n", "s:1: 'expect' takes launches"},
      {"firmware ABC\xc3\xa9\n", "s:1: only printable ASCII"},
      {"client\n", "s:1: 'client' takes state, set, read, disassociate or wait"},
      {"client state user 2\n", "s:1: 'client state' takes user|machine|both 0|1"},
      {"client set rgb x.icm\n", "s:1: 'client set' takes sdr|hdr NAME"},
      {"client wait\n", "s:1: 'client wait' takes stop, 0 or 1"},
      {"displays four\n", "s:1: 'displays' takes one of"},
      {"expect default user sdr\n", "s:1: 'expect default' takes user|machine sdr|hdr NAME|none"},
      {"uninstall\n", "s:1: 'uninstall' takes one of device-removal|final-cleanup"},
      {"uninstall all\n", "s:1: 'uninstall' takes one of device-removal|final-cleanup"},
      {"uninstall final-cleanup now\n", "s:1: 'uninstall' takes one of"},
      {"installer install\n", "s:1: 'installer' takes one of remove|withdraw-owner"},
      {"installer\n", "s:1: 'installer' takes one of remove|withdraw-owner"},
      {"summary all\n", "s:1: 'summary' takes no arguments"},
      {"expect uninstall\n", "s:1: 'expect uninstall' takes an exit code"},
      {"expect uninstall -1\n", "s:1: 'expect uninstall' takes an exit code"},
      {"expect leftovers none\n", "s:1: 'expect leftovers' takes a number of items"},
      {"expect leftovers 1 2\n", "s:1: 'expect leftovers' takes a number of items"},
      {"install done now\n", "s:1: 'install' takes one of done|none|pending"},
  };
  for (const auto& row : rows) {
    scenario::Scenario parsed;
    std::string error;
    EXPECT_FALSE(scenario::Parse(row.text, "s", &parsed, &error)) << row.text;
    EXPECT_EQ(error.rfind(row.error, 0), 0u) << "got: " << error;
  }

  scenario::Scenario parsed;
  std::string error;
  ASSERT_TRUE(scenario::Parse("  logon  bob session 2   # bob switches in\r\n\n# done\n", "s",
                              &parsed, &error))
      << error;
  ASSERT_EQ(parsed.steps.size(), 1u);
  EXPECT_EQ(parsed.steps[0].line, 1);
  EXPECT_EQ(parsed.steps[0].text, "logon bob session 2");

  // The uninstall's commands, each form of them.
  ASSERT_TRUE(
      scenario::Parse("uninstall device-removal\nuninstall final-cleanup\nexpect uninstall 0\n"
                      "installer withdraw-owner\ninstaller remove\nsummary\nexpect leftovers 0\n",
                      "s", &parsed, &error))
      << error;
  EXPECT_EQ(parsed.steps.size(), 7u);
}

}  // namespace
