// The fail-fast end of a process: RaiseFailFastException ends the calling thread's process at
// once, running nothing more of it. A thread of a simulated process ends that process, as
// TerminateProcess would (what it owned is released, its other threads stop where they next meet
// the machine); a thread of the host belongs to no process that the machine could end, so only
// it stops. Either way the calling thread never returns, and the end is counted for the tests.
#include <mutex>
#include <vector>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/winbase.h"

namespace sim {
namespace {

struct FailFasts {
  std::mutex lock;
  std::vector<uint64_t> threads;
};

FailFasts& Ended() {
  static FailFasts* ended = new FailFasts();  // never destroyed: stopped threads outlive it
  return *ended;
}

}  // namespace

std::vector<uint64_t> FailFastThreads() {
  std::lock_guard<std::mutex> guard(Ended().lock);
  return Ended().threads;
}

}  // namespace sim

using namespace sim;

extern "C" void WINAPI RaiseFailFastException(PEXCEPTION_RECORD pExceptionRecord,
                                              PCONTEXT pContextRecord, DWORD dwFlags) {
  // Like a release, the end of the process cannot be refused: a fault aimed at it is ignored.
  SIM_ENTER_RELEASE(static_cast<const void*>(pExceptionRecord),
                    static_cast<const void*>(pContextRecord), dwFlags);
  {
    std::lock_guard<std::mutex> guard(Ended().lock);
    Ended().threads.push_back(ThreadNumber());
  }
  {
    Lock lock(MachineLock());
    if (const std::shared_ptr<SimProcess> process = CurrentProcess()) EndProcessLocked(*process);
  }
  StopThisThreadForGood();
}
