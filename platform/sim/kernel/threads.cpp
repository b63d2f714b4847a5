// The processes of the simulated machine as the kernel sees them: which process each thread
// belongs to, the list of running processes, and the stop of a thread whose process has ended.
//
// A thread of an ended process must never run again, yet the host cannot end a thread. So the
// thread stops where it next meets the machine: at the entry of a platform call, on taking the
// machine lock, or on waking from a wait. There it blocks for good on a condition of its own that
// nothing signals, holding no lock of the machine; the host process's end takes it away. Each
// process counts its threads that have neither stopped so nor returned, so that its end can wait
// for them before anything they may still be reading goes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"

#if !defined(__clang__)
#include <dlfcn.h>
#include <cerrno>
#include <pthread.h>

#include <new>
#endif

namespace sim {
namespace {

// The running processes. A lock of its own, so that the entry hook can give a new thread its
// process without the machine lock (which the hook's callers do not hold).
struct ProcessList {
  std::mutex lock;
  std::condition_variable threads_changed;           // a thread of a process stopped or returned
  std::vector<std::shared_ptr<SimProcess>> running;  // oldest first
  uint64_t next_id = 1;
};

// How long the end of a process waits for its threads. A thread of the machine that is neither in
// the product's code nor blocked in a wait of the machine gets there in microseconds; one that
// takes this long is blocked where the machine cannot reach it.
constexpr auto kThreadStopLimit = std::chrono::seconds(10);

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

// A thread's process, counted among the process's live threads until the thread stops for good
// or returns (the destructor runs when the thread returns).
struct Membership {
  bool decided = false;
  std::shared_ptr<SimProcess> process;  // null: the host's
  bool counted = false;
  // The thread's place in the order of thread starts (0: not given yet), given by the thread
  // that started it, for the turns of orderly threads.
  uint64_t order = 0;

