// What the COM area gives the other areas: the rows of COM and the Task Scheduler in the table of
// areas, and, between the COM library and the Task Scheduler, the objects the library hands out
// and the class it creates.
#pragma once

#include "platform/sim/com/sim_com.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/snapshot.h"

namespace sim {

// An object that COM hands out: alive until its last Release, counted by the leak check for the
// process that made it until then. The interface classes forward AddRef and Release here.
class ComObject {
 public:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 protected:
  ULONG AddRefObject();
  // Deletes the object at the last reference.
  ULONG ReleaseObject();
};

// Registers a new object under the machine lock (its first reference belongs to the caller).
void TrackObjectLocked(ComObject* object);

// Creates the Task Scheduler's ITaskService for CoCreateInstance (E_NOINTERFACE for
// another interface). Caller holds the machine lock.
HRESULT CreateTaskServiceLocked(REFIID riid, void** ppv);

// Rows of the table of areas.
void ResetComLocked();
void ComLeaksLocked(LeakReport& report);  // unbalanced initialisations, BSTRs, objects
void ComProcessEndedLocked(const SimProcess& process);
void ResetTaskSchedulerLocked();
// The part "tasks": every folder but the root ("folder") and every task with the digest of its
// definition.
void SnapshotTaskSchedulerLocked(Snapshot& out);

}  // namespace sim
