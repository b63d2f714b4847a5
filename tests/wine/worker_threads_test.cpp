// The service's detached worker threads on the real thread library (MinGW-w64's winpthreads under
// Wine). There, a thread that has finished its work before it is detached gives its descriptor
// back for reuse only in detach(), while its own exit (the thread-detach callbacks, run under
// the loader lock) still goes on to clear that descriptor. A thread created at that moment gets
// the same descriptor and can be wiped out before it starts: it then ends without running its
// work, or crashes. The service hits this when its start-up run ends at once and the watch of
// the apply state is started right after it.
//
// The test holds a finished worker in its thread-detach callbacks (a callback of this program
// runs before the thread library's) while the next worker is spawned, and lets it go on once
// that one is created: the next worker must still run its work.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "loader/worker_threads.h"
#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;

std::atomic<DWORD> g_held_thread{0};  // the worker to hold at its exit
HANDLE g_at_exit = nullptr;           // set once that worker is held
HANDLE g_go_on = nullptr;             // lets it go on

void NTAPI HoldAtThreadExit(PVOID /*module*/, DWORD reason, PVOID /*reserved*/) {
  if (reason != DLL_THREAD_DETACH || GetCurrentThreadId() != g_held_thread.load()) return;
  SetEvent(g_at_exit);
  // Bounded, so that a fault cannot keep the loader lock for good.
  WaitForSingleObject(g_go_on, 10000);
}

}  // namespace

// The program's thread callbacks run in the order of their sections: .CRT$XLE comes before the
// thread library's .CRT$XLF.
extern "C" {
__attribute__((section(".CRT$XLE"), used)) PIMAGE_TLS_CALLBACK g_hold_at_thread_exit =
    HoldAtThreadExit;
}

namespace {

bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Each round is one chance for the first worker to end before it is detached; the rounds make
// that case certain to come up.
TEST(WorkerThreadsOnWine, AWorkerSpawnedWhileAnotherEndsRunsItsWork) {
  g_at_exit = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_go_on = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(g_at_exit, nullptr);
  ASSERT_NE(g_go_on, nullptr);
  // Left alive when a worker is lost: its destructor would wait for that worker for good.
  auto* workers = new dpal::WorkerThreads();
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(workers->Spawn([] { g_held_thread.store(GetCurrentThreadId()); }));
    ASSERT_EQ(WaitForSingleObject(g_at_exit, 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "round " << round << ": the first worker did not reach its exit";
    std::atomic<bool> ran{false};
    ASSERT_TRUE(workers->Spawn([&ran] { ran.store(true); }));
    SetEvent(g_go_on);
    ASSERT_TRUE(WaitFor(ran, 10s)) << "round " << round << ": the second worker never ran";
    workers->WaitIdle();
  }
  delete workers;
  CloseHandle(g_go_on);
  CloseHandle(g_at_exit);
}

}  // namespace
