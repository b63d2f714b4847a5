#include "loader/worker_threads.h"

#include <atomic>
#include <thread>

#include "common/failure_boundary.h"

namespace dpal {

namespace {

std::atomic<int> g_running_in_process{0};

}  // namespace

WorkerThreads::~WorkerThreads() { WaitIdle(); }

bool WorkerThreads::Spawn(std::function<void()> work) {
  // The lock is held from before the thread exists until it has been detached, and the thread
  // takes it before its work: so no thread can end before it is detached. MinGW-w64's thread
  // library mishandles a thread that has ended by then: detach() gives its descriptor back for
  // reuse while the ending thread's own exit still clears it, and the next thread created gets
  // that descriptor and is wiped out before it starts (it never runs its work, or it crashes).
  // A thread detached before its end cleans up after itself safely.
  std::unique_lock<std::mutex> guard(lock_);
  ++running_;
  g_running_in_process.fetch_add(1);
  const bool started = ContainFailure(false, [&] {
    std::thread([this, work = std::move(work)] {
      { std::lock_guard<std::mutex> detached(lock_); }
      work();
      g_running_in_process.fetch_sub(1);
      // The last touch of this object: notify while holding the lock, so that a waiting
      // destructor cannot run before the lock is released.
      std::lock_guard<std::mutex> done(lock_);
      --running_;
      idle_.notify_all();
    }).detach();
    return true;
  });
  if (started) return true;
  g_running_in_process.fetch_sub(1);
  --running_;
  idle_.notify_all();
  return false;
}

int WorkerThreads::RunningInProcessForTesting() { return g_running_in_process.load(); }

void WorkerThreads::WaitIdle() {
  std::unique_lock<std::mutex> guard(lock_);
  idle_.wait(guard, [this] { return running_ == 0; });
}

}  // namespace dpal
