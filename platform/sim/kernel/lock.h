// The machine lock that every platform function takes, and the number of the calling thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sim {

// One lock guards the whole machine; waits block on one condition variable. The machine is
// small and calls are short, so a single lock keeps every cross-object rule (wait-all, a
// notification setting an event, a handle closed during a wait) simple and correct.
std::mutex& MachineLock();
std::condition_variable& MachineSignal();

// The machine lock as every platform function takes it: a thread whose process has ended stops
// for good on taking it (see StopIfProcessEndedLocked), so that none of its calls takes effect.
class Lock : public std::unique_lock<std::mutex> {
 public:
  explicit Lock(std::mutex& mutex);
};
// The lock without that check, for the sim's own work on a thread after its program's part is
// over (the end of a thread, whose process may have ended before).
using RawLock = std::unique_lock<std::mutex>;

// The number of the calling thread: the one the trace gives it (Call::thread), and the one every
// area keys per-thread state by. Never reused.
uint64_t ThreadNumber();

}  // namespace sim
