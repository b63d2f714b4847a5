// Events and waits: the events of the machine's namespace (named events and those the machine
// itself keeps), CreateEventW and its companions, the waits, and the threads blocked in waits
// without time-out.
#include <chrono>
#include <map>
#include <optional>

#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"

namespace sim {
namespace {

struct EventNamespace {
  // "Global\..." and plain names share one table, by upper-cased name.
  std::map<std::wstring, std::weak_ptr<Event>> named;
  // Events created through CreateMachineEvent live as long as the machine keeps them.
  std::map<std::wstring, std::shared_ptr<Event>> kept;
  // The tick count: real time since Reset, plus what Sleep skipped while the clock was virtual.
  std::chrono::steady_clock::time_point booted = std::chrono::steady_clock::now();
  uint64_t skipped_ms = 0;
  bool virtual_clock = false;
};

EventNamespace& Events() {
  static EventNamespace* events = new EventNamespace();  // never destroyed, as the machine
  return *events;
}

std::shared_ptr<Event> FindNamedEventLocked(const std::wstring& name) {
  auto& named = Events().named;
  auto it = named.find(Upper(name));
  if (it == named.end()) return nullptr;
  auto event = it->second.lock();
  if (!event) named.erase(it);
  return event;
}

void AddNamedEventLocked(const std::wstring& name, const std::shared_ptr<Event>& event) {
  Events().named[Upper(name)] = event;
}

// A thread blocked without time-out, as BlockedWait registers it.
struct Blocked {
  uint64_t thread = 0;
  std::shared_ptr<SimProcess> process;  // the thread's, null for the host's
  const char* function = "";
  std::vector<std::shared_ptr<Object>> objects;
  bool wait_all = false;
  std::optional<WaitedObject> other;  // a wait for no kernel object
  std::function<bool()> ready;        // for such a wait
  bool timed = false;                 // it ends by itself too: no blocked thread
};

// By the order the waits began. Never destroyed, as the machine.
std::map<uint64_t, Blocked>& BlockedWaits() {
  static auto* waits = new std::map<uint64_t, Blocked>();
  return *waits;
}

uint64_t NextWaitId() {
  static uint64_t next = 1;  // under the machine lock
  return next++;
}

// Whether a registered wait would end now.
bool ReadyLocked(const Blocked& wait) {
  if (wait.other) return wait.ready && wait.ready();
  bool all = true;
  bool any = false;
  for (const auto& object : wait.objects) {
    all = all && object->Signaled();
    any = any || object->Signaled();
  }
  return wait.wait_all ? all : any;
}

}  // namespace

BlockedWait::BlockedWait(const char* function, std::vector<std::shared_ptr<Object>> objects,
                         bool wait_all, bool timed)
    : id_(NextWaitId()) {
  Blocked& wait = BlockedWaits()[id_];
  wait.thread = ThreadNumber();
  wait.process = CurrentProcess();
  wait.function = function;
  wait.objects = std::move(objects);
  wait.wait_all = wait_all;
  wait.timed = timed;
  NotifySettleWatchersLocked();
}

BlockedWait::BlockedWait(const char* function, WaitedObject what, std::function<bool()> ready,
                         bool timed)
    : id_(NextWaitId()) {
  Blocked& wait = BlockedWaits()[id_];
  wait.thread = ThreadNumber();
  wait.process = CurrentProcess();
  wait.function = function;
  wait.other = std::move(what);
  wait.ready = std::move(ready);
  wait.timed = timed;
  NotifySettleWatchersLocked();
}

BlockedWait::~BlockedWait() { BlockedWaits().erase(id_); }

std::vector<BlockedThread> BlockedThreadsLocked(const DescribeBlocked& describe) {
  std::vector<BlockedThread> threads;
  auto& waits = BlockedWaits();
  for (auto it = waits.begin(); it != waits.end();) {
    const Blocked& wait = it->second;
    if (wait.process && wait.process->ended) {
      // A thread of an ended process is gone: it stops for good when it wakes, and its wait is
      // never taken off the list otherwise.
      it = waits.erase(it);
      continue;
    }
    ++it;
    if (wait.timed || ReadyLocked(wait)) continue;
    BlockedThread thread;
    thread.thread = wait.thread;
    thread.function = wait.function;
    thread.wait_all = wait.wait_all;
    std::vector<const Object*> objects;
    if (wait.other) {
      thread.objects.push_back(*wait.other);
      objects.push_back(nullptr);
    }
    for (const auto& object : wait.objects) {
      thread.objects.push_back(WaitedObject{object->kind.name, object->Name(), {}});
      objects.push_back(object.get());
    }
    if (describe) describe(objects, thread);
    threads.push_back(std::move(thread));
  }
  return threads;
}

int WaitingThreadsLocked(const SimProcess& process, bool timed) {
  int waiting = 0;
  for (const auto& [id, wait] : BlockedWaits()) {
    if (wait.process.get() != &process || (wait.timed && !timed)) continue;
    if (!ReadyLocked(wait)) ++waiting;
  }
  return waiting;
}

void ResetEventsLocked() {
  Events().named.clear();
  Events().kept.clear();
  Events().booted = std::chrono::steady_clock::now();
  Events().skipped_ms = 0;
  Events().virtual_clock = false;
}

void UseVirtualClock(bool on) {
  Lock lock(MachineLock());
  Events().virtual_clock = on;
}

void CreateMachineEvent(const std::wstring& name, bool manual_reset, bool signaled) {
  Lock lock(MachineLock());
  auto event = FindNamedEventLocked(name);
  if (!event) {
    event = std::make_shared<Event>(manual_reset, signaled);
    event->name = name;
    AddNamedEventLocked(name, event);
  }
  Events().kept[Upper(name)] = event;
}

void SetMachineEvent(const std::wstring& name) {
  Lock lock(MachineLock());
  if (auto event = FindNamedEventLocked(name)) SignalLocked(*event);
}

void RemoveMachineEvent(const std::wstring& name) {
  Lock lock(MachineLock());
  Events().kept.erase(Upper(name));
}

}  // namespace sim

