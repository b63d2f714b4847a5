// Allocation failures of the product's own allocations (never of those the simulated Windows
// makes inside a platform call): the core library's updater, made on first use, the service's
// worker threads, its gates, the catalogue, the sub-controllers and the main controller, and the
// core library's identification of the caller and the panel. A failed allocation must end as
// the operation's failure (never as success, never as an exception leaving it), leave nothing
// written or open, and the run without a failure still succeeds afterwards.
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/registry_layout.h"
#include "core/apply_state.h"
#include "core/steps/panel.h"
#include "core/updater.h"
#include "loader/catalogue.h"
#include "loader/controller.h"
#include "loader/integrity.h"
#include "loader/platform_gate.h"
#include "loader/profile_controller.h"
#include "loader/service_host.h"
#include "loader/shared/registry.h"
#include "loader/sub_controller_factory.h"
#include "loader/update_controller.h"
#include "loader/worker_threads.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/platform_test.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;

using dpal::test::SweepAllocationFailures;

class AllocationFailure : public dpal::test::PlatformTest {
 protected:
  // Each test is a client process of its own, which begins without an updater.
  void SetUp() override {
    PlatformTest::SetUp();
    dpal::core::ForgetUpdaterForTesting();
  }
  void TearDown() override {
    dpal::test::FailNthAllocation(0);
    // The test's own threads play the service's process, whose end would take back what the
    // integrity check keeps.
    dpal::ReleaseProcessTrustStateForTesting();
    PlatformTest::TearDown();
  }
};

TEST_F(AllocationFailure, WaitForTheUsersUpdateFailsWhenTheUpdaterCannotBeMade) {
  // The first call makes the process's updater; a failure to make it answers 0 for the stop and
  // for the wait alike, and a later call makes it.
  dpal::test::FailNthAllocation(1);
  EXPECT_EQ(dpal::core::StopWaitForUsrUpdate(), 0);
  EXPECT_TRUE(dpal::test::AllocationFailed());
  dpal::test::FailNthAllocation(1);
  EXPECT_EQ(dpal::core::WaitForUsrUpdate(), 0);
  EXPECT_TRUE(dpal::test::AllocationFailed());
  dpal::test::FailNthAllocation(0);
  EXPECT_EQ(dpal::core::StopWaitForUsrUpdate(), 1);
  KeepLeaksOnPurpose();  // the updater lives until the process ends, with its event
}

TEST_F(AllocationFailure, AWaitWhoseWorkerCannotStartEndsQuietlyAndLeavesNothing) {
  ASSERT_EQ(dpal::core::StopWaitForUsrUpdate(), 1) << "the updater is made";
  // Nobody has a user state here: a wait that runs ends at once, as unreadable at the start.
  const uint64_t runs = SweepAllocationFailures(
      [] { return dpal::core::WaitForUsrUpdate(); },
      [](int code, bool failed) {
        EXPECT_EQ(code, failed ? dpal::core::kWaitEndedQuietly : dpal::core::kStartReadFailed);
        EXPECT_FALSE(dpal::core::Updater().IsWaitingForTesting()) << "the next wait may run";
      });
  EXPECT_GT(runs, 0u);
  // The updater keeps its change event for the life of the process; each wait's stop event went.
  sim::LeakReport leaks = sim::Leaks();
  EXPECT_EQ(leaks.open_handles["event"], 1) << leaks.Describe();
  leaks.open_handles["event"] = 0;
  EXPECT_TRUE(leaks.Clean()) << leaks.Describe();
  KeepLeaksOnPurpose();
}

TEST_F(AllocationFailure, WorkThatCannotGetAThreadDoesNotRun) {
  dpal::WorkerThreads workers;
  bool ran = false;
  const uint64_t runs =
      SweepAllocationFailures([&] { return workers.Spawn([&ran] { ran = true; }); },
                              [&](bool spawned, bool failed) {
                                EXPECT_EQ(spawned, !failed);
                                if (failed) {
                                  EXPECT_EQ(dpal::WorkerThreads::RunningInProcessForTesting(), 0);
                                }
                              });
  EXPECT_GT(runs, 0u);
  workers.WaitIdle();
  EXPECT_TRUE(ran) << "the clean run's work ran";
  EXPECT_EQ(dpal::WorkerThreads::RunningInProcessForTesting(), 0);
}

// ----- The marker of a simulated call --------------------------------------------------------

