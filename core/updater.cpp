#include "core/updater.h"

#include <atomic>
#include <thread>
#include <vector>

#include "common/failure_boundary.h"
#include "common/handles.h"
#include "common/registry_layout.h"
#include "core/apply_state.h"

namespace dpal::core {

namespace {

HANDLE NewEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

std::atomic<CDPALUpdater*> g_updater{nullptr};

std::mutex& CreationLock() {
  static std::mutex* lock = new std::mutex();  // outlives every thread of the client
  return *lock;
}

}  // namespace

CDPALUpdater::CDPALUpdater() : changeEvent(NewEvent()) {}

bool CDPALUpdater::WaitForUpdate(int* out) {
  if (out == nullptr) return false;
  HANDLE stop_event = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (waiting_) {
      *out = kWaitEndedQuietly;
      return false;
    }
    waiting_ = true;
    stopEvent.reset(NewEvent());
    stop_event = stopEvent.get();
    result = kWaitEndedQuietly;
  }
  int outcome = kWaitEndedQuietly;
  // False when the worker could not be started or joined.
  const bool ran = ContainFailure(false, [&] {
    std::thread worker([this, stop_event, &outcome] { outcome = WatchUserState(stop_event); });
    worker.join();
    return true;
  });
  {
    // The wait is over: the stop event goes, under the lock, so that a stop either signalled it
    // before or finds none.
    std::lock_guard<std::mutex> guard(lock_);
    stopEvent.reset();
    result = ran ? outcome : kWaitEndedQuietly;
    waiting_ = false;
  }
  *out = ran ? outcome : kWaitEndedQuietly;
  return ran;
}

bool CDPALUpdater::StopWait() {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopEvent) SetEvent(stopEvent.get());
  return true;
}

bool CDPALUpdater::IsWaitingForTesting() const {
  std::lock_guard<std::mutex> guard(lock_);
  return waiting_;
}

int CDPALUpdater::WatchUserState(HANDLE stop_event) {
  DWORD start = 0;
  if (!ReadUserApplyState(&start)) return kStartReadFailed;
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, layout::kUserApplyStateKey, 0, layout::kReadAccess,
                    key.Put()) == ERROR_SUCCESS) {
    if (RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changeEvent.get(),
                                TRUE) != ERROR_SUCCESS) {
      return kWaitEndedQuietly;
    }
  } else if (!ResetEvent(changeEvent.get())) {
    // Arming clears a signal left by the last wait's key as it closed; without the key nothing
    // is armed, so the signal is cleared here, or it would pass for a change.
    return kWaitEndedQuietly;
  }
  // Without the key nothing is armed, and only the stop ends the wait.
  const HANDLE events[] = {changeEvent.get(), stop_event};
  const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  if (woken != WAIT_OBJECT_0) return kWaitEndedQuietly;  // the stop, or a failed wait
  // One notification ends the wait; the watch is not armed again.
  DWORD now = 0;
  if (!ReadUserApplyState(&now) || now == start) return kWaitEndedQuietly;
  if (now == 1) return kChangedToOn;
  if (now == 0) return kChangedToOff;
  return kWaitEndedQuietly;
}

CDPALUpdater& Updater() {
  if (CDPALUpdater* existing = g_updater.load(std::memory_order_acquire)) return *existing;
  std::lock_guard<std::mutex> guard(CreationLock());
  CDPALUpdater* updater = g_updater.load(std::memory_order_relaxed);
  if (updater == nullptr) {
    updater = new CDPALUpdater();
    g_updater.store(updater, std::memory_order_release);
  }
  return *updater;
}

void ForgetUpdaterForTesting() {
  std::lock_guard<std::mutex> guard(CreationLock());
  static std::vector<CDPALUpdater*>* forgotten = new std::vector<CDPALUpdater*>();
  if (CDPALUpdater* updater = g_updater.exchange(nullptr)) forgotten->push_back(updater);
}

int WaitForUsrUpdate() {
  return ContainFailure(0, [] {
    int code = kWaitEndedQuietly;
    return Updater().WaitForUpdate(&code) ? code : kWaitEndedQuietly;
  });
}

int StopWaitForUsrUpdate() {
  return ContainFailure(0, [] {
    Updater().StopWait();
    return 1;
  });
}

}  // namespace dpal::core
