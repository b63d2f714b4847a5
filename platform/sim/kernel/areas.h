// The row of the table of areas (areas.cpp) that every area fills in, and the kernel's own rows.
#pragma once

#include <atomic>
#include <vector>

#include "platform/sim/kernel/sim_kernel.h"

namespace sim {

class Snapshot;
struct Object;
struct SimProcess;

// Whether an area's state was reached since the machine was last reset, for the reset that puts
// back only what was used (ResetUsed). The area's accessor marks it on every call, a read too, so
// that no change can pass unmarked; the leak count and a snapshot, which only read, leave no
// mark (Unmarked). Every reset clears the marks once the areas are back to their booted state.
class AreaUse {
 public:
  void Mark() {
    if (!used_.load(std::memory_order_relaxed) && !t_unmarked) {
      used_.store(true, std::memory_order_relaxed);
    }
  }
  bool Used() const { return used_.load(std::memory_order_relaxed); }
  void Clear() { used_.store(false, std::memory_order_relaxed); }

  // While one lives, the calling thread's visits to the areas mark none of them.
  class Unmarked {
   public:
    Unmarked() : outer_(t_unmarked) { t_unmarked = true; }
    ~Unmarked() { t_unmarked = outer_; }
    Unmarked(const Unmarked&) = delete;
    Unmarked& operator=(const Unmarked&) = delete;

   private:
    bool outer_;
  };

 private:
  std::atomic<bool> used_{true};  // before its first reset the area is in no known state
  static inline thread_local bool t_unmarked = false;
};

// One row of the table of areas (areas.cpp), which Reset, Leaks and the end of a process go
// through in order. A new area is one row: its reset and, when it holds anything the leak check
// counts besides handles and blocks, its leak count and what the end of a process releases.
struct Area {
  const char* name;
  void (*reset)();                    // under the machine lock: back to a freshly booted state
  void (*leaks)(LeakReport& report);  // under the machine lock; null when there is nothing
  // Under the machine lock: releases what an ended process owned; null when the area keeps
  // nothing for processes. The kernel's row (handles) runs first.
  void (*process_ended)(const SimProcess& process) = nullptr;
  // Adds what the area knows to a blocked thread of the query (the keys an event is armed for,
  // the process a thread plays); under the machine lock; null when it knows nothing.
  void (*describe)(const std::vector<const Object*>& objects, BlockedThread& thread) = nullptr;
  // Under the machine lock: writes the area's part of a snapshot of the machine (snapshot.h):
  // what a program can leave behind there. Null when the area holds nothing of the kind.
  void (*snapshot)(Snapshot& out) = nullptr;
  // The mark of the area's use (AreaUse), for an area whose reset is worth passing over when the
  // area was not used; null for an area that every reset puts back.
  AreaUse& (*use)() = nullptr;
  // Whether the area's reset registers a library of the system directory with the loader, which
  // forgets it at its own reset: then a reset of the loader resets the area too.
  bool registers_library = false;
};

// The kernel's own rows: the handle table with blocks and local memory, and the events of the
// machine's namespace.
void ResetKernelLocked();
void KernelLeaksLocked(LeakReport& report);
void KernelProcessEndedLocked(const SimProcess& process);  // its handles, blocks, local memory
void ResetEventsLocked();
// Faults, trace and the trace sink; Reset calls it after the areas, outside the machine lock.
void ResetHooks();

}  // namespace sim
