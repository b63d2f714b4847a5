#include "tools/scenario/settle.h"

#include <map>
#include <utility>
#include <vector>

#include "common/registry_layout.h"
#include "harness/laptop.h"
#include "loader/worker_threads.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

namespace {

// The service's watch: a thread blocked on an event armed for a notification on the machine apply
// state's key. (The core library's wait watches the user's key instead.)
bool IsApplyStateWatch(const sim::BlockedThread& thread) {
  const std::wstring key = std::wstring(L"HKEY_LOCAL_MACHINE\\") + layout::kMachineApplyStateKey;
  for (const sim::WaitedObject& object : thread.objects) {
    for (const std::wstring& watched : object.notified_keys) {
      if (lstrcmpiW(watched.c_str(), key.c_str()) == 0) return true;
    }
  }
  return false;
}

}  // namespace

std::set<uint64_t> LiveWatches(Tracker& tracker) {
  return tracker.With([](auto&, auto& threads) {
    std::set<uint64_t> watches;
    for (const auto& [id, thread] : threads) {
      if (thread.alive && thread.role == Role::Watch) watches.insert(id);
    }
    return watches;
  });
}

// No program runs, every work run has ended, each thread of the service is blocked again in a
// wait without time-out that nothing has ended yet (the machine's query of blocked threads says
// so; a thread whose event a command set is about to run, so it is not blocked), and a service
// that stops has gone.
//
// The answer holds only if no platform call was made while the question was asked: the checks
// look at different things one after the other, and the service may move on in between (start
// its work runs and report a new state after the threads were looked at, say). Everything that
// could undo a "yes" begins with a platform call.
bool Settled(const SettleContext& context, const Wanted& wanted, std::string* busy) {
  Tracker& tracker = context.tracker;
  struct Alive {
    Role role = Role::Worker;
    std::string last_call;
  };
  struct Snapshot {
    size_t calls = 0;
    std::map<uint64_t, Alive> alive;  // the threads that made platform calls, the runner's aside
    int stopped_workers = 0;          // work runs cut off by the end of their process
    bool watch_lost = false;
  };
  // Threads of a service process that has ended never run again, nor do they end, and the
  // blocked-thread query does not list them: they are gone. A work run among them (a thread the
  // service started itself, the watch included) never ends for WorkerThreads either.
  const std::vector<uint64_t> stopped_list = sim::StoppedThreads();
  const std::set<uint64_t> stopped(stopped_list.begin(), stopped_list.end());
  const Snapshot snapshot = tracker.With(
      [&](const std::vector<LoggedCall>& log, const std::map<uint64_t, Tracker::Thread>& threads) {
        Snapshot s;
        s.calls = log.size();
        for (const auto& [id, thread] : threads) {
          if (stopped.count(id) != 0) {
            if (thread.role == Role::Watch || thread.role == Role::Worker) ++s.stopped_workers;
            continue;
          }
          if (!thread.alive) {
            if (wanted.watches.count(id) != 0) s.watch_lost = true;
            continue;
          }
          if (thread.role == Role::Runner) continue;
          s.alive[id] = Alive{thread.role, log[thread.calls.back()].function};
        }
        return s;
      });
  // Before the threads are looked at: a program can end without a platform call, and a thread
  // that waits for it is blocked until then.
  {
    Quiet quiet(tracker);
    if (!sim::WaitForProcessesToEnd(std::chrono::milliseconds(0))) {
      *busy = "a launched program is still running";
      return false;
    }
  }
  std::map<uint64_t, sim::BlockedThread> blocked;
  {
    Quiet quiet(tracker);
    for (sim::BlockedThread& thread : sim::BlockedThreads()) {
      const uint64_t id = thread.thread;
      blocked.emplace(id, std::move(thread));
    }
  }
  int workers = 0;  // the service's own threads that wait: its work runs
  for (const auto& [id, thread] : snapshot.alive) {
    auto it = blocked.find(id);
    if (it == blocked.end()) {
      *busy = std::string("the ") + RoleName(thread.role) + " thread t" + std::to_string(id) +
              " is busy (last call " + thread.last_call + ")";
      return false;
    }
    if (IsApplyStateWatch(it->second)) tracker.MarkWatch(id);
    // The threads the SCM started (the dispatcher and ServiceMain) play the service's process;
    // those the service started itself act as the process identity.
    if (it->second.process_image.empty()) ++workers;
  }

  Quiet quiet(tracker);
  const int running = WorkerThreads::RunningInProcessForTesting() - context.workers_before -
                      snapshot.stopped_workers;
  if (running != workers || (wanted.no_work && running != 0)) {
    *busy = std::to_string(running) + " work run(s) of the service still going";
    return false;
  }
  const DWORD state = sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    *busy = "the service is in " + StateName(state);
    return false;
  }
  // A watch that ended on a failure ends the service too, once its work runs are over.
  if (state == SERVICE_RUNNING && snapshot.watch_lost) {
    *busy = "the watch ended; the service is about to stop";
    return false;
  }
  if (state == SERVICE_STOPPED &&
      !sim::WaitForServiceProcessExit(laptop::kServiceName, std::chrono::milliseconds(0))) {
    *busy = "the service process is still ending";
    return false;
  }
  if (tracker.LogSize() != snapshot.calls) {
    *busy = "the service made platform calls while it was looked at";
    return false;
  }
  return true;
}

bool Settle(const SettleContext& context, const Step& step, const Wanted& wanted,
            const std::wstring& console_user_sid) {
  const Clock::time_point deadline = Clock::now() + context.deadline;
  std::string busy;
  while (!Settled(context, wanted, &busy)) {
    if (Clock::now() > deadline) {
      context.timeline.Flush(console_user_sid);
      context.timeline.out() << "dpal-sim: line " << step.line << " (" << step.text
                             << "): the service did not settle within " << context.deadline.count()
                             << " ms: " << busy << "\n";
      return false;
    }
    context.tracker.AwaitChange();
  }
  return true;
}

}  // namespace dpal::scenario
