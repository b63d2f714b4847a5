// The processes of the simulated machine as the kernel sees them: which process each thread
// belongs to, the list of running processes, and the stop of a thread whose process has ended.
//
// A thread of an ended process must never run again, yet the host cannot end a thread. So the
// thread stops where it next meets the machine: at the entry of a platform call, on taking the
// machine lock, or on waking from a wait. There it blocks for good on a condition of its own that
// nothing signals, holding no lock of the machine; the host process's end takes it away.
#include <algorithm>

#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"

namespace sim {
namespace {

// The running processes. A lock of its own, so that the entry hook can give a new thread its
// process without the machine lock (which the hook's callers do not hold).
struct ProcessList {
  std::mutex lock;
  std::vector<std::shared_ptr<SimProcess>> running;  // oldest first
  uint64_t next_id = 1;
};

ProcessList& Processes() {
  static ProcessList* list = new ProcessList();  // never destroyed, as the machine
  return *list;
}

// Threads that have stopped for good, by thread number.
struct StoppedThreadList {
  std::mutex lock;
  std::condition_variable changed;
  std::condition_variable never;  // nothing signals it: stopped threads wait on it for good
  std::vector<uint64_t> threads;
};

StoppedThreadList& Stopped() {
  static StoppedThreadList* stopped = new StoppedThreadList();
  return *stopped;
}

struct Membership {
  bool decided = false;
  std::shared_ptr<SimProcess> process;  // null: the host's
};

thread_local Membership t_membership;

// A thread the sim did not start belongs to the newest running process that plays the process
// identity, decided once, when the thread first meets the machine.
Membership& ThisThread() {
  Membership& membership = t_membership;
  if (!membership.decided) {
    membership.decided = true;
    ProcessList& list = Processes();
    std::lock_guard<std::mutex> guard(list.lock);
    for (auto it = list.running.rbegin(); it != list.running.rend(); ++it) {
      if ((*it)->plays_process_identity) {
        membership.process = *it;
        break;
      }
    }
  }
  return membership;
}

[[noreturn]] void StopForGood() {
  StoppedThreadList& stopped = Stopped();
  std::unique_lock<std::mutex> guard(stopped.lock);
  stopped.threads.push_back(ThreadNumber());
  stopped.changed.notify_all();
  for (;;) stopped.never.wait(guard);
}

bool ProcessEnded() {
  const Membership& membership = ThisThread();
  return membership.process && membership.process->ended.load();
}

}  // namespace

Lock::Lock(std::mutex& mutex) : std::unique_lock<std::mutex>(mutex) {
  StopIfProcessEndedLocked(*this);
}

std::shared_ptr<SimProcess> NewProcessLocked(bool plays_process_identity) {
  auto process = std::make_shared<SimProcess>();
  process->plays_process_identity = plays_process_identity;
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  process->id = list.next_id++;
  list.running.push_back(process);
  return process;
}

void JoinProcess(std::shared_ptr<SimProcess> process) {
  t_membership.decided = true;
  t_membership.process = std::move(process);
}

void BecomeHostThread() {
  t_membership.decided = true;
  t_membership.process = nullptr;
}

std::shared_ptr<SimProcess> CurrentProcess() { return ThisThread().process; }

uint64_t CurrentProcessId() {
  const Membership& membership = ThisThread();
  return membership.process ? membership.process->id : 0;
}

std::vector<std::shared_ptr<SimProcess>> RunningProcessesLocked() {
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  return list.running;
}

void EndEveryProcessForResetLocked() {
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  for (const auto& process : list.running) process->ended.store(true);
  list.running.clear();
}

void StopIfProcessEnded() {
  if (ProcessEnded()) StopForGood();
}

void StopThisThreadForGood() { StopForGood(); }

void StopIfProcessEndedLocked(std::unique_lock<std::mutex>& lock) {
  if (!ProcessEnded()) return;
  lock.unlock();
  StopForGood();
}

// Called by EndProcessLocked (areas.cpp) before the areas release what the process owned.
bool MarkEndedLocked(SimProcess& process) {
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  if (process.ended.exchange(true)) return false;
  list.running.erase(std::remove_if(list.running.begin(), list.running.end(),
                                    [&](const auto& running) { return running.get() == &process; }),
                     list.running.end());
  return true;
}

// ----- Test-facing side --------------------------------------------------------------------------

std::vector<uint64_t> StoppedThreads() {
  StoppedThreadList& stopped = Stopped();
  std::lock_guard<std::mutex> guard(stopped.lock);
  return stopped.threads;
}

bool WaitForStoppedThreads(size_t count, std::chrono::milliseconds timeout) {
  StoppedThreadList& stopped = Stopped();
  std::unique_lock<std::mutex> guard(stopped.lock);
  return stopped.changed.wait_for(guard, timeout, [&] { return stopped.threads.size() >= count; });
}

}  // namespace sim
