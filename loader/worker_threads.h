// Detached worker threads of a sub-controller. The service never waits for them: they end on
// their own or with the process. The owner's destructor (which the service never runs: its
// sub-controllers live as long as its process) waits until the last of them has stopped
// touching it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace dpal {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts work on a new detached thread; the work begins once the thread is detached. False
  // when the thread cannot be created (the exception is caught), in which case the work does
  // not run.
  bool Spawn(std::function<void()> work);

  // Blocks until no work started by Spawn is running.
  void WaitIdle();

  // Work started by Spawn on any WorkerThreads of the process that has not finished yet, for an
  // observer that waits for the service's work to settle. The service does not use it.
  static int RunningInProcessForTesting();

 private:
  std::mutex lock_;
  std::condition_variable idle_;
  int running_ = 0;
};

}  // namespace dpal