using namespace sim;

namespace {

// Resolves the handles of a wait into waitable objects. Caller holds the machine lock.
bool ResolveWaitables(DWORD count, const HANDLE* handles,
                      std::vector<std::shared_ptr<Object>>* objects) {
  objects->clear();
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupLocked(H(handles[i]));
    if (!object || !object->Waitable() || (HandleAccessLocked(H(handles[i])) & SYNCHRONIZE) == 0) {
      return false;
    }
    objects->push_back(std::move(object));
  }
  return true;
}

// `function` is the caller's name, for the blocked-thread query.
DWORD WaitLocked(Lock& lock, const char* function, DWORD count, const HANDLE* handles,
                 bool wait_all, DWORD timeout) {
  std::vector<std::shared_ptr<Object>> objects;
  if (!ResolveWaitables(count, handles, &objects)) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  std::optional<BlockedWait> blocked;
  if (timeout != 0) blocked.emplace(function, objects, wait_all, timeout != INFINITE);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  bool slept = false;
  // A thread that slept waits for its turn (orderly threads) before it returns.
  auto resume = [&](DWORD result) {
    if (!slept) return result;
    blocked.reset();
    ResumeInTurnLocked(lock);
    StopIfProcessEndedLocked(lock);
    return result;
  };
  for (;;) {
    if (wait_all) {
      bool all = true;
      for (const auto& object : objects) all = all && object->Signaled();
      if (all) {
        for (const auto& object : objects) object->Consume();
        return resume(WAIT_OBJECT_0);
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->Signaled()) {
          objects[i]->Consume();
          return resume(WAIT_OBJECT_0 + i);
        }
      }
    }
    if (timeout == 0) return resume(WAIT_TIMEOUT);
    slept = true;
    if (timeout == INFINITE) {
      MachineSignal().wait(lock);
    } else if (MachineSignal().wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: the state may have changed together with the timeout.
      timeout = 0;
    }
    // A waiting thread whose process has ended never returns from the wait.
    StopIfProcessEndedLocked(lock);
  }
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
  if (DWORD e = SIM_ENTER(lpEventAttributes, bManualReset, bInitialState, lpName)) {
    return Fail(e, nullptr);
  }
  Lock lock(MachineLock());
  if (lpName != nullptr && *lpName != 0) {
    if (auto existing = FindNamedEventLocked(lpName)) {
      SetLastError(ERROR_ALREADY_EXISTS);  // and yet a success: a handle to the existing event
      return reinterpret_cast<HANDLE>(AddHandleLocked(existing, EVENT_ALL_ACCESS));
    }
  }
  auto event = std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE);
  if (lpName != nullptr && *lpName != 0) {
    event->name = lpName;
    AddNamedEventLocked(lpName, event);
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(AddHandleLocked(event, EVENT_ALL_ACCESS));
}

