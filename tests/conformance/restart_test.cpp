// The end of a service's process in the simulated machine: what the process held goes with it,
// and its threads never run again (sim only).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/sim_test.h"

namespace {

#if DPAL_SIM

using namespace std::chrono_literals;
using dpal::test::PlatformTest;

// A service that reports RUNNING and waits until its handler is asked to stop; `g_before_wait`
// (when set) runs between the two. Every process of it counts its ServiceMain calls.
std::atomic<int> g_mains{0};
std::function<void()> g_before_wait;

struct Waiting {
  HANDLE stop = nullptr;
  SERVICE_STATUS_HANDLE status = nullptr;
  void Report(DWORD state) {
    SERVICE_STATUS report = {SERVICE_WIN32_OWN_PROCESS,
                             state,
                             state == SERVICE_RUNNING ? DWORD{SERVICE_ACCEPT_STOP} : 0,
                             NO_ERROR,
                             0,
                             0,
                             0};
    SetServiceStatus(status, &report);
  }
};

DWORD WINAPI WaitingHandler(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(static_cast<Waiting*>(context)->stop);
  return NO_ERROR;
}

void WINAPI WaitingMain(DWORD, LPWSTR* argv) {
  ++g_mains;
  Waiting service;
  service.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  service.status = RegisterServiceCtrlHandlerExW(argv[0], WaitingHandler, &service);
  service.Report(SERVICE_RUNNING);
  if (g_before_wait) g_before_wait();
  WaitForSingleObject(service.stop, INFINITE);
  CloseHandle(service.stop);
  service.Report(SERVICE_STOPPED);
}

int WaitingProgram() {
  WCHAR name[] = L"Waiting";
  const SERVICE_TABLE_ENTRYW table[] = {{name, WaitingMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

sim::ServiceSpec WaitingService(const std::wstring& name, DWORD start_type) {
  sim::ServiceSpec spec;
  spec.name = name;
  spec.image_path = L"C:\\Program Files\\Waiting\\" + name + L".exe";
  spec.start_type = start_type;
  spec.program = WaitingProgram;
  return spec;
}

// A gate a test opens for a thread it holds.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

using ProcessEnd = PlatformTest;

// What a service's process holds goes with its end, and its threads never run again: a thread
// that its code started (it acts as the process identity) and that calls the platform after the
// end does not return from the call, and one that waits never wakes. The test's own handles are
// still the test's.
TEST_F(ProcessEnd, ThreadsOfAnEndedServiceNeverRunAgain) {
  const std::wstring image = L"C:\\Program Files\\Worker\\worker.exe";
  sim::SetProcessIdentity(sim::LocalSystem(image));  // the test plays the service's program
  HANDLE own = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(own, nullptr);

  Gate resume;
  std::mutex lock;
  std::condition_variable changed;
  int ready = 0;
  std::atomic<bool> returned{false};
  auto started = [&] {
    std::lock_guard<std::mutex> guard(lock);
    ++ready;
    changed.notify_all();
  };
  // ServiceMain starts two threads: one takes what a launch holds, waits for the test and then
  // calls again; the other waits on an event that nothing sets.
  g_before_wait = [&] {
    std::thread([&] {
      HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      void* memory = LocalAlloc(LPTR, 64);
      HANDLE user = nullptr;
      PROFILEINFOW profile = {};
      profile.dwSize = sizeof(profile);
      WCHAR name[] = L"Administrator";
      profile.lpUserName = name;
      const bool holding = event && memory && WTSQueryUserToken(1, &user) &&
                           LoadUserProfileW(user, &profile) && ImpersonateLoggedOnUser(user);
      EXPECT_TRUE(holding) << GetLastError();
      started();
      resume.Pass();
      SetEvent(event);
      returned = true;
    }).detach();
    std::thread([&] {
      HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      started();
      WaitForSingleObject(never, INFINITE);
      returned = true;
    }).detach();
  };
  sim::ServiceSpec spec = WaitingService(L"Worker", SERVICE_DEMAND_START);
  spec.image_path = image;
  sim::InstallService(spec);
  ASSERT_EQ(sim::StartServiceAsScm(L"Worker"), static_cast<DWORD>(NO_ERROR));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return ready == 2; }));
  }
  sim::LeakReport held = sim::Leaks();
  EXPECT_EQ(held.impersonating_threads, 1);
  EXPECT_EQ(held.loaded_profiles, 1);
  EXPECT_EQ(held.local_allocations, 1);

  ASSERT_EQ(sim::SendServiceControl(L"Worker", SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceProcessExit(L"Worker", 10s));
  EXPECT_TRUE(sim::WaitForStoppedThreads(1, 10s)) << "the waiting thread stops in its wait";
  resume.Open();
  EXPECT_TRUE(sim::WaitForStoppedThreads(2, 10s)) << "the held thread stops at its next call";
  EXPECT_FALSE(returned.load());

  const sim::LeakReport leaks = sim::Leaks();
  EXPECT_EQ(leaks.Describe(), "1 open event handle(s); ")
      << "all that is left is the test's own event";
  EXPECT_EQ(sim::LoadedProfileCount(), 0);
  EXPECT_TRUE(sim::IsHiveLoaded(HKEY_USERS, sim::DefaultAdmin().user_sid))
      << "the console user's hive stays with the logon";
  CloseHandle(own);
  g_before_wait = nullptr;
  sim::SetProcessIdentity(sim::DefaultAdmin());
}

#endif  // DPAL_SIM

}  // namespace
