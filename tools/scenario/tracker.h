// Every platform call made while a scenario plays, and the threads that made them: which of them
// still run, what each asked last, and what part it plays in the service. Sim build only.
//
// One tracker belongs to one play. The sim's trace sink feeds it on whatever thread makes a call;
// the sink and each thread's notice of its end hold it by a shared or weak pointer, as service
// threads may outlive the play (and main).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim.h"

namespace dpal::scenario {

using Clock = std::chrono::steady_clock;

enum class Role { Runner, Dispatcher, Service, Watch, Worker };

const char* RoleName(Role role);

struct LoggedCall {
  uint64_t thread = 0;
  Clock::time_point time;
  std::string function;
  std::wstring args;
};

class Tracker : public std::enable_shared_from_this<Tracker> {
 public:
  struct Thread {
    bool alive = true;
    Role role = Role::Worker;
    std::vector<size_t> calls;  // indexes into the log
  };

  // Starts the log afresh at `origin`; the calling thread is the runner's.
  void Begin(Clock::time_point origin);

  // Installs this tracker as the sim's trace sink; Detach() takes it out again.
  void Attach();
  static void Detach();

  void Record(const sim::Call& call);
  // The service's watch of the apply state, as the blocked-thread query shows it.
  void MarkWatch(uint64_t thread);
  void Ended(uint64_t thread);

  // Waits until something is recorded, a thread ends, or a short while has passed (for what no
  // call announces, such as a program's end).
  void AwaitChange();

  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> guard(lock_);
    return f(log_, threads_);
  }

  size_t LogSize();
  Clock::time_point origin() const { return origin_; }

  // While one lives, the calls the runner makes (to look at the machine) are not part of the
  // timeline. Only the runner's thread uses it.
  class Quiet {
   public:
    explicit Quiet(Tracker& tracker) : tracker_(tracker) { ++tracker_.quiet_; }
    ~Quiet() { --tracker_.quiet_; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

   private:
    Tracker& tracker_;
  };

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<LoggedCall> log_;
  std::map<uint64_t, Thread> threads_;
  Clock::time_point origin_;
  std::thread::id runner_;
  int quiet_ = 0;  // read and written on the runner's thread only
};

using Quiet = Tracker::Quiet;

}  // namespace dpal::scenario
