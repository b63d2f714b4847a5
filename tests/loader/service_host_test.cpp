// The service host against the simulated service control manager: the fixed status reports,
// the ready-event wait, the start-type switch, the stop path and the forwarding of controls.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/registry_layout.h"
#include "harness/laptop.h"
#include "loader/controller.h"
#include "loader/service_host.h"
#include "loader/shared/device_lookup.h"
#include "tests/support/platform_test.h"

namespace {

using namespace std::chrono_literals;
using Control = std::pair<DWORD, DWORD>;

constexpr const wchar_t* kName = dpal::layout::kServiceName;
constexpr const wchar_t* kImage = L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALLoader.exe";

// Sub-controllers that behave as the real ones do towards the host: Stop sets the completion
// event; they remember every control they receive.
// Counts the sub-controllers the service has started, for a test to wait on.
class StartCount {
 public:
  void Add() {
    std::lock_guard<std::mutex> guard(lock_);
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, 10s, [&] { return count_ >= count; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

class RecordingSub : public dpal::CAbstractSubController {
 public:
  RecordingSub(bool supported, StartCount& starts) : supported_(supported), starts_(starts) {}
  bool IsSupported() override { return supported_; }
  bool Start() override {
    starts_.Add();
    return true;
  }
  bool Stop() override { return SetEvent(CompletionEvent()) != FALSE; }
  bool Wait() override { return true; }
  bool OnServiceControl(DWORD control, DWORD event_type) override {
    std::lock_guard<std::mutex> guard(lock_);
    controls_.emplace_back(control, event_type);
    return true;
  }
  std::vector<Control> Controls() {
    std::lock_guard<std::mutex> guard(lock_);
    return controls_;
  }

 private:
  bool supported_;
  StartCount& starts_;
  std::mutex lock_;
  std::vector<Control> controls_;
};

class RecordingFactory final : public dpal::CFactorySubController {
 public:
  explicit RecordingFactory(bool supported) : supported_(supported) {}
  dpal::CAbstractSubController* CreateSubController(int kind) override {
    if (kind != dpal::SubControllerKind::Profile && kind != dpal::SubControllerKind::Update)
      return nullptr;
    subs[kind] = new RecordingSub(supported_, starts);
    return subs[kind];
  }
  RecordingSub* subs[3] = {};
  StartCount starts;

 private:
  bool supported_;
};

class ServiceHost : public dpal::test::PlatformTest {
 protected:
  // The factories are the test's own: the next test in the same process must not find one.
  void TearDown() override {
    dpal::CDPALMainController::UseFactoryForTesting(nullptr);
    PlatformTest::TearDown();
  }
  void Install(DWORD start_type) {
    sim::ServiceSpec spec;
    spec.name = kName;
    spec.image_path = kImage;
    spec.start_type = start_type;
    spec.program = dpal::laptop::RunServiceAsNewProcess;
    sim::InstallService(spec);
  }
  void AddSoftwareDevice() {
    sim::Device device;
    device.instance_id = L"SWD\\DPAL\\0001";
    device.hardware_ids = {dpal::kSoftwareDeviceHardwareId};
    device.driver_inf = L"oem7.inf";
    sim::AddDevice(device);
  }
  std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& s : sim::ServiceStatusReports(kName))
      states.push_back(s.dwCurrentState);
    return states;
  }
  void Start() { ASSERT_EQ(sim::StartServiceAsScm(kName), static_cast<DWORD>(NO_ERROR)); }
  void ExpectStoppedAndGone() {
    ASSERT_TRUE(sim::WaitForServiceState(kName, SERVICE_STOPPED, 10s));
    int exit_code = -1;
    ASSERT_TRUE(sim::WaitForServiceProcessExit(kName, 10s, &exit_code));
    EXPECT_EQ(exit_code, 0);
  }
  // The main controller lives as long as the process and keeps its events; nothing else may
  // stay open.
  void CheckOnlyTheControllerRemains() {
    KeepLeaksOnPurpose();
    sim::LeakReport leaks = sim::Leaks();
    for (const auto& [kind, count] : leaks.open_handles) {
      if (kind != "event") {
        EXPECT_EQ(count, 0) << kind;
      }
    }
    EXPECT_LE(leaks.open_handles["event"], 4);  // its own, Profile's, Update's two
    EXPECT_EQ(leaks.local_allocations, 0);
  }

  RecordingFactory supported_factory{true};
};

TEST_F(ServiceHost, EveryReportCarriesTheFixedFields) {
  Install(SERVICE_AUTO_START);
  Start();
  ExpectStoppedAndGone();
  const auto reports = sim::ServiceStatusReports(kName);
  ASSERT_FALSE(reports.empty());
  for (const SERVICE_STATUS& s : reports) {
    EXPECT_EQ(s.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.dwControlsAccepted, 0xC1u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 60000u);
  }
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, UnsupportedMachineStopsAndTurnsAutomaticIntoDemandStart) {
  Install(SERVICE_AUTO_START);  // no software device: the machine does not qualify
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(States(),
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
  EXPECT_EQ(sim::ServiceStartType(kName), static_cast<DWORD>(SERVICE_DEMAND_START));
  CheckOnlyTheControllerRemains();
}

// The configuration's size cannot be asked, or no buffer had for it: the start type is not
// known, and an automatic start is left as it is.
TEST_F(ServiceHost, AStartTypeThatCannotBeReadIsLeftAlone) {
  Install(SERVICE_AUTO_START);  // unsupported, as above
  sim::FailAlways("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(sim::ServiceStartType(kName), static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(sim::CallCount("ChangeServiceConfigW"), 0u);
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, AStartTypeWhoseSizeCannotBeAskedIsLeftAlone) {
  Install(SERVICE_AUTO_START);
  sim::FailNth("QueryServiceConfigW", 1, ERROR_ACCESS_DENIED);
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(sim::ServiceStartType(kName), static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(sim::CallCount("QueryServiceConfigW"), 1u) << "no second query";
  EXPECT_EQ(sim::CallCount("ChangeServiceConfigW"), 0u);
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, OtherStartTypesAreLeftAlone) {
  Install(SERVICE_DEMAND_START);
  AddSoftwareDevice();  // present, but the firmware gate fails (no "BIOSVersion")
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(sim::ServiceStartType(kName), static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(sim::CallCount("ChangeServiceConfigW"), 0u);
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, StartedOutsideTheScmReturnsZeroAtOnce) {
  EXPECT_EQ(dpal::RunServiceProcess(), 0);
  EXPECT_EQ(sim::CallCount("RegisterServiceCtrlHandlerExW"), 0u);
  EXPECT_EQ(sim::CallCount("OpenEventW"), 0u);
}

// A service whose control handler cannot be registered could neither report nor be stopped: it
// starts nothing and its ServiceMain returns. Its dispatcher then waits as Windows' does, until
// the process is ended from outside.
TEST_F(ServiceHost, WithoutAControlHandlerTheServiceStartsNothing) {
  Install(SERVICE_DEMAND_START);
  AddSoftwareDevice();
  dpal::CDPALMainController::UseFactoryForTesting(&supported_factory);
  sim::FailAlways("RegisterServiceCtrlHandlerExW", ERROR_NOT_ENOUGH_MEMORY);
  sim::RecordTrace(true);
  Start();
  ASSERT_TRUE([] {
    // ServiceMain has returned once the dispatcher is the process's only blocked thread left and
    // nothing else is called: waited for through the blocked-thread query.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto blocked = sim::BlockedThreads();
      if (blocked.size() == 1 && blocked[0].function == "StartServiceCtrlDispatcherW" &&
          sim::CallCount("RegisterServiceCtrlHandlerExW") == 1) {
        return true;
      }
      std::this_thread::yield();
    }
    return false;
  }());
  EXPECT_TRUE(States().empty()) << "nothing could be reported";
  EXPECT_EQ(sim::CallCount("OpenEventW"), 0u) << "ServiceMain went no further";
  EXPECT_EQ(supported_factory.subs[dpal::SubControllerKind::Profile], nullptr)
      << "no controller was made";
  sim::ClearFaults();
  sim::Restart();
  ASSERT_TRUE(sim::WaitForServiceProcessExit(kName, 10s));
}

// A service whose RUNNING report failed is still starting for the SCM, which would send it no
// stop: it starts nothing, reports STOPPED and ends.
TEST_F(ServiceHost, AFailedRunningReportStopsTheService) {
  Install(SERVICE_DEMAND_START);
  AddSoftwareDevice();
  dpal::CDPALMainController::UseFactoryForTesting(&supported_factory);
  sim::FailNth("SetServiceStatus", 2, ERROR_INVALID_HANDLE);
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 0u) << "the machine was not even examined";
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, NoReadyEventMeansNoWait) {
  sim::RecordTrace(true);
  Install(SERVICE_DEMAND_START);
  Start();
  ExpectStoppedAndGone();
  EXPECT_EQ(sim::CallCount("OpenEventW"), 1u);
  EXPECT_EQ(sim::CallCount("WaitForSingleObject"), 0u);
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, ReadyEventThatIsNeverSetIsWaitedForTwoSeconds) {
  sim::CreateMachineEvent(L"Global\\TermSrvReadyEvent", true, false);
  sim::RecordTrace(true);
  Install(SERVICE_DEMAND_START);
  Start();
  ExpectStoppedAndGone();
  bool waited = false;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "WaitForSingleObject") {
      EXPECT_NE(call.args.find(L", 2000"), std::wstring::npos) << "bounded by 2000 ms";
      waited = true;
    }
  }
  EXPECT_TRUE(waited);
  EXPECT_EQ(States(),
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, SupportedServiceRunsUntilAStopRequest) {
  dpal::CDPALMainController::UseFactoryForTesting(&supported_factory);
  sim::CreateMachineEvent(L"Global\\TermSrvReadyEvent", true, true);
  Install(SERVICE_AUTO_START);
  AddSoftwareDevice();
  Start();
  ASSERT_TRUE(sim::WaitForServiceState(kName, SERVICE_RUNNING, 10s));
  EXPECT_EQ(sim::SendServiceControl(kName, SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  ExpectStoppedAndGone();
  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  const auto reports = sim::ServiceStatusReports(kName);
  EXPECT_EQ(reports[2].dwWaitHint, 60000u);
  EXPECT_EQ(reports[2].dwCheckPoint, 0u);
  EXPECT_EQ(reports[3].dwWin32ExitCode, 0u);
  EXPECT_EQ(sim::ServiceStartType(kName), static_cast<DWORD>(SERVICE_AUTO_START));
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, StopEndsTheServiceEvenAfterTheDeviceDisappeared) {
  dpal::CDPALMainController::UseFactoryForTesting(&supported_factory);
  Install(SERVICE_AUTO_START);
  AddSoftwareDevice();
  Start();
  ASSERT_TRUE(sim::WaitForServiceState(kName, SERVICE_RUNNING, 10s));
  // RUNNING is reported before the machine is checked: the device goes only once the service
  // has found it and started its sub-controllers.
  ASSERT_TRUE(supported_factory.starts.WaitFor(2));
  ASSERT_TRUE(sim::RemoveDevice(L"SWD\\DPAL\\0001"));
  EXPECT_EQ(sim::SendServiceControl(kName, SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  ExpectStoppedAndGone();
  EXPECT_EQ(States().back(), static_cast<DWORD>(SERVICE_STOPPED));
  CheckOnlyTheControllerRemains();
}

TEST_F(ServiceHost, OnlySessionChangesAndUserCodesReachTheController) {
  dpal::CDPALMainController::UseFactoryForTesting(&supported_factory);
  Install(SERVICE_AUTO_START);
  AddSoftwareDevice();
  Start();
  ASSERT_TRUE(sim::WaitForServiceState(kName, SERVICE_RUNNING, 10s));
  const size_t reports_before = sim::ServiceStatusReports(kName).size();

  EXPECT_EQ(sim::SendSessionChange(kName, WTS_SESSION_LOGON, 3), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendSystemControl(kName, 127, 9, nullptr, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendServiceControl(kName, 128), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendServiceControl(kName, 255), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendSystemControl(kName, 256, 9, nullptr, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendServiceControl(kName, SERVICE_CONTROL_INTERROGATE),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendPowerEvent(kName, PBT_APMSUSPEND), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::SendSessionChange(kName, WTS_SESSION_LOGOFF, 3), static_cast<DWORD>(NO_ERROR));

  const std::vector<Control> expected = {{SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON},
                                         {128, 0},
                                         {255, 0},
                                         {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF}};
  EXPECT_EQ(supported_factory.subs[dpal::SubControllerKind::Profile]->Controls(), expected);
  EXPECT_EQ(supported_factory.subs[dpal::SubControllerKind::Update]->Controls(), expected);
  EXPECT_EQ(sim::ServiceStatusReports(kName).size(), reports_before)
      << "interrogate and power events report nothing";

  EXPECT_EQ(sim::SendServiceControl(kName, SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  ExpectStoppedAndGone();
  CheckOnlyTheControllerRemains();
}

}  // namespace
