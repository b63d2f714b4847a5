// The test side of the machine as a whole: Reset, machine-owned events, fault injection, the
// trace of platform calls and the leak check.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/kernel/winbase.h"

namespace sim {

// ----- The machine --------------------------------------------------------------------------

// Puts the whole machine back to a freshly booted state: an empty registry with HKLM and
// HKEY_USERS (".DEFAULT" and "S-1-5-18" loaded), no files, no open handles, no faults, an empty
// trace and the default identity (an administrator, see DefaultAdmin()). The calling thread is
// the host's (it belongs to no simulated process); threads of processes from before stop at
// their next platform call.
void Reset();

// Restarts the machine as a shutdown and the next boot do. Every process ends (running services
// without a stop control, launched programs), every user is logged off (session 1 at the console
// shows the logon screen; other sessions are gone), the users' hives and those RegLoadKeyW loaded
// are unloaded, the device removals that waited for the restart are completed, and the file
// operations recorded by MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT are carried out in the
// order they were recorded (a failed one is passed over), after which the value that held them
// is removed. Then services marked for deletion are gone, every other
// service reads as never started, and the SCM starts each service whose start type is
// SERVICE_AUTO_START, as StartServiceAsScm does (in the order they were installed). The
// registry, files, devices, services, faults and the trace persist, and so do the host's own
// handles (a key in an unloaded hive then reads as deleted).
void Restart();

// ----- Processes and threads --------------------------------------------------------------------

// A simulated process (a service's, a launched program's, one that RunProcess runs) is played by
// threads of the test process; the test's own threads stand outside the machine. When a process
// ends, each of its threads stops for good where it next meets the machine (a platform call, or
// waking from a wait), as a terminated thread never runs again; once all have stopped or
// returned, its handles, blocks, local memory, impersonation, loaded profiles and verification
// states are released, and what it still held when its program returned is its leak
// (LeakReport::held_at_process_end). Besides the threads the sim starts for a process, a thread
// belongs to the process of the thread that started it, and (in a build whose thread library the
// sim cannot wrap, clang's) to a process when it acts as the process identity
// (SetProcessIdentity) and first calls the platform while a service or a RunProcess program of
// that identity runs: such threads are the ones that program's own code started.
//
// The numbers (as Call::thread gives them) of the threads that have stopped so, in order.
std::vector<uint64_t> StoppedThreads();
// Waits until at least `count` threads have stopped so; false when the time ran out first.
bool WaitForStoppedThreads(size_t count, std::chrono::milliseconds timeout);
// The numbers of the threads that called RaiseFailFastException since the test program started
// (never reset), in order. Each stopped for good as above, and with it its process, when it had
// one; a thread of the test itself belongs to no process, and only it stops.
std::vector<uint64_t> FailFastThreads();
// The number of the calling thread, as Call::thread gives it.
uint64_t ThreadNumber();
// The calling thread stands outside the machine from now on, as the test's own threads do: it
// belongs to no process, however it identifies. For a thread of the test that must not join a
// running program that plays the process identity.
void BecomeHostThread();

// ----- Blocked threads -------------------------------------------------------------------------

// What a blocked thread waits for.
struct WaitedObject {
  // The handle kind ("event", "process", "thread"), or "service-controls" for a service's
  // dispatcher that waits for the SCM's next control.
  std::string kind;
  // A named event's name, a process's (or its thread's) image path, the service's name; empty
  // for an unnamed event.
  std::wstring name;
  // For an event that RegNotifyChangeKeyValue armed: the keys it watches, as full paths below the
  // roots ("HKEY_LOCAL_MACHINE\SOFTWARE\...", "HKEY_USERS\S-1-5-21-...\Software\...").
  std::vector<std::wstring> notified_keys;
};

struct BlockedThread {
  uint64_t thread = 0;   // the number the trace gives the thread (Call::thread)
  std::string function;  // the platform function it is blocked in
  bool wait_all = false;
  std::vector<WaitedObject> objects;  // in the order the wait names them
  // The image of the process the sim started the thread to play (a service's process or its
  // ServiceMain, a launched program); empty for a thread that a program started itself, which
  // acts as the process identity.
  std::wstring process_image;
};

// The threads that are blocked right now in a platform call that waits without time-out
// (WaitForSingleObject or WaitForMultipleObjects with INFINITE, the synchronous form of
// RegNotifyChangeKeyValue, a service's dispatcher between two controls), with what each waits
// for, in the order they began to wait. A thread whose wait would end now (one of its objects is
// signalled, or all of them for a wait-all) is not blocked: it is about to run. Nor is a thread
// of a process that has ended: it is gone (see StoppedThreads).
std::vector<BlockedThread> BlockedThreads();

// Waits until the machine cannot move on by itself: every thread of every running process is
// blocked as above or has returned, and no process is ending. Whatever the test set off is then
// over, or waits for something only the test (or a fault that lost a wake-up) could bring: a
// point that does not depend on timing. A thread in a wait with a time-out has not settled, nor
// has one that runs. False when the time ran out first.
bool WaitUntilSettled(std::chrono::milliseconds timeout);

// With orderly threads on, the threads of the processes take turns, so that the calls the
// processes make come in the same order in every run whatever the host's scheduler does (as a
// sweep that fails the n-th call needs): a thread that starts, or wakes from a wait, runs on only
// once every other thread of every process waits in the machine or has returned, and of several
// that could, the one started first goes first. A process whose program returns then ends once
// its other threads wait or have returned, as if they had run first. A thread that waits outside
// the machine (for a lock of the program's own) holds the others up for 2 s at most. Off after
// Reset.
void UseOrderlyThreads(bool on);

// ----- Time -----------------------------------------------------------------------------------

// GetTickCount64 counts the milliseconds since Reset. With the virtual clock on, Sleep returns at
// once and moves that count forward by its argument instead of waiting, so that a flow bounded by
// a long time-out (polling with Sleep against GetTickCount64) runs through it in an instant;
// waits with a time-out still take real time. Off after Reset.
void UseVirtualClock(bool on);

// ----- Named objects --------------------------------------------------------------------------

// Creates (or opens) a named event in the machine's namespace, owned by the machine rather than
// by any handle, so that it exists until RemoveMachineEvent. Used for "Global\TermSrvReadyEvent".
void CreateMachineEvent(const std::wstring& name, bool manual_reset, bool signaled);
void SetMachineEvent(const std::wstring& name);
void RemoveMachineEvent(const std::wstring& name);

// ----- Fault injection ------------------------------------------------------------------------

// A call as the fault injector and the trace see it: the function name and its arguments as
// text (for example L"HKLM, SYSTEM\\CurrentControlSet, 0, 0x20019").
struct Call {
  std::string function;
  std::wstring args;
  uint64_t thread = 0;
};

// Makes a platform function fail with `error` (the function's own failure convention: a
// returned LSTATUS, FALSE with the last error, a null handle, ...).
void FailAlways(const std::string& function, DWORD error);
// Fails only the n-th call (1-based) counted from now.
void FailNth(const std::string& function, uint64_t n, DWORD error);
// Fails every call for which the predicate is true.
void FailIf(const std::string& function, std::function<bool(const Call&)> predicate, DWORD error);
// Fails the n-th (1-based) platform call of any name, counted from now. Used by the sweeps that
// fail every call of a flow in turn.
void FailNthAny(uint64_t n,
                DWORD error);  // releases (CloseHandle, RegCloseKey, ...) are not counted
// Fails every platform call of any name from the n-th (1-based) on, counted from now, until
// ClearFaults: a fault that does not go away. Releases are neither counted nor failed.
void FailFromNthAny(uint64_t n, DWORD error);
void ClearFaults();
// How many faults have fired since the last ClearFaults.
uint64_t FaultsFired();
// A call that a fault failed: the function's name and the return addresses of its stack at the
// moment it failed, innermost first (the hook's own frame, the simulated function's, then its
// callers), as backtrace(3) gives them. The call-site report symbolises them.
inline constexpr size_t kFiredFaultFrames = 12;
struct FiredFault {
  std::string function;
  std::vector<void*> frames;
};
// Every call failed since the last ClearFaults, in order.
std::vector<FiredFault> FiredFaults();

// Whether the calling thread is inside a simulated platform call now (the sim's own code, and
// what that calls: its trace sink and fault predicates), rather than in the product's code. The
// tests that fail the product's allocations leave the sim's alone: a Windows function never
// throws. Answers false in a build of the sim without call tracking (clang's).
bool InSimulatedCall();

// ----- Trace ----------------------------------------------------------------------------------

// Every platform call is counted; with recording on, each is also kept with its arguments.
void RecordTrace(bool on);
std::vector<Call> Trace();
void ClearTrace();
uint64_t CallCount();
// Number of calls of one function since the last ClearTrace (counted whether or not recording).
uint64_t CallCount(const std::string& function);
// Called for every platform call as it happens (for the scenario runner's --trace).
void SetTraceSink(std::function<void(const Call&)> sink);

// ----- Leak accounting ------------------------------------------------------------------------

// What a process still held when it ended, which its end released: its handles and blocks by
// kind ("token", "event", ...), and "LocalAlloc block", "loaded hive", "loaded profile",
// "impersonating thread", less what its program keeps until its end on purpose.
struct ProcessLeftovers {
  uint64_t process = 0;  // the process's number, in the order processes were made
  std::wstring image;
  std::map<std::string, int> items;
};

struct LeakReport {
  std::map<std::string, int> open_handles;  // by kind, e.g. "event", "key", "token"
  int local_allocations = 0;
  int loaded_hives = 0;     // hives loaded by RegLoadKeyW and not unloaded
  int loaded_profiles = 0;  // user profiles loaded and not unloaded
  int impersonating_threads = 0;
  // Each process that ended since Reset holding more than its program keeps on purpose. A process
  // that ends takes what it holds with it, as on Windows, so a leak of a program that ends (a
  // service's, a launched program's) shows only here.
  std::vector<ProcessLeftovers> held_at_process_end;
  bool Clean() const;
  std::string Describe() const;
};

LeakReport Leaks();

// Declares what a program keeps on purpose until its process ends (objects that live as long as
// the process): at each end of a process of that image, up to `items` (keyed as
// ProcessLeftovers::items) are taken off what it held before it counts as a leak. Until Reset.
void KeepUntilProcessEnd(const std::wstring& image, std::map<std::string, int> items);

// Handles that a test deliberately keeps (machine-owned objects are never counted).
int OpenHandleCount(const std::string& kind);

}  // namespace sim
