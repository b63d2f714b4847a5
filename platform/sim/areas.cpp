// The table of the machine's areas, and what goes through it: Reset puts every area back to a
// freshly booted state, Leaks asks every area what it still holds, BlockedThreads what it knows
// of the threads that wait, the end of a process lets every area release what the process
// owned, and TakeSnapshot has every area describe what a program can leave behind in it.
#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/colour/internal.h"
#include "platform/sim/com/internal.h"
#include "platform/sim/crypto/internal.h"
#include "platform/sim/devices/internal.h"
#include "platform/sim/displays/internal.h"
#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/reset_used.h"
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
     DescribeSecurityWaitLocked, nullptr, SecurityUse},
    {"files", ResetFilesLocked, nullptr, nullptr, nullptr, SnapshotFilesLocked, FilesUse},
    {"modules", ResetModulesLocked, ModulesLeaksLocked, ModulesProcessEndedLocked, nullptr, nullptr,
     ModulesUse},
    {"registry", ResetRegistryLocked, RegistryLeaksLocked, nullptr, DescribeRegistryWaitLocked,
     SnapshotRegistryLocked, RegistryUse, true},
    {"crypto", ResetCryptoLocked, nullptr},
    {"services", ResetServicesLocked, nullptr, ServicesProcessEndedLocked, nullptr,
     SnapshotServicesLocked},
    {"sessions", ResetSessionsLocked, SessionsLeaksLocked, SessionsProcessEndedLocked},
    {"processes", ResetProcessesLocked, ProcessesLeaksLocked, ProcessesProcessEndedLocked},
    {"trust", ResetTrustLocked, TrustLeaksLocked, TrustProcessEndedLocked, nullptr, nullptr,
     nullptr, true},
    {"displays", ResetDisplaysLocked, nullptr, nullptr, nullptr, nullptr, DisplaysUse},
    {"devices", ResetDevicesLocked, nullptr, nullptr, nullptr, SnapshotDevicesLocked, DevicesUse,
     true},
    {"colour", ResetColourLocked, nullptr, nullptr, nullptr, SnapshotColourLocked, ColourUse, true},
    {"COM", ResetComLocked, ComLeaksLocked, ComProcessEndedLocked},
    {"task scheduler", ResetTaskSchedulerLocked, nullptr, nullptr, nullptr,
     SnapshotTaskSchedulerLocked},
};

// What processes held when they ended, and what programs keep until then on purpose. Never
// destroyed, as the machine.
struct EndedProcesses {
  std::vector<ProcessLeftovers> held;
  std::map<std::wstring, std::map<std::string, int>> kept;  // by upper-cased image path
};

EndedProcesses& Ended() {
  static auto* ended = new EndedProcesses();
  return *ended;
}

LeakReport LeaksLocked() {
  LeakReport report;
  for (const Area& area : kAreas) {
    if (area.leaks) area.leaks(report);
  }
  return report;
}

// A leak report as one list of counts, keyed as ProcessLeftovers::items.
std::map<std::string, int> Items(const LeakReport& report) {
  std::map<std::string, int> items;
  for (const auto& [kind, count] : report.open_handles) items[kind] += count;
  items["LocalAlloc block"] += report.local_allocations;
  items["loaded hive"] += report.loaded_hives;
  items["loaded profile"] += report.loaded_profiles;
  items["impersonating thread"] += report.impersonating_threads;
  return items;
}

// What the release of an ended process took away: the difference of the machine's counts
// before and after it, less what its program keeps on purpose.
void RecordLeftoversLocked(const SimProcess& process, const LeakReport& before,
                           const LeakReport& after) {
  std::map<std::string, int> held = Items(before);
  const std::map<std::string, int> remaining = Items(after);
  const auto kept = Ended().kept.find(Upper(process.image));
  ProcessLeftovers leftovers{process.id, process.image, {}};
  for (const auto& [item, count] : held) {
    const auto left = remaining.find(item);
    int released = count - (left == remaining.end() ? 0 : left->second);
    // The running process itself is no leftover of its own.
    if (item == "running-process") continue;
    if (kept != Ended().kept.end()) {
      const auto allowed = kept->second.find(item);
      if (allowed != kept->second.end()) released -= allowed->second;
    }
    if (released > 0) leftovers.items[item] = released;
  }
  if (!leftovers.items.empty()) Ended().held.push_back(std::move(leftovers));
}

