#include "tools/scenario/player.h"

#include <sstream>

#include "common/registry_layout.h"
#include "core/updater.h"
#include "harness/installer.h"
#include "harness/laptop.h"
#include "loader/worker_threads.h"
#include "tools/scenario/commands.h"
#include "tools/scenario/machine.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

PlayState::PlayState(const PlayOptions& play_options, std::ostream& out)
    : options(play_options),
      tracker_(std::make_shared<Tracker>()),
      timeline(*tracker_, play_options.trace, out) {}

std::wstring PlayState::ConsoleUserSid() const {
  auto user = users.find(console);
  if (user == users.end()) return L"";
  return L"S-1-5-21-1000-1000-1000-" + std::to_wstring(accounts.at(user->second));
}

sim::SnapshotDiff PlayState::Leftovers() const { return sim::DifferenceFrom(before_install); }

bool Player::Run(const Step& step) {
  PlayState& play = state_;
  std::ostream& out = play.timeline.out();
  if (!step.heading.empty()) {
    out << "\n";
    for (const std::string& line : step.heading) out << "  " << line << "\n";
  }
  const Command& command = *Find(step.words);  // the parser took only commands of the table
  const std::string description =
      command.describe != nullptr ? command.describe(step.words, play) : "";
  Wanted wanted;
  if (!command.settles) {
    // A check or a report: it shows what it found, and nothing is set off.
    if (command.describe != nullptr) play.timeline.Print(Clock::now(), step.text, description);
    command.run(play, step, wanted);
    return true;
  }

  play.timeline.Print(Clock::now(), step.text, description);
  wanted.watches = LiveWatches(play.tracker());
  command.run(play, step, wanted);
  if (!Settle(play.Settling(), step, wanted, play.ConsoleUserSid())) return false;
  play.Flush();
  if (play.command_before) {
    sim::SnapshotDiff diff;
    {
      Quiet quiet(play.tracker());
      diff = sim::DifferenceFrom(*play.command_before);
    }
    // A restart that changed no file says nothing of them.
    if (!play.shown_parts.empty()) diff = diff.Only(play.shown_parts);
    if (play.shown_parts.empty() || !diff.Empty()) play.timeline.ShowDifference(diff);
    play.command_before.reset();
  }
  return true;
}

int Player::Play() {
  PlayState& play = state_;
  Tracker& tracker = play.tracker();
  std::ostream& out = play.timeline.out();
  sim::Reset();
  // A new machine: the core library's client begins as a new process, without an updater.
  core::ForgetUpdaterForTesting();
  // The machine before anything of the package is there, the laptop itself freshly booted: the
  // summary's reference.
  {
    Quiet quiet(tracker);
    laptop::SetUpMachine();
    sim::Restart();
  }
  play.before_install = sim::TakeSnapshot();
  play.workers_before = WorkerThreads::RunningInProcessForTesting();
  const Clock::time_point origin = Clock::now();
  tracker.Begin(origin);
  tracker.Attach();

  installer::InstallPackage();
  laptop::InstallStandIn();
  {
    Quiet quiet(tracker);
    sim::LogOff(1);  // the console shows the logon screen
    sim::SetConsoleSession(1);
  }
  const std::optional<DWORD> install_state = ReadState(tracker, layout::kInstallStateKey);
  const std::optional<DWORD> apply_state = ReadState(tracker, layout::kMachineApplyStateKey);
  size_t installed = 0;
  DWORD start_type = 0;
  {
    Quiet quiet(tracker);
    start_type = sim::ServiceStartType(laptop::kServiceName);
    installed = play.Leftovers().Changes().size();
  }
  play.timeline.Start(install_state, apply_state, start_type);

  out << "dpal-sim: " << scenario_.name
      << (scenario_.origin.empty() ? "" : " (" + scenario_.origin + ")") << "\n";
  out << "The outside installer has put the package on the freshly reset laptop (" << installed
      << " items differ from\nbefore the install): the software device and its driver package, "
         "the service, the per-user\nprogram, the core library and the tool, the two scheduled "
         "tasks, the uninstaller and the\ninstaller's owner. Firmware ABCDE12X (supported prefix "
         "ABC), install state "
      << Optional(install_state) << ", apply state " << Optional(apply_state)
      << ",\nthe service stopped (start type " << StartTypeName(start_type)
      << "), nobody logged on.\n";
  if (play.options.trace) {
    // The set-up's own calls.
    play.Flush();
  } else {
    play.timeline.SkipLog();
  }
  if (scenario_.steps.empty() || scenario_.steps[0].heading.empty()) out << "\n";

  bool completed = true;
  for (const Step& step : scenario_.steps) {
    if (!Run(step)) {
      completed = false;
      break;
    }
  }

  size_t launches = 0;
  size_t reports = 0;
  size_t leftovers = 0;
  {
    Quiet quiet(tracker);
    reports = play.timeline.ReportsSeen(sim::ServiceStatusReports(laptop::kServiceName).size());
    for (const sim::Launch& launch : sim::Launches()) launches += IsRunnersProgram(launch) ? 0 : 1;
    start_type = sim::ServiceStartType(laptop::kServiceName);
    leftovers = play.Leftovers().Changes().size();
  }
  Tracker::Detach();
  std::ostringstream facts;
  facts << launches << (launches == 1 ? " launch, " : " launches, ") << reports
        << (reports == 1 ? " status report, " : " status reports, ") << "install state "
        << Optional(ReadState(tracker, layout::kInstallStateKey)) << ", "
        << (start_type == SERVICE_NO_CHANGE ? std::string("the service removed")
                                            : "start type " + StartTypeName(start_type))
        << ", " << leftovers << (leftovers == 1 ? " item differs" : " items differ")
        << " from before the install";
  out << "\n";
  if (!completed) {
    out << scenario_.name << " stopped early: " << facts.str() << "\n";
    return kFailed;
  }
  if (play.failed_checks > 0) {
    out << scenario_.name << " FAILED: " << play.failed_checks << " of " << play.checks
        << " checks not met; " << facts.str() << "\n";
    return kFailed;
  }
  out << scenario_.name << " complete: " << facts.str() << "\n";
  return kCompleted;
}

int Play(const Scenario& scenario, const PlayOptions& options, std::ostream& out) {
  Player player(scenario, options, out);
  return player.Play();
}

}  // namespace dpal::scenario
