#include "tools/scenario/tracker.h"

namespace dpal::scenario {

namespace {

// Tells the tracker when a thread that made platform calls ends.
struct EndNotice {
  uint64_t thread = 0;
  std::weak_ptr<Tracker> tracker;
  ~EndNotice() {
    if (thread == 0) return;
    if (std::shared_ptr<Tracker> owner = tracker.lock()) owner->Ended(thread);
  }
};

}  // namespace

const char* RoleName(Role role) {
  switch (role) {
    case Role::Runner: return "runner";
    case Role::Dispatcher: return "dispatcher";
    case Role::Service: return "service main";
    case Role::Watch: return "watch";
    case Role::Worker: return "worker";
  }
  return "?";
}

void Tracker::Begin(Clock::time_point origin) {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
  threads_.clear();
  origin_ = origin;
  runner_ = std::this_thread::get_id();
}

void Tracker::Attach() {
  std::shared_ptr<Tracker> self = shared_from_this();
  sim::SetTraceSink([self](const sim::Call& call) { self->Record(call); });
}

void Tracker::Detach() { sim::SetTraceSink(nullptr); }

void Tracker::Record(const sim::Call& call) {
  const bool on_runner = std::this_thread::get_id() == runner_;
  if (on_runner && quiet_ > 0) return;
  static thread_local EndNotice notice;
  notice.thread = call.thread;
  notice.tracker = weak_from_this();
  std::lock_guard<std::mutex> guard(lock_);
  log_.push_back(LoggedCall{call.thread, Clock::now(), call.function, call.args});
  Thread& thread = threads_[call.thread];
  thread.calls.push_back(log_.size() - 1);
  if (on_runner) {
    thread.role = Role::Runner;
  } else if (call.function == "StartServiceCtrlDispatcherW") {
    thread.role = Role::Dispatcher;
  } else if (call.function == "RegisterServiceCtrlHandlerExW") {
    thread.role = Role::Service;
  }
  changed_.notify_all();
}

void Tracker::MarkWatch(uint64_t thread) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = threads_.find(thread);
  if (it != threads_.end() && it->second.role == Role::Worker) it->second.role = Role::Watch;
}

void Tracker::Ended(uint64_t thread) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = threads_.find(thread);
  if (it != threads_.end()) it->second.alive = false;
  changed_.notify_all();
}

void Tracker::AwaitChange() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_for(guard, std::chrono::milliseconds(2));
}

size_t Tracker::LogSize() {
  return With([](auto& log, auto&) { return log.size(); });
}

}  // namespace dpal::scenario