// Reset and ResetUsed: every area, or those that were used (and those that keep no mark).
void ResetAreas(bool all) {
  // The caller sets up the new machine: it stands outside it. Threads of the old machine's
  // processes stop at their next call, and the old machine goes only once they have.
  BecomeHostThread();
  {
    Lock lock(MachineLock());
    ResetOrderlyThreadsLocked();
    const auto ended = EndEveryProcessForResetLocked();
    MachineSignal().notify_all();
    WaitForThreadsToStopLocked(lock, ended);
    // Which areas go back is settled before any of them does: a reset visits other areas.
    bool loader_reset = false;
    std::vector<const Area*> resetting;
    for (const Area& area : kAreas) {
      const bool used = all || !area.use || area.use().Used();
      if (area.reset == ResetModulesLocked) loader_reset = used;
      if (used || (loader_reset && area.registers_library)) resetting.push_back(&area);
    }
    for (const Area* area : resetting) area->reset();
    for (const Area& area : kAreas) {
      if (area.use) area.use().Clear();
    }
    Ended().held.clear();
    Ended().kept.clear();
  }
  ResetHooks();
  SetLastError(0);
}

}  // namespace

void Reset() { ResetAreas(true); }

void ResetUsed() { ResetAreas(false); }

namespace {

// Under the machine lock: how many ends of processes are under way (their threads stopping,
// their holdings being released).
int g_ends_under_way = 0;

// How long the end of a process whose program returned lets its other threads run on.
constexpr auto kSettleLimit = std::chrono::seconds(5);

// Whether every other thread of the process waits now (any wait, with `timed`; otherwise only
// waits without time-out) or has returned.
bool SettledLocked(const SimProcess& process, bool timed) {
  return OtherLiveThreads(process) <= WaitingThreadsLocked(process, timed);
}

void SettleOtherThreadsLocked(std::unique_lock<std::mutex>& lock,
                              const std::vector<std::shared_ptr<SimProcess>>& processes) {
  SettleWatcher watching;
  // The ending thread waits too, so that orderly threads of its process take their turns; it
  // does not count among the threads that settle.
  const std::shared_ptr<SimProcess> own = CurrentProcess();
  BlockedWait ending(
      "ExitProcess", WaitedObject{"process end", L"", {}}, [] { return false; }, true);
  MachineSignal().notify_all();
  MachineSignal().wait_until(lock, std::chrono::steady_clock::now() + kSettleLimit, [&] {
    for (const auto& process : processes) {
      const int self = process == own ? 1 : 0;
      if (!process->ended &&
          OtherLiveThreads(*process) > WaitingThreadsLocked(*process, true) - self) {
        return false;
      }
    }
    return true;
  });
}

}  // namespace

bool WaitUntilSettled(std::chrono::milliseconds timeout) {
  Lock lock(MachineLock());
  SettleWatcher watching;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto settled = [] {
    if (g_ends_under_way > 0) return false;
    for (const auto& process : RunningProcessesLocked()) {
      if (!SettledLocked(*process, false)) return false;
    }
    return true;
  };
  bool done = settled();
  while (!done && std::chrono::steady_clock::now() < deadline) {
    // A change that nothing announces (a thread that leaves its process without returning) is
    // seen within a slice.
    MachineSignal().wait_until(
        lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    done = settled();
  }
  return done;
}

void EndProcessesLocked(std::unique_lock<std::mutex>& lock,
                        const std::vector<std::shared_ptr<SimProcess>>& processes, ProcessEnd how) {
  if (how == ProcessEnd::Returned && OrderlyThreadsLocked())
    SettleOtherThreadsLocked(lock, processes);
  std::vector<std::shared_ptr<SimProcess>> ending;
  for (const auto& process : processes) {
    if (MarkEndedLocked(*process)) ending.push_back(process);
  }
  if (ending.empty()) return;
  ++g_ends_under_way;
  // Its waiting threads wake to stop; the others stop at their next call.
  MachineSignal().notify_all();
  WaitForThreadsToStopLocked(lock, ending);
  for (const auto& process : ending) {
    const LeakReport before = LeaksLocked();
    for (const Area& area : kAreas) {
      if (area.process_ended) area.process_ended(*process);
    }
    // A process cut off, from outside or by its own end inside a thread's work, held what it
    // held where it was: Windows takes that back.
    if (how == ProcessEnd::Returned && !process->threads_cut_off) {
      RecordLeftoversLocked(*process, before, LeaksLocked());
    }
    process->released = true;
  }
  --g_ends_under_way;
  MachineSignal().notify_all();
}

void EndProcessLocked(std::unique_lock<std::mutex>& lock,
                      const std::shared_ptr<SimProcess>& process, ProcessEnd how) {
  EndProcessesLocked(lock, {process}, how);
}

void KeepUntilProcessEnd(const std::wstring& image, std::map<std::string, int> items) {
  Lock lock(MachineLock());
  Ended().kept[Upper(image)] = std::move(items);
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
  const AreaUse::Unmarked reading;
  Snapshot snapshot;
  for (const Area& area : kAreas) {
    if (area.snapshot) area.snapshot(snapshot);
  }
  return snapshot;
}

LeakReport Leaks() {
  Lock lock(MachineLock());
  const AreaUse::Unmarked reading;
  LeakReport report = LeaksLocked();
  report.held_at_process_end = Ended().held;
  return report;
}

}  // namespace sim