TEST_F(AllocationFailure, PlatformCallsAreNeverFailedOnlyTheProductsOwnAllocations) {
  EXPECT_FALSE(sim::InSimulatedCall()) << "the test's own code";
  bool inside = false;
  sim::SetTraceSink([&](const sim::Call&) { inside = sim::InSimulatedCall(); });
  const std::wstring text(300, L'x');
  // The sim allocates for the key and its value (names, data, the trace); none of it fails.
  dpal::test::FailNthAllocation(1);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\DPALTests\\Allocations", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_FALSE(dpal::test::AllocationFailed()) << "a platform call met the failure";
  EXPECT_TRUE(inside) << "the trace sink runs inside the call";
  // The failure is still armed, for the product's next allocation.
  EXPECT_THROW(std::make_unique<std::wstring>(text), std::bad_alloc);
  EXPECT_TRUE(dpal::test::AllocationFailed());
  sim::SetTraceSink(nullptr);

  // What the sim calls back runs as the product's code again.
  bool in_body = true;
  bool ran = false;
  sim::RunAs(sim::LocalSystem(), [&] {
    ran = true;
    in_body = sim::InSimulatedCall();
  });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(in_body);
  SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\DPALTests\\Allocations");
}

// ----- The service's gates and checks --------------------------------------------------------

class LaptopAllocationFailure : public AllocationFailure {
 protected:
  void SetUp() override {
    AllocationFailure::SetUp();
    dpal::laptop::Provision();
    dpal::laptop::InstallStandIn();
  }
  static DWORD InstallState() {
    return dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, dpal::layout::kInstallStateKey,
                                dpal::layout::kStateValue);
  }
};

TEST_F(LaptopAllocationFailure, TheGatesAnswerNoWhenTheirBuffersCannotBeHad) {
  // Each question answers yes on this laptop; a failed allocation makes it no.
  for (auto* gate : {&dpal::IsPlatformSupported, &dpal::IsInstallPending}) {
    EXPECT_GT(
        SweepAllocationFailures(gate, [](bool answer, bool failed) { EXPECT_EQ(answer, !failed); }),
        0u);
  }
  const uint64_t runs = SweepAllocationFailures([] { return dpal::MarkInstallDone(); },
                                                [](bool marked, bool failed) {
                                                  EXPECT_EQ(marked, !failed);
                                                  EXPECT_EQ(InstallState(), failed ? 0u : 1u)
                                                      << "nothing is written after a failure";
                                                });
  EXPECT_GT(runs, 0u);
}

TEST_F(LaptopAllocationFailure, ACatalogueThatCannotBeReadIsInvalid) {
  const uint64_t runs =
      SweepAllocationFailures([] { return dpal::VerifyProfileCatalogue(); },
                              [](dpal::CatalogueStatus status, bool failed) {
                                EXPECT_EQ(status, failed ? dpal::CatalogueStatus::CatalogueInvalid
                                                         : dpal::CatalogueStatus::Verified);
                              });
  EXPECT_GT(runs, 0u);
}

TEST_F(LaptopAllocationFailure, AFailedProvisioningRunLeavesTheInstallPending) {
  dpal::CDPALProfileSubController profiles;
  ASSERT_TRUE(profiles.IsSupported());
  // Only the run is armed; the check counts its launches and makes the install pending again.
  size_t launches_before = 0;
  const uint64_t runs = SweepAllocationFailures(
      [&] { return profiles.RunLogonProvision(); },
      [&](DWORD result, bool failed) {
        const size_t launches = dpal::laptop::Switches().size() - launches_before;
        launches_before += launches;
        if (!failed) {
          EXPECT_EQ(result, dpal::CDPALProfileSubController::kSuccess);
          EXPECT_EQ(launches, 1u);
          EXPECT_EQ(InstallState(), 1u);
        } else if (result != dpal::CDPALProfileSubController::kSuccess) {
          // A failure in the install gate reads as nothing pending: nothing is launched or
          // marked, and the next logon installs.
          EXPECT_EQ(launches, 0u);
          EXPECT_EQ(InstallState(), 0u);
        } else {
          // The launch was accepted; only the marking of the install may have failed.
          EXPECT_EQ(launches, 1u) << "success without the launch";
        }
        dpal::test::PutDword(HKEY_LOCAL_MACHINE, dpal::layout::kInstallStateKey,
                             dpal::layout::kStateValue, 0);
      });
  EXPECT_GT(runs, 0u);
  EXPECT_TRUE(profiles.Wait()) << "the sub-controller has nothing of its own to wait for";
}

TEST_F(LaptopAllocationFailure, AnUpdateControllerWithoutItsStopEventDoesNothing) {
  dpal::test::FailNthAllocation(1);
  dpal::CDPALUpdateSubController update;
  EXPECT_TRUE(dpal::test::AllocationFailed());
  dpal::test::FailNthAllocation(0);
  EXPECT_FALSE(update.IsSupported());
  EXPECT_EQ(update.ThreadProc(), 1u) << "no watch without the stop event";
  EXPECT_TRUE(update.Wait());
  // The leak check at the end: the event made for the holder that could not be had is closed.
}

