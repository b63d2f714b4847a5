// The timeline a play prints: each command's line, and what happened since the previous one
// (status reports, launches, changes of the values of interest, notes of the runner, with
// --trace every platform call), each at its offset from the start of the play. Sim build only.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/snapshot.h"
#include "tools/core_client.h"
#include "tools/scenario/tracker.h"

namespace dpal::scenario {

struct Event {
  size_t order = 0;  // the log index it belongs after
  Clock::time_point time;
  std::string kind;
  std::string text;
};

class Timeline {
 public:
  Timeline(Tracker& tracker, bool trace, std::ostream& out)
      : tracker_(tracker), trace_(trace), out_(out) {}

  std::ostream& out() { return out_; }

  // One line: the offset, `head`, and `text` (when not empty) from the 45th column on.
  void Print(Clock::time_point time, const std::string& head, const std::string& text);
  // A line of the runner about what the command did, shown at the next flush in log order.
  void Note(const std::string& kind, const std::string& text);
  void Note(Event event) { notes_.push_back(std::move(event)); }

  // The values of interest as the play starts (their changes are shown from then on).
  void Start(std::optional<DWORD> install_state, std::optional<DWORD> apply_state,
             DWORD start_type);
  // Calls made so far are not shown (without --trace the set-up's own calls are left out).
  void SkipLog() { logged_ = tracker_.LogSize(); }

  // Turns everything that happened since the last flush into timeline lines, in the order it
  // happened. `console_user_sid` says whose colour defaults are followed.
  void Flush(const std::wstring& console_user_sid);

  // What a command changed on the machine, one line an item ("nothing changed" when empty).
  void ShowDifference(const sim::SnapshotDiff& diff);
  // What the package left, grouped: removed, added, changed, each in the order of part and item.
  void ShowSummary(const sim::SnapshotDiff& leftovers);

  // Every status report the service sent: those shown, and any it sent after the last flush.
  size_t ReportsSeen(size_t reports_now) const;

 private:
  std::string Offset(Clock::time_point time) const;
  void PrintChange(Clock::time_point time, const sim::SnapshotChange& change);

  Tracker& tracker_;
  const bool trace_;
  std::ostream& out_;

  size_t logged_ = 0;         // log entries already turned into events
  size_t report_cursor_ = 0;  // log index where the next status report is looked for
  size_t launch_cursor_ = 0;  // log index where the next launch is looked for
  size_t reports_shown_ = 0;
  size_t launches_shown_ = 0;
  size_t reports_seen_ = 0;  // status reports of the service, kept when its record goes
  std::optional<DWORD> install_state_;
  std::optional<DWORD> apply_state_;
  DWORD start_type_ = 0;
  std::vector<Event> notes_;
  client::ColourState colour_;  // the panel's defaults and association lists last shown
};

}  // namespace dpal::scenario
