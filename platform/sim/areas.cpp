// The table of the machine's areas, and what goes through it: Reset puts every area back to a
// freshly booted state, Leaks asks every area what it still holds, BlockedThreads what it knows
// of the threads that wait, the end of a process lets every area release what the process
// owned, and TakeSnapshot has every area describe what a program can leave behind in it.
#include "platform/sim/colour/internal.h"
#include "platform/sim/com/internal.h"
#include "platform/sim/crypto/internal.h"
#include "platform/sim/devices/internal.h"
#include "platform/sim/displays/internal.h"
#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/services/internal.h"
#include "platform/sim/sessions/internal.h"
#include "platform/sim/trust/internal.h"
#include "platform/sim/snapshot.h"

namespace sim {
namespace {

// In the order of Reset: the handle table first (closing every handle releases what the objects
// hold), then the identity that the later resets take their defaults from, then the store of
// files before the hives that were read from it. The loader comes before the areas that register
// a library of the system directory with it: the registry (ntdll.dll), the devices (newdev.dll)
// and the colour system (mscms.dll).
constexpr Area kAreas[] = {
    {"kernel objects", ResetKernelLocked, KernelLeaksLocked, KernelProcessEndedLocked},
    {"events and waits", ResetEventsLocked, nullptr},
    {"security", ResetSecurityLocked, SecurityLeaksLocked, SecurityProcessEndedLocked,
     DescribeSecurityWaitLocked},
    {"files", ResetFilesLocked, nullptr, nullptr, nullptr, SnapshotFilesLocked},
    {"modules", ResetModulesLocked, ModulesLeaksLocked},
    {"registry", ResetRegistryLocked, RegistryLeaksLocked, nullptr, DescribeRegistryWaitLocked,
     SnapshotRegistryLocked},
    {"crypto", ResetCryptoLocked, nullptr},
    {"services", ResetServicesLocked, nullptr, ServicesProcessEndedLocked, nullptr,
     SnapshotServicesLocked},
    {"sessions", ResetSessionsLocked, SessionsLeaksLocked, SessionsProcessEndedLocked},
    {"processes", ResetProcessesLocked, ProcessesLeaksLocked, ProcessesProcessEndedLocked},
    {"trust", ResetTrustLocked, TrustLeaksLocked, TrustProcessEndedLocked},
    {"displays", ResetDisplaysLocked, nullptr},
    {"devices", ResetDevicesLocked, nullptr, nullptr, nullptr, SnapshotDevicesLocked},
    {"colour", ResetColourLocked, nullptr, nullptr, nullptr, SnapshotColourLocked},
    {"COM", ResetComLocked, ComLeaksLocked, ComProcessEndedLocked},
    {"task scheduler", ResetTaskSchedulerLocked, nullptr, nullptr, nullptr,
     SnapshotTaskSchedulerLocked},
};

}  // namespace

void Reset() {
  // The caller sets up the new machine: it stands outside it. Threads of the old machine's
  // processes stop at their next call.
  BecomeHostThread();
  {
    Lock lock(MachineLock());
    EndEveryProcessForResetLocked();
    for (const Area& area : kAreas) area.reset();
  }
  ResetHooks();
  SetLastError(0);
}

void EndProcessLocked(SimProcess& process) {
  if (!MarkEndedLocked(process)) return;
  for (const Area& area : kAreas) {
    if (area.process_ended) area.process_ended(process);
  }
  MachineSignal().notify_all();
}

std::vector<BlockedThread> BlockedThreads() {
  Lock lock(MachineLock());
  return BlockedThreadsLocked([](const std::vector<const Object*>& objects, BlockedThread& thread) {
    for (const Area& area : kAreas) {
      if (area.describe) area.describe(objects, thread);
    }
  });
}

Snapshot TakeSnapshot() {
  Lock lock(MachineLock());
  Snapshot snapshot;
  for (const Area& area : kAreas) {
    if (area.snapshot) area.snapshot(snapshot);
  }
  return snapshot;
}

LeakReport Leaks() {
  Lock lock(MachineLock());
  LeakReport report;
  for (const Area& area : kAreas) {
    if (area.leaks) area.leaks(report);
  }
  return report;
}

}  // namespace sim
