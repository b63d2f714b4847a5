// What the blocked-thread query knows of the threads that wait without time-out.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/sim_kernel.h"

namespace sim {

// Marks the calling thread as waiting for as long as it lives: for the blocked-thread query when
// the wait has no time-out, and for the settling of a process (WaitingThreadsLocked) either way.
// Made and destroyed under the machine lock, around the wait itself. Once the thread's process
// has ended the wait is not listed any more: the thread stops for good when it wakes, and what
// marks it is never destroyed.
class BlockedWait {
 public:
  // A wait for kernel objects: any of them, or all; `timed` when it ends by itself too.
  BlockedWait(const char* function, std::vector<std::shared_ptr<Object>> objects, bool wait_all,
              bool timed = false);
  // A wait for something that is no kernel object, as `what` describes it; `ready` tells, under
  // the machine lock, whether the wait would end now.
  BlockedWait(const char* function, WaitedObject what, std::function<bool()> ready,
              bool timed = false);
  ~BlockedWait();
  BlockedWait(const BlockedWait&) = delete;
  BlockedWait& operator=(const BlockedWait&) = delete;

 private:
  uint64_t id_;
};

// The threads blocked now (as sim::BlockedThreads answers), each described by the kernel and then
// by `describe`, which gets the waited objects in the order of BlockedThread::objects (null for
// what is no kernel object).
using DescribeBlocked =
    std::function<void(const std::vector<const Object*>& objects, BlockedThread& thread)>;
std::vector<BlockedThread> BlockedThreadsLocked(const DescribeBlocked& describe);

// The threads of `process` that wait now in a wait that would not end at once: those without
// time-out, and with `timed` those with one too. Caller holds the machine lock.
int WaitingThreadsLocked(const SimProcess& process, bool timed);

}  // namespace sim
