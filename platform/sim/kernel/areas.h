// The row of the table of areas (areas.cpp) that every area fills in, and the kernel's own rows.
#pragma once

#include <vector>

#include "platform/sim/kernel/sim_kernel.h"

namespace sim {

class Snapshot;
struct Object;
struct SimProcess;

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
