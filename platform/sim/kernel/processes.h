// The simulated processes: which one the calling thread belongs to, and their end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// A process of the simulated machine, played by threads of the host process: a service's
// process, a launched program. The host itself (the test, the scenario runner) stands outside
// the machine, and its threads belong to no process. When a process ends, each of its threads
// stops for good at its next platform call or wake-up, as a terminated thread never runs again;
// once every one of them has stopped or returned, what the process owned is released (its
// handles, blocks and local memory, and what the areas keep for it: impersonation, loaded
// profiles, verification states) and recorded for the leak check.
struct SimProcess {
  uint64_t id = 0;     // never reused; 0 stands for the host in owner fields
  std::wstring image;  // the program's image path, for the leak report
  // Threads that the sim did not start and that act as the process identity (SetProcessIdentity)
  // belong to the newest running process that plays that identity: they are the threads its own
  // code started (a service's worker threads).
  bool plays_process_identity = false;
  std::atomic<bool> ended{false};
  // Threads of the process that have neither stopped nor returned (under the process list's own
  // lock, threads.cpp).
  int live_threads = 0;
  // A thread of the process stopped for good (under the same lock): the end cut it off inside
  // its work, and what the process held then is Windows' to take back, no leak of its program.
  std::atomic<bool> threads_cut_off{false};
  // Under the machine lock: what the process owned has been released. Whoever waits for a
  // process's end waits for this.
  bool released = false;
};

// A new running process. Caller holds the machine lock.
std::shared_ptr<SimProcess> NewProcessLocked(bool plays_process_identity,
                                             const std::wstring& image);
// The calling thread belongs to `process` from now on: a thread the sim starts for it.
void JoinProcess(std::shared_ptr<SimProcess> process);
// The calling thread belongs to no process: it is the host's (Reset makes its caller one).
void BecomeHostThread();
// The calling thread's process, null for the host's threads, and its id (0 for the host's). A
// thread that the sim did not start is given its process here or at its first platform call,
// whichever comes first.
std::shared_ptr<SimProcess> CurrentProcess();
uint64_t CurrentProcessId();
// Every process that has not ended, oldest first.
std::vector<std::shared_ptr<SimProcess>> RunningProcessesLocked();
// How a process ends: its program returned (ExitProcess), so that what it still holds is its
// leak unless a thread of it was cut off inside its work; or it was ended from outside
// (TerminateProcess, a restart), cut off wherever it was.
enum class ProcessEnd { Returned, Terminated };
// Ends processes: first, with orderly threads, for processes whose programs returned, lets their
// other threads run on until each waits (with or without time-out) or has returned, as a
// scheduler may run them before the exit takes effect, so that where they stop does not depend
// on which thread the host ran first (one that does not come to wait within a few seconds is
// cut off where it is). Then marks
// them ended and wakes every wait, waits with the lock released until each of their threads has
// stopped or returned (the calling thread excepted, when it ends its own
// process), then lets every area release what the processes owned (the table of areas,
// areas.cpp), records what that was for the leak check when their programs returned with every
// thread done (none stopped for good), and marks
// them released. A thread that does not stop within the time allowed is blocked where the machine
// cannot reach it (outside every platform call): a fault of the model or of the program, which
// ends the host process with a message. Ending an ended process does nothing. `lock` holds the
// machine lock, on return too; the machine may have changed while it was released.
void EndProcessLocked(std::unique_lock<std::mutex>& lock,
                      const std::shared_ptr<SimProcess>& process, ProcessEnd how);
void EndProcessesLocked(std::unique_lock<std::mutex>& lock,
                        const std::vector<std::shared_ptr<SimProcess>>& processes, ProcessEnd how);
// Marks a process ended and takes it off the running list; false when it had ended already.
// The first step of EndProcessesLocked, and the whole end of a process that never ran.
bool MarkEndedLocked(SimProcess& process);
// Marks every running process ended without the areas' release (Reset clears the areas anyway)
// and answers them, for the wait below.
std::vector<std::shared_ptr<SimProcess>> EndEveryProcessForResetLocked();
// The live threads of `process` (neither stopped nor returned), the calling thread excepted.
int OtherLiveThreads(const SimProcess& process);
// Wakes whoever waits for threads to settle (sim::WaitUntilSettled, the end of a process whose
// program returned, a thread waiting for its turn): a thread began to wait, or a thread of a
// process returned. Caller holds the machine lock.
void NotifySettleWatchersLocked();
// One who waits for threads to settle, for as long as it lives. Under the machine lock.
struct SettleWatcher {
  SettleWatcher();
  ~SettleWatcher();
  SettleWatcher(const SettleWatcher&) = delete;
  SettleWatcher& operator=(const SettleWatcher&) = delete;
};
// With orderly threads (sim::UseOrderlyThreads), the calling thread of a process, which starts or
// has just woken from a wait, waits for its turn: until every other thread of every process waits
// or has returned, and no thread that started earlier waits for its turn too. Caller holds
// the machine lock (released while it waits).
void ResumeInTurnLocked(std::unique_lock<std::mutex>& lock);
// Orderly threads off, as after Reset; whether they are on.
void ResetOrderlyThreadsLocked();
bool OrderlyThreadsLocked();
// The wait of EndProcessesLocked: releases `lock` until every thread of `processes` has stopped
// or returned (the calling thread excepted), and takes it again; ends the host process with a
// message when one does not in time.
void WaitForThreadsToStopLocked(std::unique_lock<std::mutex>& lock,
                                const std::vector<std::shared_ptr<SimProcess>>& processes);
// Stops the calling thread for good when its process has ended. The first form is for callers
// that hold no lock (the entry hook); the second releases the lock first (after a wake-up).
void StopIfProcessEnded();
void StopIfProcessEndedLocked(std::unique_lock<std::mutex>& lock);
// Stops the calling thread for good, whatever its process: the end of a fail-fast.
[[noreturn]] void StopThisThreadForGood();

}  // namespace sim
