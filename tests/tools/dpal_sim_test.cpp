// The scenario runner plays the built-in day and scenario files through the real service on the
// simulated laptop: what it launched, what it printed, and how it ends.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/platform_test.h"
#include "tools/laptop.h"
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
            "day complete: 7 launches, 11 status reports, install state 1, start type demand")
      << day.output;

  // The service's launches of the per-user program; the tool's runs are the runner's own.
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

  std::vector<DWORD> states;
  for (const SERVICE_STATUS& report : sim::ServiceStatusReports(laptop::kServiceName)) {
    states.push_back(report.dwCurrentState);
  }
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,  // boot
                                        SERVICE_STOP_PENDING, SERVICE_STOPPED,   // restart
                                        SERVICE_START_PENDING, SERVICE_RUNNING,  //
                                        SERVICE_STOP_PENDING, SERVICE_STOPPED,   // evening
                                        SERVICE_START_PENDING, SERVICE_RUNNING,
                                        SERVICE_STOPPED}));  // firmware

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

  // What the machine holds afterwards (the tool replaced the standard profile later in the
  // day), and that the client let go of the library.
  EXPECT_EQ(sim::DefaultColourProfile(L"", sim::kPanelDeviceKey, sim::kStandardDisplayColourMode),
            L"QXLCD_Panel_V4_S.icm");
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

  int runs = 0;
  for (const sim::Launch& launch : sim::Launches()) {
    if (launch.function != "RunProcess") continue;
    ++runs;
    EXPECT_EQ(launch.image_path, laptop::kToolProgram);
  }
  EXPECT_EQ(runs, 3);
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
            "auto")
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
            "start type auto");
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
}

}  // namespace