TEST_F(LaptopAllocationFailure, TheMainControllerKeepsWhatItCouldRegister) {
  dpal::CFactorySubControllerImpl factory;
  const std::vector<int> kinds = {dpal::SubControllerKind::Profile,
                                  dpal::SubControllerKind::Update};
  // A failure in the constructor's own copy of the kinds is the caller's (-1); one during the
  // population ends it quietly, with the sub-controllers registered so far.
  int partial = 0;
  const uint64_t runs = SweepAllocationFailures(
      [&]() -> int {
        try {
          auto controller = std::make_unique<dpal::CDPALMainController>(factory, kinds);
          return static_cast<int>(controller->SubControllerCountForTesting());
        } catch (const std::bad_alloc&) {
          return -1;
        }
      },
      [&](int count, bool failed) {
        if (!failed) {
          EXPECT_EQ(count, 2);
        } else {
          // A failure inside a sub-controller's own constructor leaves it registered.
          EXPECT_LE(count, 2);
          if (count >= 0 && count < 2) ++partial;
        }
      });
  EXPECT_GT(runs, 0u);
  EXPECT_GT(partial, 0) << "no failure came during the population";
}

TEST_F(LaptopAllocationFailure, AControlForAControllerThatCannotBeMadeIsRefused) {
  // The controller's memory, then the kinds it is made with, then its own copy of them: each
  // failure leaves no instance, and the control is refused. Failures after that are the
  // controller's own to contain, and the control is passed on.
  dpal::CDPALMainController::ForgetInstanceForTesting();
  int refused = 0;
  const uint64_t runs = SweepAllocationFailures(
      [] { return dpal::ForwardServiceControl(SERVICE_CONTROL_INTERROGATE, 0); },
      [&](bool forwarded, bool failed) {
        if (!forwarded) ++refused;
        if (!failed) {
          EXPECT_TRUE(forwarded);
        }
        dpal::CDPALMainController::ForgetInstanceForTesting();
      });
  EXPECT_GT(runs, 0u);
  EXPECT_GE(refused, 3);
  KeepLeaksOnPurpose();  // forgotten instances are never destroyed, with their events
}

// ServiceMain as the service's process runs it, with its first allocation failing: the one that
// makes the controller.
bool g_controller_allocation_failed = false;
void WINAPI ServiceMainWithoutItsController(DWORD argc, LPWSTR* argv) {
  dpal::test::FailNthAllocation(1);
  dpal::ServiceMain(argc, argv);
  g_controller_allocation_failed = dpal::test::AllocationFailed();
  dpal::test::FailNthAllocation(0);
}

TEST_F(LaptopAllocationFailure, AServiceWithoutItsControllerStopsWithoutStartingAnything) {
  ASSERT_TRUE(sim::SetServiceProgram(dpal::laptop::kServiceName, [] {
    dpal::CDPALMainController::ForgetInstanceForTesting();
    static WCHAR name[] = L"TarvexDPALLoader";
    SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMainWithoutItsController}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }));
  sim::RecordTrace(true);
  ASSERT_EQ(sim::StartServiceAsScm(dpal::laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceProcessExit(dpal::laptop::kServiceName, 10s));
  EXPECT_TRUE(g_controller_allocation_failed) << "the controller was made";
  EXPECT_EQ(sim::ServiceStatusReports(dpal::laptop::kServiceName).back().dwCurrentState,
            static_cast<DWORD>(SERVICE_STOPPED));
  for (const sim::Call& call : sim::Trace()) {
    EXPECT_NE(call.function.rfind("SetupDi", 0), 0u) << call.function << ": the device was sought";
  }
  EXPECT_TRUE(dpal::laptop::Switches().empty());
  dpal::ResetServiceProcessStateForTesting();
}

// The service's process with the n-th allocation of ServiceMain's thread failing; 0 fails none.
std::atomic<uint64_t> g_service_main_fails{0};
std::atomic<bool> g_service_main_failed{false};

void WINAPI ServiceMainFailingAnAllocation(DWORD argc, LPWSTR* argv) {
  dpal::test::FailNthAllocation(g_service_main_fails);
  dpal::ServiceMain(argc, argv);
  g_service_main_failed = dpal::test::AllocationFailed();
  dpal::test::FailNthAllocation(0);
}

bool UseServiceFailingAllocations() {
  return sim::SetServiceProgram(dpal::laptop::kServiceName, [] {
    dpal::ResetServiceProcessStateForTesting();
    static WCHAR name[] = L"TarvexDPALLoader";
    SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMainFailingAnAllocation}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
  });
}

