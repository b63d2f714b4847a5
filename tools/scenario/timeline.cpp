#include "tools/scenario/timeline.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>
#include <utility>

#include "common/registry_layout.h"
#include "harness/laptop.h"
#include "tools/scenario/machine.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

std::string Timeline::Offset(Clock::time_point time) const {
  const double seconds = std::chrono::duration<double>(time - tracker_.origin()).count();
  char text[32];
  std::snprintf(text, sizeof(text), "%8.3fs", seconds < 0 ? 0.0 : seconds);
  return text;
}

void Timeline::Print(Clock::time_point time, const std::string& head, const std::string& text) {
  std::string line = Offset(time) + "  " + head;
  if (!text.empty()) {
    if (line.size() < 44)
      line.resize(44, ' ');
    else
      line += "  ";
    line += text;
  }
  out_ << line << "\n";
}

void Timeline::Note(const std::string& kind, const std::string& text) {
  notes_.push_back(Event{tracker_.LogSize(), Clock::now(), kind, text});
}

void Timeline::Start(std::optional<DWORD> install_state, std::optional<DWORD> apply_state,
                     DWORD start_type) {
  install_state_ = install_state;
  apply_state_ = apply_state;
  start_type_ = start_type;
}

size_t Timeline::ReportsSeen(size_t reports_now) const {
  return reports_seen_ + (reports_now > reports_shown_ ? reports_now - reports_shown_ : 0);
}

