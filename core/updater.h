// The wait for a change of the user's apply state: one wait at a time, each on a worker thread
// that the waiting caller joins, and a stop that another thread of the client sends.
#pragma once

#include <mutex>

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal::core {

// Outcome codes of a wait.
inline constexpr int kWaitEndedQuietly = 0;  // stopped, refused, failed, or no reportable change
inline constexpr int kStartReadFailed = 1;  // the user's apply state could not be read at the start
inline constexpr int kChangedToOn = 2;      // the user's apply state changed to 1
inline constexpr int kChangedToOff = 3;     // the user's apply state changed to 0

class IUpdater {
 public:
  // Blocks until the wait ends and puts its outcome code into *result. False (with *result 0
  // where it can be written) when a wait is already in progress, result is null, or the worker
  // could not be run.
  virtual bool WaitForUpdate(int* result) = 0;
  // Ends the wait in progress, if any. A stop while idle is not remembered.
  virtual bool StopWait() = 0;

 protected:
  IUpdater() = default;
  ~IUpdater() = default;  // never deleted through the interface
};

class CDPALUpdater final : public IUpdater {
 public:
  CDPALUpdater();
  CDPALUpdater(const CDPALUpdater&) = delete;
  CDPALUpdater& operator=(const CDPALUpdater&) = delete;

  bool WaitForUpdate(int* result) override;
  bool StopWait() override;

  // Whether a wait is in progress now, for an observer; the exports never ask.
  bool IsWaitingForTesting() const;

 private:
  // Kept for the life of the process: the instance is never destroyed.
  ~CDPALUpdater() = default;

  // The worker: reads the start value, arms the notification on the user's State key, waits for
  // a change or the stop, and ends the wait. Returns the outcome code.
  int WatchUserState(HANDLE stop_event);

  // Auto-reset, created with the instance, kept for the life of the process: a change signalled
  // but not consumed by one wait is there for the next.
  UniqueEvent changeEvent;
  // The in-progress mark, its stop event and the last outcome are guarded by `lock_`: a stop
  // that races the worker's end signals the event before it is closed or not at all, and of
  // two waits that start together exactly one runs.
  mutable std::mutex lock_;
  bool waiting_ = false;
  UniqueEvent stopEvent;  // created for each wait, closed when it ends; empty while idle
  int result = kWaitEndedQuietly;
};

// The process's one updater, created on first use under a process-wide mutex (the pointer is
// tested before and after taking it). Throws std::system_error when the mutex fails.
CDPALUpdater& Updater();

// Makes the next Updater() create a new updater, as the next process would. The one before
// stays reachable, event and all: a thread of the process it served may still use it.
void ForgetUpdaterForTesting();

// The wait and stop as the exports offer them: the outcome code (0 when refused or on an
// error), and 1 for the stop (0 on an error).
int WaitForUsrUpdate();
int StopWaitForUsrUpdate();

}  // namespace dpal::core
