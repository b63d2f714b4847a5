#include "loader/worker_threads.h"

#include <atomic>
#include <exception>
#include <thread>

namespace dpal {

namespace {

std::atomic<int> g_running_in_process{0};

}  // namespace

WorkerThreads::~WorkerThreads() { WaitIdle(); }

bool WorkerThreads::Spawn(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++running_;
  }
  g_running_in_process.fetch_add(1);
  try {
    std::thread([this, work = std::move(work)] {
      work();
      g_running_in_process.fetch_sub(1);
      // The last touch of this object: notify while holding the lock, so that a waiting
      // destructor cannot run before the lock is released.
      std::lock_guard<std::mutex> guard(lock_);
      --running_;
      idle_.notify_all();
    }).detach();
    return true;
  } catch (const std::exception&) {
    g_running_in_process.fetch_sub(1);
    std::lock_guard<std::mutex> guard(lock_);
    --running_;
    idle_.notify_all();
    return false;
  }
}

int WorkerThreads::RunningInProcess() { return g_running_in_process.load(); }

void WorkerThreads::WaitIdle() {
  std::unique_lock<std::mutex> guard(lock_);
  idle_.wait(guard, [this] { return running_ == 0; });
}

}  // namespace dpal