// One life of the service: started, given a user code (a launch through the handler) and a
// stop once it has settled, unless it ended by itself. Whatever failed, it ends, and its last
// report is SERVICE_STOPPED.
void RunTheServiceOnce(const std::string& what) {
  const std::wstring& name = dpal::laptop::kServiceName;
  const size_t before = sim::ServiceStatusReports(name).size();
  ASSERT_EQ(sim::StartServiceAsScm(name), static_cast<DWORD>(NO_ERROR)) << what;
  ASSERT_TRUE(sim::WaitUntilSettled(10s)) << what;
  if (!sim::WaitForServiceProcessExit(name, 0ms)) {
    sim::SendServiceControl(name, dpal::kControlSetUser);
    sim::SendServiceControl(name, SERVICE_CONTROL_STOP);
  }
  ASSERT_TRUE(sim::WaitForServiceProcessExit(name, 10s)) << what << ": the service did not end";
  const auto reports = sim::ServiceStatusReports(name);
  ASSERT_GT(reports.size(), before) << what;
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << what;
  EXPECT_TRUE(sim::WaitForProcessesToEnd(10s)) << what;
}

TEST_F(LaptopAllocationFailure, ServiceMainEndsWithStoppedWhicheverOfItsAllocationsFails) {
  ASSERT_TRUE(UseServiceFailingAllocations());
  uint64_t failed = 0;
  for (uint64_t n = 1; n <= 500; ++n) {
    g_service_main_fails = n;
    ASSERT_NO_FATAL_FAILURE(RunTheServiceOnce("allocation " + std::to_string(n)));
    if (!g_service_main_failed) break;
    ++failed;
  }
  g_service_main_fails = 0;
  // Making the controller, starting its sub-controllers and the wait for them.
  EXPECT_GT(failed, 3u);
  dpal::ResetServiceProcessStateForTesting();
  KeepLeaksOnPurpose();  // forgotten instances are never destroyed, with their events
}

// The watch of the apply state with each of its allocations failing in turn while it launches
// for a change (the state changes once the watch is armed; the stop is set from the start, so
// that the watch ends after the launch): however the watch ends, its thread sets the completion
// event, or the main controller's wait would never end.
TEST_F(LaptopAllocationFailure, AWatchThatAFailedAllocationEndsStillSignalsItsCompletion) {
  auto write_state = [](DWORD value) {
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, dpal::layout::kMachineApplyStateKey,
                         dpal::layout::kStateValue, value);
  };
  uint64_t failed = 0;
  for (uint64_t n = 1; n <= 2000; ++n) {
    write_state(0);
    dpal::CDPALUpdateSubController update;
    ASSERT_TRUE(update.Stop());
    ASSERT_EQ(WaitForSingleObject(update.CompletionEvent(), 0), WAIT_OBJECT_0) << "Stop's own";
    bool written = false;
    sim::SetTraceSink([&](const sim::Call& call) {
      if (call.function == "RegNotifyChangeKeyValue" && !written) {
        written = true;
        write_state(1);
      }
    });
    dpal::test::FailNthAllocation(n);
    const DWORD code = update.ThreadProc();
    const bool met = dpal::test::AllocationFailed();
    dpal::test::FailNthAllocation(0);
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(code, 0u) << "allocation " << n;
    EXPECT_EQ(WaitForSingleObject(update.CompletionEvent(), 0), WAIT_OBJECT_0)
        << "allocation " << n << ": the completion event was not set";
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    if (!met) {
      EXPECT_EQ(dpal::laptop::Switches().back(), L"/ss") << "the clean run launched";
      break;
    }
    ++failed;
  }
  EXPECT_GT(failed, 0u) << "no allocation of the launch failed";
}

// ----- The core library's identification -----------------------------------------------------

TEST_F(LaptopAllocationFailure, TheCallersIdentityIsNotLocalSystemWhenItCannotBeChecked) {
  sim::SetProcessIdentity(sim::LocalSystem());
  EXPECT_GT(
      SweepAllocationFailures([] { return dpal::core::IsSystemUser(); },
                              [](int answer, bool failed) { EXPECT_EQ(answer, failed ? 0 : 1); }),
      0u);
}

TEST_F(LaptopAllocationFailure, ThePanelIsNotIdentifiedWhenThePathsCannotBeHeld) {
  for (auto* identify : {&dpal::core::IdentifyPrimaryPanel, &dpal::core::IdentifyInternalPanel}) {
    const uint64_t runs = SweepAllocationFailures(
        [&] { return identify(dpal::core::kStandardKind); },
        [](const dpal::core::PanelTarget& panel, bool failed) { EXPECT_EQ(panel.valid, !failed); });
    EXPECT_GT(runs, 0u);
  }
}

}  // namespace
