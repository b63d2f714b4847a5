// The whole service on a simulated laptop, through the service control manager: start-up,
// logons, apply-state changes, user codes and stops, including the races between them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "loader/shared/registry.h"
#include "tests/support/platform_test.h"
#include "tests/support/service_settle.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
using Switches = std::vector<std::wstring>;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;

// A gate the stand-in program can be held at, to make launches overlap on purpose.
class Gate {
 public:
  void Close() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = false;
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> guard(lock_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return open_; });
    --waiting_;
  }
  bool WaitForWaiting(int count) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, 10s, [&] { return waiting_ >= count; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = true;
  int waiting_ = 0;
};

class Service : public dpal::test::PlatformTest {
 protected:
  void Provision(laptop::Options options = laptop::Options()) {
    laptop::Provision(options);
    laptop::InstallStandIn([this](const laptop::Run&) {
      gate_.Pass();
      return DWORD{0};
    });
  }
  // Starts the service and waits until its start-up run has looked at the console session and
  // its watch of the apply state is armed, so that what the test does next comes after both.
  void Start() {
    sim::RecordTrace(true);
    ASSERT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, 10s));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!dpal::test::ServiceSettled()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the service did not settle";
      std::unique_lock<std::mutex> guard(poll_lock_);
      poll_.wait_for(guard, 1ms);
    }
  }
  // Waits for a condition that another thread makes true.
  template <typename Condition>
  bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::unique_lock<std::mutex> guard(poll_lock_);
      poll_.wait_for(guard, 1ms);
    }
    return true;
  }
  void Stop() {
    ASSERT_EQ(sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP),
              static_cast<DWORD>(NO_ERROR));
    WaitStopped();
  }
  void WaitStopped() {
    ASSERT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_STOPPED, 10s));
    ASSERT_TRUE(sim::WaitForServiceProcessExit(laptop::kServiceName, 10s));
  }
  Switches Launched(size_t count) {
    EXPECT_TRUE(sim::WaitForLaunches(count, 10s)) << "waiting for " << count << " launches";
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    return laptop::Switches();
  }
  void WriteState(DWORD value) {
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue,
                         value);
  }
  void TearDown() override {
    gate_.Open();
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    // The service's controller and its detached threads live as long as the service process
    // would; in the sim that is the test process, so they are not leaks.
    KeepLeaksOnPurpose();
    PlatformTest::TearDown();
  }

  Gate gate_;
  std::mutex poll_lock_;
  std::condition_variable poll_;
};

TEST_F(Service, ADayFromBootToStop) {
  Provision();
  sim::LogOff(1);  // booted to the logon screen
  WriteState(1);
  Start();
  sim::LogOn(1, L"S-1-5-21-1-2-3-1001", L"alice");
  ASSERT_EQ(sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, 1),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Launched(1), Switches{L"/i"});
  EXPECT_TRUE(Eventually([] {
    return dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey,
                                layout::kStateValue) == 1;
  })) << "the accepted install marks the installation done";

  WriteState(0);
  EXPECT_EQ(Launched(2), (Switches{L"/i", L"/rs"}));
  WriteState(1);
  EXPECT_EQ(Launched(3), (Switches{L"/i", L"/rs", L"/ss"}));
  ASSERT_EQ(sim::SendServiceControl(laptop::kServiceName, 254), static_cast<DWORD>(NO_ERROR));
  ASSERT_EQ(sim::SendServiceControl(laptop::kServiceName, 255), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Launched(5), (Switches{L"/i", L"/rs", L"/ss", L"/su", L"/ss"}));
  for (const sim::Launch& launch : sim::Launches()) {
    EXPECT_EQ(launch.session_id, 1u);
    EXPECT_EQ(launch.desktop, L"WinSta0\\Default");
  }
  Stop();
  const auto reports = sim::ServiceStatusReports(laptop::kServiceName);
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(sim::ServiceStartType(laptop::kServiceName), static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(Service, RestartWithAnAlteredProfileRestoresIt) {
  laptop::Options options;
  options.install_pending = false;
  Provision(options);
  auto bytes = laptop::Profiles()[0].bytes;
  bytes[150 % bytes.size()] ^= 0x01;
  sim::PutFile(laptop::ProfilePath(laptop::Profiles()[0]), bytes);
  Start();  // a user is active at the console
  EXPECT_EQ(Launched(1), Switches{L"/r"});
  Stop();
}

TEST_F(Service, UnsupportedFirmwareStopsAndDemotesTheService) {
  laptop::Options options;
  options.firmware = L"XYZDE12X";
  Provision(options);
  ASSERT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
  WaitStopped();
  EXPECT_EQ(sim::ServiceStartType(laptop::kServiceName), static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_TRUE(sim::Launches().empty());
}

TEST_F(Service, StartupAndLogonRunsOverlap) {
  Provision();
  gate_.Close();
  Start();  // the start-up run installs and is held in the program
  ASSERT_TRUE(gate_.WaitForWaiting(1));
  // A logon while the start-up run is still inside its launch starts a run of its own.
  ASSERT_EQ(sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, 1),
            static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(gate_.WaitForWaiting(2));
  gate_.Open();
  EXPECT_EQ(Launched(2), (Switches{L"/i", L"/i"}));
  Stop();
}

TEST_F(Service, StopWhileALaunchBlocksEndsTheService) {
  laptop::Options options;
  options.install_pending = false;
  Provision(options);
  WriteState(0);
  Start();
  gate_.Close();
  WriteState(1);
  ASSERT_TRUE(gate_.WaitForWaiting(1));  // "/ss" is running and its watch thread waits for it
  Stop();                                // the service stops without waiting for the program
  gate_.Open();
  EXPECT_EQ(Launched(1), Switches{L"/ss"});
}

TEST_F(Service, TheEndOfItsProcessCutsOffAnInstallBetweenLaunchAndMark) {
  Provision();  // an installation is pending; the default user is active at the console
  gate_.Close();
  Start();  // the start-up run launches "/i", and the program is held
  ASSERT_TRUE(gate_.WaitForWaiting(1));
  // The service stops while the start-up run waits for the program: the process ends with its
  // STOPPED report, and the run's thread with it, before the program has ended.
  Stop();
  ASSERT_TRUE(sim::WaitForStoppedThreads(1, 10s)) << "the start-up run's thread was not cut off";
  gate_.Open();
  ASSERT_TRUE(sim::WaitForProcessesToEnd(10s));

  EXPECT_EQ(laptop::Switches(), Switches{L"/i"});
  EXPECT_EQ(dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue),
            0u)
      << "the installation is still pending: the run never got to mark it done";
  // What the process held (the controller's events, and the run's tokens, profile, environment,
  // user name, program handles, file and impersonation) went with it.
  const sim::LeakReport leaks = sim::Leaks();
  EXPECT_TRUE(leaks.Clean()) << leaks.Describe();
}

TEST_F(Service, WatchThatEndsOnAFailureStopsTheService) {
  laptop::Options options;
  options.install_pending = false;
  Provision(options);
  WriteState(0);
  Start();
  sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("unsigned replacement"));
  WriteState(1);  // the launch is refused: the watch ends, and with it the service
  WaitStopped();
  EXPECT_TRUE(sim::Launches().empty());
}

}  // namespace
