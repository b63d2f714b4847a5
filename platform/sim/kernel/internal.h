// What the kernel area gives the other areas of the simulated Windows: the machine lock, kernel
// objects and the handle table, events, the entry hook every simulated function calls first
// (trace and fault injection), the one failure helper, memory blocks handed out to callers and
// the table of areas.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/kernel/winbase.h"

namespace sim {

class Snapshot;

// ----- The machine lock ----------------------------------------------------------------------

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

// ----- Simulated processes ---------------------------------------------------------------------

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

// ----- Failure -------------------------------------------------------------------------------

// The failure of an API function whose convention is the last error: sets the calling thread's
// last error and answers `result`. Every such failure path goes through here.
template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

// ----- Kernel objects and the handle table ----------------------------------------------------

// What a handle designates, as the leak check counts it. Each object type has one, as a static
// member kKind, so that a new area's kinds need no list here.
struct HandleKind {
  const char* name;             // "event", "key", ...: the leak report's and OpenHandleCount's
  bool closed_by_close_handle;  // false for kinds with a closer of their own (RegCloseKey, ...)
};

struct Object {
  explicit Object(const HandleKind& k) : kind(k) {}
  virtual ~Object() = default;
  const HandleKind& kind;
  // Waitable objects answer these under the machine lock.
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait is satisfied by this object (auto-reset events reset here).
  virtual void Consume() {}
  // Called under the machine lock when a handle to the object is closed.
  virtual void OnHandleClosed(uintptr_t /*handle*/) {}
  // What the blocked-thread query calls the object (WaitedObject::name).
  virtual std::wstring Name() const { return L""; }
};

struct Event : Object {
  static constexpr HandleKind kKind{"event", true};
  Event(bool manual, bool initial) : Object(kKind), manual_reset(manual), signaled(initial) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled; }
  void Consume() override {
    if (!manual_reset) signaled = false;
  }
  std::wstring Name() const override { return name; }
  bool manual_reset;
  bool signaled;
  std::wstring name;
};

// Sets an event and wakes waiters. Caller holds the machine lock.
void SignalLocked(Event& event);

// Adds an object with the access granted to this handle and returns the new handle value. The
// handle belongs to the calling thread's process, whose end closes it. Caller holds the machine
// lock (as for every function here whose name ends in Locked).
uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access = 0x1FFFFF);
// The access granted to a handle (0 when it is not open).
ACCESS_MASK HandleAccessLocked(uintptr_t handle);
// The object of a handle, or null when the handle is not open.
std::shared_ptr<Object> LookupLocked(uintptr_t handle);
// The object of a handle when it is a T, else null.
template <typename T>
std::shared_ptr<T> LookupAsLocked(uintptr_t handle) {
  auto object = LookupLocked(handle);
  if (!object || &object->kind != &T::kKind) return nullptr;
  return std::static_pointer_cast<T>(object);
}
// Removes a handle; false when it was not open.
bool RemoveHandleLocked(uintptr_t handle);
// The closer of kinds that CloseHandle does not close (CloseServiceHandle, ...): removes the
// handle when its object is of one of `kinds`; otherwise false with ERROR_INVALID_HANDLE.
BOOL CloseHandleOfKindsLocked(uintptr_t handle, std::initializer_list<const HandleKind*> kinds);

inline uintptr_t H(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

// ----- Blocked threads -------------------------------------------------------------------------

// Marks the calling thread as blocked without time-out for as long as it lives, for the
// blocked-thread query. Made and destroyed under the machine lock, around the wait itself. Once
// the thread's process has ended the wait is not listed any more: the thread stops for good when
// it wakes, and what marks it is never destroyed.
class BlockedWait {
 public:
  // A wait for kernel objects: any of them, or all.
  BlockedWait(const char* function, std::vector<std::shared_ptr<Object>> objects, bool wait_all);
  // A wait for something that is no kernel object, as `what` describes it; `ready` tells, under
  // the machine lock, whether the wait would end now.
  BlockedWait(const char* function, WaitedObject what, std::function<bool()> ready);
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

// ----- Entry hook: trace and faults -----------------------------------------------------------

// A release gives back what another call handed out. The sweeps that fail "any n-th call" pass
// over releases: a release that fails would only turn an injected fault into a leak that no
// caller could have avoided. Named faults can still target them.
enum class CallKind { Use, Release };

// Every simulated function calls Enter first, through SIM_ENTER or SIM_ENTER_RELEASE, which name
// the call after the function itself. It counts and (optionally) records the call, and answers
// the error to fail with when a fault is injected, or 0.
DWORD Enter(const char* function, std::wstring args, CallKind kind = CallKind::Use);
#define SIM_ENTER(...) ::sim::Enter(__func__, ::sim::Args(__VA_ARGS__))
#define SIM_ENTER_RELEASE(...) \
  ::sim::Enter(__func__, ::sim::Args(__VA_ARGS__), ::sim::CallKind::Release)

// Formats arguments for the trace: strings quoted as text, handles and keys by name, numbers in
// decimal (small) or hex (flags, handles).
std::wstring ArgText(const wchar_t* s);
std::wstring ArgText(HKEY key);
std::wstring ArgText(const void* p);
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
std::wstring ArgText(T value) {
  std::wostringstream out;
  if (value > 4096 || value < 0) {
    out << L"0x" << std::hex << static_cast<uint64_t>(value);
  } else {
    out << static_cast<int64_t>(value);
  }
  return out.str();
}
inline std::wstring Args() { return L""; }
template <typename T, typename... Rest>
std::wstring Args(const T& first, const Rest&... rest) {
  std::wstring text = ArgText(first);
  if constexpr (sizeof...(rest) > 0) text += L", " + Args(rest...);
  return text;
}

// ----- Memory handed out by the platform ------------------------------------------------------

// Blocks that a platform function allocates for its caller and a matching function frees
// (WTS memory, environment blocks). They are counted by the leak check under their kind. Like
// handles, blocks and local memory belong to the calling thread's process and go with its end.
void* AllocateBlockLocked(const char* kind, size_t bytes);
// Frees a block of that kind; false when the pointer is not such a block.
bool FreeBlockLocked(void* block, const char* kind);
// Memory handed out as by LocalAlloc (counted by the leak check, freed with LocalFree).
void* LocalAllocLocked(size_t bytes);

// ----- The areas of the machine ----------------------------------------------------------------

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
