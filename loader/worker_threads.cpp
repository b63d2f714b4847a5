#include "loader/worker_threads.h"

#include <exception>
#include <thread>

namespace dpal {

WorkerThreads::~WorkerThreads() { WaitIdle(); }

bool WorkerThreads::Spawn(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++running_;
  }
  try {
    std::thread([this, work = std::move(work)] {
      work();
      // The last touch of this object: notify while holding the lock, so that a waiting
      // destructor cannot run before the lock is released.
      std::lock_guard<std::mutex> guard(lock_);
      --running_;
      idle_.notify_all();
    }).detach();
    return true;
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> guard(lock_);
    --running_;
    idle_.notify_all();
    return false;
  }
}

void WorkerThreads::WaitIdle() {
  std::unique_lock<std::mutex> guard(lock_);
  idle_.wait(guard, [this] { return running_ == 0; });
}

}  // namespace dpal