void Timeline::Flush(const std::wstring& console_user_sid) {
  const std::wstring& name = laptop::kServiceName;
  std::vector<SERVICE_STATUS> reports;
  std::vector<sim::Launch> launches;
  std::optional<DWORD> install_state;
  std::optional<DWORD> apply_state;
  DWORD start_type = 0;
  {
    Quiet quiet(tracker_);
    reports = sim::ServiceStatusReports(name);
    launches = sim::Launches();
    start_type = sim::ServiceStartType(name);
  }
  install_state = ReadState(tracker_, layout::kInstallStateKey);
  apply_state = ReadState(tracker_, layout::kMachineApplyStateKey);
  const Clock::time_point now = Clock::now();

  std::vector<Event> events = std::move(notes_);
  notes_.clear();
  tracker_.With([&](const std::vector<LoggedCall>& log,
                    const std::map<uint64_t, Tracker::Thread>& threads) {
    const size_t end = log.size();
    auto role_of = [&](uint64_t thread) {
      auto it = threads.find(thread);
      return it == threads.end() ? Role::Worker : it->second.role;
    };
    // The call a change belongs to: the last matching one since the previous flush.
    auto last_call = [&](auto matches) -> std::pair<size_t, Clock::time_point> {
      for (size_t i = end; i-- > logged_;) {
        if (matches(log[i])) return {i, log[i].time};
      }
      return {end, now};
    };

    // A deleted service's reports go with its record; those shown are still counted.
    if (reports.size() < reports_shown_) reports_shown_ = reports.size();
    for (; reports_shown_ < reports.size(); ++reports_shown_, ++reports_seen_) {
      const SERVICE_STATUS& report = reports[reports_shown_];
      const std::wstring state = L", state " + std::to_wstring(report.dwCurrentState) + L",";
      Event event{end, now, "status", StateName(report.dwCurrentState)};
      for (size_t i = report_cursor_; i < end; ++i) {
        if (log[i].function == "SetServiceStatus" &&
            log[i].args.find(state) != std::wstring::npos) {
          event.order = i;
          event.time = log[i].time;
          report_cursor_ = i + 1;
          break;
        }
      }
      if (report.dwWin32ExitCode != NO_ERROR) {
        event.text += " (exit code " + std::to_string(report.dwWin32ExitCode) + ")";
      }
      events.push_back(event);
    }

    for (; launches_shown_ < launches.size(); ++launches_shown_) {
      const sim::Launch& launch = launches[launches_shown_];
      if (IsRunnersProgram(launch)) continue;  // the command's own lines say it
      const std::wstring quoted = L"\"" + launch.command_line + L"\"";
      std::string program = Narrow(launch.image_path);
      const size_t slash = program.rfind('\\');
      if (slash != std::string::npos) program.erase(0, slash + 1);
      std::string switch_text = Narrow(laptop::SwitchOf(launch));
      Event event{end, now, "launch",
                  program + (switch_text.empty() ? "" : " " + switch_text) + "  (session " +
                      std::to_string(launch.session_id) + ", account " + Narrow(launch.user_name) +
                      ")"};
      for (size_t i = launch_cursor_; i < end; ++i) {
        if (log[i].function.rfind("CreateProcess", 0) == 0 &&
            log[i].args.find(quoted) != std::wstring::npos) {
          event.order = i;
          event.time = log[i].time;
          launch_cursor_ = i + 1;
          break;
        }
      }
      events.push_back(event);
    }

    auto state_write = [&](bool by_runner) {
      return [&, by_runner](const LoggedCall& call) {
        return (call.function == "RegSetValueExW" || call.function.rfind("RegDelete", 0) == 0) &&
               (role_of(call.thread) == Role::Runner) == by_runner;
      };
    };
    if (install_state != install_state_) {
      // The service marks the installation done; the runner's own writes set it up.
      auto [order, time] = last_call(state_write(false));
      if (order == end) std::tie(order, time) = last_call(state_write(true));
      events.push_back(
          Event{order, time, "registry",
                "install state: " + Optional(install_state_) + " -> " + Optional(install_state)});
      install_state_ = install_state;
    }
    if (apply_state != apply_state_) {
      // The runner's write, or the core library's client's.
      auto [order, time] = last_call(state_write(true));
      if (order == end) std::tie(order, time) = last_call(state_write(false));
      events.push_back(
          Event{order, time, "registry",
                "apply state: " + Optional(apply_state_) + " -> " + Optional(apply_state)});
      apply_state_ = apply_state;
    }
    if (start_type != start_type_) {
      // The service's record goes with its deletion.
      const bool deleted = start_type == SERVICE_NO_CHANGE;
      auto [order, time] = last_call([deleted](const LoggedCall& call) {
        return call.function == (deleted ? "DeleteService" : "ChangeServiceConfigW");
      });
      events.push_back(Event{order, time, "scm",
                             deleted ? "the service is deleted"
                                     : "start type: " + StartTypeName(start_type_) + " -> " +
                                           StartTypeName(start_type)});
      start_type_ = start_type;
    }

    if (trace_) {
      for (size_t i = logged_; i < end; ++i) {
        const LoggedCall& call = log[i];
        events.push_back(Event{i, call.time, "call",
                               "[t" + std::to_string(call.thread) + " " +
                                   RoleName(role_of(call.thread)) + "] " + call.function + "(" +
                                   Narrow(call.args) + ")"});
      }
    }
    logged_ = end;
    return 0;
  });

  // The colour system's changes come after what caused them.
  client::ColourState colour;
  {
    Quiet quiet(tracker_);
    colour = client::Snapshot(console_user_sid);
  }
  for (const client::Line& line : client::Changes(colour_, colour)) {
    events.push_back(Event{tracker_.LogSize(), now, line.kind, line.text});
  }
  colour_ = colour;

  // Calls first, then what they caused (a report or launch comes after its own call).
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    if (a.order != b.order) return a.order < b.order;
    return a.kind == "call" && b.kind != "call";
  });
  for (const Event& event : events) {
    std::string head = "  " + event.kind;
    if (head.size() < 14) head.resize(14, ' ');
    Print(event.time, head + event.text, "");
  }
}

void Timeline::PrintChange(Clock::time_point time, const sim::SnapshotChange& change) {
  using Kind = sim::SnapshotChange::Kind;
  std::string head = change.kind == Kind::Added     ? "  added"
                     : change.kind == Kind::Removed ? "  removed"
                                                    : "  changed";
  head.resize(14, ' ');
  Print(time, head + change.Line().substr(2), "");  // the line without its sign
}

void Timeline::ShowDifference(const sim::SnapshotDiff& diff) {
  const Clock::time_point now = Clock::now();
  if (diff.Empty()) {
    Print(now, "  machine     nothing changed", "");
    return;
  }
  for (const sim::SnapshotChange& change : diff.Changes()) PrintChange(now, change);
}

void Timeline::ShowSummary(const sim::SnapshotDiff& diff) {
  using Kind = sim::SnapshotChange::Kind;
  const Clock::time_point now = Clock::now();
  const size_t count = diff.Changes().size();
  Print(now,
        "  machine     " + std::to_string(count) +
            (count == 1 ? " item differs" : " items differ") + " from before the install",
        "");
  for (Kind kind : {Kind::Removed, Kind::Added, Kind::Changed}) {
    for (const sim::SnapshotChange& change : diff.Changes()) {
      if (change.kind == kind) PrintChange(now, change);
    }
  }
}

}  // namespace dpal::scenario
