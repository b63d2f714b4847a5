// The player of a scenario: what a play knows of the laptop as it goes (who is logged on where,
// the last exit codes, the snapshots the changes are shown against), and the loop that runs each
// command from the table of commands, waits for the service to settle and shows what happened.
// Sim build only.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/snapshot.h"
#include "tools/scenario.h"
#include "tools/scenario/settle.h"
#include "tools/scenario/timeline.h"
#include "tools/scenario/tracker.h"

namespace dpal::scenario {

// The state of one play, which the commands' actions read and change.
struct PlayState {
  PlayState(const PlayOptions& play_options, std::ostream& out);

  Tracker& tracker() { return *tracker_; }
  // The SID of the user logged on at the console; empty when nobody is.
  std::wstring ConsoleUserSid() const;
  // The machine's difference from the snapshot before the install.
  sim::SnapshotDiff Leftovers() const;
  // Shows what happened since the last flush.
  void Flush() { timeline.Flush(ConsoleUserSid()); }
  SettleContext Settling() {
    return SettleContext{*tracker_, timeline, workers_before, options.deadline};
  }

  const PlayOptions& options;

 private:
  std::shared_ptr<Tracker> tracker_;  // first: the timeline refers to it

 public:
  Timeline timeline;

  std::map<DWORD, std::string> users;   // session -> the user logged on there
  std::map<std::string, int> accounts;  // user name -> relative ID of its SID
  DWORD console = 1;
  int workers_before = 0;       // work runs of the service left from before this play
  size_t launches_checked = 0;  // by "expect launches"
  int checks = 0;
  int failed_checks = 0;
  std::optional<int> tool_exit;       // the exit code of the last tool run
  std::optional<int> uninstall_exit;  // the exit code of the last uninstall run

  sim::Snapshot before_install;  // the machine right after the reset, before the install
  // The command's snapshot from before it ran, when its changes are shown once it has settled;
  // `shown_parts` (when not empty) limits them to those parts.
  std::optional<sim::Snapshot> command_before;
  std::vector<std::string> shown_parts;
};

class Player {
 public:
  Player(const Scenario& scenario, const PlayOptions& options, std::ostream& out)
      : scenario_(scenario), state_(options, out) {}

  // Plays the scenario on a freshly reset machine; kCompleted or kFailed.
  int Play();

 private:
  bool Run(const Step& step);

  const Scenario& scenario_;
  PlayState state_;
};

}  // namespace dpal::scenario
