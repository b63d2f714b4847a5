// The simulated processes: which one the calling thread belongs to, and their end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

// A process of the simulated machine, played by threads of the host process: a service's
// process, a launched program. The host itself (the test, the scenario runner) stands outside
// the machine, and its threads belong to no process. When a process ends, what it owns is
// released (its handles, blocks and local memory, and what the areas keep for it: impersonation,
// loaded profiles, verification states), and each of its threads stops for good at its next
// platform call or wake-up, as a terminated thread never runs again.
struct SimProcess {
  uint64_t id = 0;  // never reused; 0 stands for the host in owner fields
  // Threads that the sim did not start and that act as the process identity (SetProcessIdentity)
  // belong to the newest running process that plays that identity: they are the threads its own
  // code started (a service's worker threads).
  bool plays_process_identity = false;
  std::atomic<bool> ended{false};
};

// A new running process. Caller holds the machine lock.
std::shared_ptr<SimProcess> NewProcessLocked(bool plays_process_identity);
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
// Ends a process: marks it ended, lets every area release what the process owned (the table of
// areas, areas.cpp) and wakes every wait, so that its waiting threads stop. Ending an ended
// process does nothing. Caller holds the machine lock.
void EndProcessLocked(SimProcess& process);
// Marks a process ended and takes it off the running list; false when it had ended already.
// The first step of EndProcessLocked.
bool MarkEndedLocked(SimProcess& process);
// Marks every running process ended without the areas' release (Reset clears the areas anyway).
void EndEveryProcessForResetLocked();
// Stops the calling thread for good when its process has ended. The first form is for callers
// that hold no lock (the entry hook); the second releases the lock first (after a wake-up).
void StopIfProcessEnded();
void StopIfProcessEndedLocked(std::unique_lock<std::mutex>& lock);
// Stops the calling thread for good, whatever its process: the end of a fail-fast.
[[noreturn]] void StopThisThreadForGood();

}  // namespace sim