extern "C" HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
  if (DWORD e = SIM_ENTER(dwDesiredAccess, bInheritHandle, lpName)) {
    return Fail(e, nullptr);
  }
  if (lpName == nullptr) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  Lock lock(MachineLock());
  auto event = FindNamedEventLocked(lpName);
  if (!event) return Fail(ERROR_FILE_NOT_FOUND, nullptr);
  return reinterpret_cast<HANDLE>(AddHandleLocked(event, dwDesiredAccess));
}

namespace {

// SetEvent and ResetEvent (`function` is the caller's name): the same checks, then the event's
// new state.
BOOL ChangeEvent(const char* function, HANDLE event_handle, bool signal) {
  if (DWORD e = Enter(function, Args(event_handle))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  auto event = LookupAsLocked<Event>(H(event_handle));
  if (!event) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((HandleAccessLocked(H(event_handle)) & EVENT_MODIFY_STATE) == 0) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (signal) {
    SignalLocked(*event);
  } else {
    event->signaled = false;
  }
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) { return ChangeEvent(__func__, hEvent, true); }

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) { return ChangeEvent(__func__, hEvent, false); }

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (DWORD e = SIM_ENTER(hHandle, dwMilliseconds)) {
    return Fail(e, WAIT_FAILED);
  }
  Lock lock(MachineLock());
  return WaitLocked(lock, __func__, 1, &hHandle, false, dwMilliseconds);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
  if (DWORD e = SIM_ENTER(nCount, lpHandles, bWaitAll, dwMilliseconds)) {
    return Fail(e, WAIT_FAILED);
  }
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  }
  Lock lock(MachineLock());
  if (bWaitAll) {
    // The same object twice in a wait-all is refused, as on Windows.
    for (DWORD i = 0; i < nCount; ++i) {
      for (DWORD j = i + 1; j < nCount; ++j) {
        auto a = LookupLocked(H(lpHandles[i]));
        if (a && a == LookupLocked(H(lpHandles[j]))) {
          return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
        }
      }
    }
  }
  return WaitLocked(lock, __func__, nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

// Neither call can fail on Windows: an injected fault changes nothing.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  SIM_ENTER(dwMilliseconds);
  Lock lock(MachineLock());
  if (Events().virtual_clock) {
    Events().skipped_ms += dwMilliseconds;
    return;
  }
  // The wait ends early only when the thread's process ends, and then the thread stops.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  {
    BlockedWait sleeping(
        __func__, WaitedObject{"time", L"", {}}, [] { return false; }, true);
    while (MachineSignal().wait_until(lock, deadline) != std::cv_status::timeout) {
      StopIfProcessEndedLocked(lock);
    }
  }
  StopIfProcessEndedLocked(lock);
  ResumeInTurnLocked(lock);
  StopIfProcessEndedLocked(lock);
}

extern "C" ULONGLONG WINAPI GetTickCount64(void) {
  SIM_ENTER();
  Lock lock(MachineLock());
  const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - Events().booted);
  return static_cast<ULONGLONG>(real.count()) + Events().skipped_ms;
}