  // Under the process list's lock.
  void JoinLocked(std::shared_ptr<SimProcess> joined) {
    LeaveLocked();
    decided = true;
    process = std::move(joined);
    if (process) {
      ++process->live_threads;
      counted = true;
    }
  }
  void LeaveLocked() {
    if (!counted) return;
    counted = false;
    --process->live_threads;
    Processes().threads_changed.notify_all();
  }
  // The thread returns: a wait for its process's threads to settle hears of it. The machine
  // lock is taken for the announcement, so that a watcher that has just looked cannot miss it.
  ~Membership() {
    bool was_counted = false;
    {
      std::lock_guard<std::mutex> guard(Processes().lock);
      was_counted = counted;
      LeaveLocked();
    }
    if (!was_counted) return;
    RawLock lock(MachineLock());
    NotifySettleWatchersLocked();
  }
};

thread_local Membership t_membership;

// The next place in the order of thread starts.
std::atomic<uint64_t> g_next_order{1};

// A thread the sim did not start belongs to the newest running process that plays the process
// identity, decided once, when the thread first meets the machine.
Membership& ThisThread() {
  Membership& membership = t_membership;
  if (!membership.decided) {
    ProcessList& list = Processes();
    std::lock_guard<std::mutex> guard(list.lock);
    std::shared_ptr<SimProcess> found;
    for (auto it = list.running.rbegin(); it != list.running.rend(); ++it) {
      if ((*it)->plays_process_identity) {
        found = *it;
        break;
      }
    }
    membership.JoinLocked(std::move(found));
  }
  return membership;
}

[[noreturn]] void StopForGood() {
  {
    // It never runs again: its process's end need not wait for it, and it was cut off.
    std::lock_guard<std::mutex> guard(Processes().lock);
    if (t_membership.counted) t_membership.process->threads_cut_off = true;
    t_membership.LeaveLocked();
  }
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

// ----- Threads that a process's code starts ------------------------------------------------------
//
// A thread belongs to the process of the thread that started it, as on Windows, from before it
// runs: the end of that process then waits for it even when it has made no platform call yet. The
// host's thread library is wrapped for that (the sanitizers' wrappers, which the GCC builds load
// as libraries of their own, come after this one). Clang's builds link the sanitizers into the
// program, where a wrapper of ours would hide theirs: there a thread is given its process at its
// first platform call only.
#if !defined(__clang__)
namespace {

struct ThreadStart {
  void* (*routine)(void*);
  void* argument;
  std::shared_ptr<SimProcess> process;  // already counted among its live threads
  uint64_t order = 0;
};

void* StartInProcess(void* start) {
  auto* begun = static_cast<ThreadStart*>(start);
  void* (*routine)(void*) = begun->routine;
  void* argument = begun->argument;
  {
    std::lock_guard<std::mutex> guard(Processes().lock);
    t_membership.decided = true;
    t_membership.process = std::move(begun->process);
    t_membership.counted = true;
    t_membership.order = begun->order;
  }
  begun->~ThreadStart();
  std::free(begun);
  {
    // With orderly threads, a new thread waits for its turn before its code runs.
    RawLock lock(MachineLock());
    ResumeInTurnLocked(lock);
  }
  return routine(argument);
}

}  // namespace
}  // namespace sim

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  using namespace sim;
  const Membership& self = t_membership;
  if (!self.decided || !self.process) return real(thread, attributes, routine, argument);
  // Plain memory: a test that fails the program's allocations must not fail the machine's.
  void* memory = std::malloc(sizeof(ThreadStart));
  if (memory == nullptr) return EAGAIN;
  auto* start = new (memory) ThreadStart{routine, argument, self.process, g_next_order++};
  {
    std::lock_guard<std::mutex> guard(Processes().lock);
    ++start->process->live_threads;
  }
  const int error = real(thread, attributes, StartInProcess, start);
  if (error != 0) {
    {
      std::lock_guard<std::mutex> guard(Processes().lock);
      --start->process->live_threads;
      Processes().threads_changed.notify_all();
    }
    start->~ThreadStart();
    std::free(memory);
  }
  return error;
}

namespace sim {
#endif

Lock::Lock(std::mutex& mutex) : std::unique_lock<std::mutex>(mutex) {
  StopIfProcessEndedLocked(*this);
}

std::shared_ptr<SimProcess> NewProcessLocked(bool plays_process_identity,
                                             const std::wstring& image) {
  auto process = std::make_shared<SimProcess>();
  process->plays_process_identity = plays_process_identity;
  process->image = image;
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  process->id = list.next_id++;
  list.running.push_back(process);
  return process;
}

void JoinProcess(std::shared_ptr<SimProcess> process) {
  std::lock_guard<std::mutex> guard(Processes().lock);
  t_membership.JoinLocked(std::move(process));
}

void BecomeHostThread() {
  std::lock_guard<std::mutex> guard(Processes().lock);
  t_membership.JoinLocked(nullptr);
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

std::vector<std::shared_ptr<SimProcess>> EndEveryProcessForResetLocked() {
  ProcessList& list = Processes();
  std::lock_guard<std::mutex> guard(list.lock);
  for (const auto& process : list.running) process->ended.store(true);
  std::vector<std::shared_ptr<SimProcess>> ended;
  ended.swap(list.running);
  return ended;
}

// ----- Orderly threads -------------------------------------------------------------------------

namespace {

// Under the machine lock: whether threads take turns, and the threads waiting for theirs.
bool g_orderly = false;
struct Turn {
  std::shared_ptr<SimProcess> process;
  uint64_t order;
};
std::vector<Turn>& Turns() {
  static auto* turns = new std::vector<Turn>();  // never destroyed, as the machine
  return *turns;
}
int g_settle_watchers = 0;

// How long a thread waits for its turn at most: a thread of its process that waits outside the
// machine (for a lock of the program's own, say) never gives it.
constexpr auto kTurnLimit = std::chrono::seconds(2);

}  // namespace

void UseOrderlyThreads(bool on) {
  RawLock lock(MachineLock());
  g_orderly = on;
  MachineSignal().notify_all();
}

void ResetOrderlyThreadsLocked() { g_orderly = false; }

bool OrderlyThreadsLocked() { return g_orderly; }

void ResumeInTurnLocked(std::unique_lock<std::mutex>& lock) {
  if (!g_orderly) return;
  Membership& self = ThisThread();
  std::shared_ptr<SimProcess> process;
  {
    std::lock_guard<std::mutex> guard(Processes().lock);
    if (!self.counted) return;
    process = self.process;
    if (self.order == 0) self.order = g_next_order++;
  }
  const uint64_t order = self.order;
  auto& turns = Turns();
  turns.push_back(Turn{process, order});
  ++g_settle_watchers;
  // Every other thread waiting for its turn may now be the one to run.
  MachineSignal().notify_all();
  MachineSignal().wait_until(lock, std::chrono::steady_clock::now() + kTurnLimit, [&] {
    if (process->ended || !g_orderly) return true;
    // Every other thread of every process waits (in the machine, or for its turn) or has
    // returned, and no thread started earlier waits for its turn.
    int running = 0;
    for (const auto& other : RunningProcessesLocked()) {
      running += OtherLiveThreads(*other) - WaitingThreadsLocked(*other, true);
    }
    for (const Turn& turn : turns) {
      if (turn.process->ended) continue;
      if (turn.order < order) return false;
      if (turn.order != order) --running;
    }
    return running <= 0;
  });
  --g_settle_watchers;
  for (auto it = turns.begin(); it != turns.end(); ++it) {
    if (it->process == process && it->order == order) {
      turns.erase(it);
      break;
    }
  }
}

SettleWatcher::SettleWatcher() { ++g_settle_watchers; }
SettleWatcher::~SettleWatcher() { --g_settle_watchers; }

void NotifySettleWatchersLocked() {
  if (g_settle_watchers > 0) MachineSignal().notify_all();
}

int OtherLiveThreads(const SimProcess& process) {
  const Membership& self = t_membership;
  std::lock_guard<std::mutex> guard(Processes().lock);
  return process.live_threads - (self.counted && self.process.get() == &process ? 1 : 0);
}

void WaitForThreadsToStopLocked(std::unique_lock<std::mutex>& lock,
                                const std::vector<std::shared_ptr<SimProcess>>& processes) {
  if (processes.empty()) return;
  // The caller's own thread, when it ends its own process, is not waited for: it returns next.
  const Membership& self = t_membership;
  auto others = [&](const SimProcess& process) {
    return process.live_threads - (self.counted && self.process.get() == &process ? 1 : 0);
  };
  ProcessList& list = Processes();
  // The threads that stop need the machine lock to get to their stop.
  lock.unlock();
  bool stopped = false;
  {
    std::unique_lock<std::mutex> guard(list.lock);
    stopped = list.threads_changed.wait_for(guard, kThreadStopLimit, [&] {
      for (const auto& process : processes) {
        if (others(*process) > 0) return false;
      }
      return true;
    });
    if (!stopped) {
      for (const auto& process : processes) {
        if (others(*process) == 0) continue;
        std::fprintf(
            stderr,
            "sim: %d thread(s) of the ended process %llu (%ls) did not stop within %lld s: "
            "blocked outside the machine\n",
            others(*process), static_cast<unsigned long long>(process->id), process->image.c_str(),
            static_cast<long long>(kThreadStopLimit.count()));
      }
      std::fflush(stderr);
      std::abort();
    }
  }
  lock.lock();
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
