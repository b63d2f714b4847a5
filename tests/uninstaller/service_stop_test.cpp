// Stopping the loader service before the cleanup, against a simulated service control manager
// whose loader service stops promptly, slowly, or not at all.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/registry_layout.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "platform/sim/snapshot.h"
#include "uninstaller/routines.h"

namespace {

using namespace std::chrono_literals;
using dpal::layout::kServiceName;

// How the stand-in loader service answers a stop.
enum class StopKind {
  Prompt,   // STOPPED from the handler itself
  Gradual,  // STOP_PENDING with a checkpoint that moves every 20 ms, STOPPED after 200 ms
  Never,    // STOP_PENDING with a wait hint and a checkpoint that never moves
};

struct Behaviour {
  std::mutex lock;
  std::condition_variable changed;
  StopKind kind = StopKind::Prompt;
  DWORD never_wait_hint = 60000;
  int stops = 0;          // stop controls delivered
  bool released = false;  // the test ends a service that never stops
  SERVICE_STATUS_HANDLE status = nullptr;
};
Behaviour* g_behaviour = nullptr;

void Report(DWORD state, DWORD checkpoint, DWORD wait_hint) {
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS,
                           state,
                           state == SERVICE_RUNNING ? DWORD{SERVICE_ACCEPT_STOP} : 0,
                           NO_ERROR,
                           0,
                           checkpoint,
                           wait_hint};
  SetServiceStatus(g_behaviour->status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
  std::lock_guard<std::mutex> guard(g_behaviour->lock);
  ++g_behaviour->stops;
  switch (g_behaviour->kind) {
    case StopKind::Prompt: Report(SERVICE_STOPPED, 0, 0); break;
    case StopKind::Gradual: Report(SERVICE_STOP_PENDING, 1, 100); break;
    case StopKind::Never: Report(SERVICE_STOP_PENDING, 1, g_behaviour->never_wait_hint); break;
  }
  g_behaviour->changed.notify_all();
  return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR* argv) {
  g_behaviour->status = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  Report(SERVICE_RUNNING, 0, 0);
  std::unique_lock<std::mutex> guard(g_behaviour->lock);
  g_behaviour->changed.wait(guard, [] { return g_behaviour->stops > 0 || g_behaviour->released; });
  if (g_behaviour->kind == StopKind::Gradual) {
    for (DWORD checkpoint = 2; checkpoint <= 10; ++checkpoint) {
      g_behaviour->changed.wait_for(guard, 20ms, [] { return g_behaviour->released; });
      Report(SERVICE_STOP_PENDING, checkpoint, 100);
    }
    Report(SERVICE_STOPPED, 0, 0);
  } else if (g_behaviour->kind == StopKind::Never) {
    g_behaviour->changed.wait(guard, [] { return g_behaviour->released; });
    Report(SERVICE_STOPPED, 0, 0);
  }
}

WCHAR g_name[] = L"TarvexDPALLoader";

int Program() {
  const SERVICE_TABLE_ENTRYW table[] = {{g_name, Main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

class StopService : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    g_behaviour = new Behaviour();
    sim::SetServiceTimeouts(10s, 10s);
    sim::ServiceSpec spec;
    spec.name = kServiceName;
    spec.image_path = L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALLoader.exe";
    spec.start_type = SERVICE_AUTO_START;
    spec.program = Program;
    sim::InstallService(spec);
    sim::SetProcessIdentity(sim::LocalSystem(L"C:\\Windows\\Temp\\TarvexDPALUninstaller.exe"));
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> guard(g_behaviour->lock);
      g_behaviour->released = true;
      g_behaviour->changed.notify_all();
    }
    if (!sim::ServiceExists(kServiceName) || sim::WaitForServiceProcessExit(kServiceName, 10s)) {
      delete g_behaviour;
    } else {
      ADD_FAILURE() << "the service still runs; its state is kept for its threads";
    }
    g_behaviour = nullptr;
    PlatformTest::TearDown();
  }

  void StartRunning(StopKind kind) {
    g_behaviour->kind = kind;
    ASSERT_EQ(sim::StartServiceAsScm(kServiceName), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(sim::WaitForServiceState(kServiceName, SERVICE_RUNNING, 10s));
  }
  static int Stops() {
    std::lock_guard<std::mutex> guard(g_behaviour->lock);
    return g_behaviour->stops;
  }
  static DWORD StateNow() { return sim::ServiceStatusNow(kServiceName).dwCurrentState; }
};

TEST_F(StopService, RunningServiceIsAskedOnceAndStoppedWhenTheRoutineReturns) {
  StartRunning(StopKind::Gradual);
  dpal::uninstaller::StopLoaderService();
  EXPECT_EQ(StateNow(), static_cast<DWORD>(SERVICE_STOPPED))
      << "the routine returned before the service had stopped";
  EXPECT_EQ(Stops(), 1);
  EXPECT_EQ(sim::ServiceStartType(kServiceName), static_cast<DWORD>(SERVICE_AUTO_START))
      << "neither deleted nor reconfigured";
}

TEST_F(StopService, TheDifferenceIsTheServiceStateAlone) {
  StartRunning(StopKind::Gradual);
  const sim::Snapshot before = sim::TakeSnapshot();
  dpal::uninstaller::StopLoaderService();
  const sim::SnapshotDiff diff = sim::DifferenceFrom(before);
  ASSERT_FALSE(diff.Empty());
  for (const sim::SnapshotChange& change : diff.Changes()) {
    EXPECT_EQ(change.part, "services") << change.Detail();
    EXPECT_EQ(change.kind, sim::SnapshotChange::Kind::Changed) << change.Detail();
    EXPECT_NE(change.item.find("TarvexDPALLoader"), std::string::npos) << change.Detail();
  }
}

TEST_F(StopService, AServiceAlreadyStoppingGetsNoNewRequestButIsWaitedFor) {
  StartRunning(StopKind::Gradual);
  ASSERT_EQ(sim::SendServiceControl(kServiceName, SERVICE_CONTROL_STOP),
            static_cast<DWORD>(NO_ERROR));
  ASSERT_EQ(StateNow(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  sim::ClearTrace();
  dpal::uninstaller::StopLoaderService();
  EXPECT_EQ(StateNow(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(sim::CallCount("ControlService"), 0u);
  EXPECT_EQ(Stops(), 1);
}

// The wait is bounded: 20 s at most, less when the service makes no progress within its own
// wait hint. The clock is virtual, so the bound passes without real waiting.
TEST_F(StopService, AServiceThatDoesNotStopHoldsTheCleanupForTwentySecondsAtMost) {
  StartRunning(StopKind::Never);
  sim::UseVirtualClock(true);
  const ULONGLONG before = GetTickCount64();
  dpal::uninstaller::StopLoaderService();
  const ULONGLONG waited = GetTickCount64() - before;
  EXPECT_GE(waited, 20000u);
  EXPECT_LT(waited, 20600u);
  EXPECT_EQ(StateNow(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(Stops(), 1);
}

TEST_F(StopService, AServiceWithoutProgressWithinItsWaitHintIsNotWaitedForLonger) {
  g_behaviour->never_wait_hint = 3000;
  StartRunning(StopKind::Never);
  sim::UseVirtualClock(true);
  const ULONGLONG before = GetTickCount64();
  dpal::uninstaller::StopLoaderService();
  const ULONGLONG waited = GetTickCount64() - before;
  EXPECT_GT(waited, 3000u);
  EXPECT_LT(waited, 3600u);
}

TEST_F(StopService, StoppedOrMissingServiceGetsNoRequest) {
  dpal::uninstaller::StopLoaderService();
  EXPECT_EQ(sim::CallCount("ControlService"), 0u);
  EXPECT_EQ(sim::CallCount("QueryServiceStatusEx"), 1u);
  EXPECT_EQ(StateNow(), static_cast<DWORD>(SERVICE_STOPPED));

  sim::SetProcessIdentity(sim::DefaultAdmin());
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE);
  ASSERT_TRUE(DeleteService(service));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  sim::ClearTrace();
  dpal::uninstaller::StopLoaderService();
  EXPECT_EQ(sim::CallCount("QueryServiceStatusEx"), 0u) << "no service, nothing to ask";
}

TEST_F(StopService, ARefusedStopRequestIsNotWaitedFor) {
  StartRunning(StopKind::Never);
  sim::FailAlways("ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
  sim::UseVirtualClock(true);
  const ULONGLONG before = GetTickCount64();
  dpal::uninstaller::StopLoaderService();
  EXPECT_LT(GetTickCount64() - before, 100u);
  sim::ClearFaults();
  EXPECT_EQ(Stops(), 0);
}

TEST_F(StopService, EveryFailingCallLeavesNothingBehind) {
  // A service that is stopping and never gets there: every run meets the same machine.
  StartRunning(StopKind::Never);
  ASSERT_EQ(sim::SendServiceControl(kServiceName, SERVICE_CONTROL_STOP),
            static_cast<DWORD>(NO_ERROR));
  sim::UseVirtualClock(true);
  dpal::test::SweepOptions options;
  options.limit = 400;
  const uint64_t calls = dpal::test::SweepFaults(
      [] {
        const ULONGLONG before = GetTickCount64();
        dpal::uninstaller::StopLoaderService();
        return GetTickCount64() - before;
      },
      [](ULONGLONG waited, uint64_t n, bool) {
        EXPECT_LE(waited, 20600u) << "with call " << n << " failing";
      },
      options);
  EXPECT_GT(calls, 3u);
  EXPECT_EQ(Stops(), 1) << "a stopping service never gets another request";
}

}  // namespace
