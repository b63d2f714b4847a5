// The Update sub-controller on a simulated laptop: one launch per change of the machine apply
// state, the user control codes, and how the watch ends.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/integrity.h"
#include "loader/update_controller.h"
#include "tests/support/platform_test.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
using dpal::CDPALUpdateSubController;
using Switches = std::vector<std::wstring>;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;

void WriteState(DWORD value) {
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue,
                       value);
}

class UpdateController : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    laptop::Provision();
    laptop::InstallStandIn([this](const laptop::Run& run) {
      if (during_launch_) during_launch_(run);
      return DWORD{0};
    });
  }
  void TearDown() override {
    // The test's own threads play the service's process, whose end would take back what the
    // integrity check keeps.
    dpal::ReleaseProcessTrustStateForTesting();
    PlatformTest::TearDown();
  }
  // Starts the watch and waits until it waits for a change, armed.
  void StartWatch() {
    ASSERT_NO_FATAL_FAILURE(StartWatchAndWait());
    ASSERT_GT(sim::CallCount("RegNotifyChangeKeyValue"), 0u)
        << "the watch waits without a notification armed";
  }
  // Starts the watch on a machine without the apply-state key: it waits with nothing armed.
  void StartUnarmedWatch() {
    ASSERT_NO_FATAL_FAILURE(StartWatchAndWait());
    ASSERT_EQ(sim::CallCount("RegNotifyChangeKeyValue"), 0u) << "nothing can be armed";
  }
  void StartWatchAndWait() {
    controller_ = std::make_unique<CDPALUpdateSubController>();
    ASSERT_TRUE(controller_->Start());
    ASSERT_TRUE(WaitForWatchWaits(1)) << "the watch never came to wait";
  }
  // Waits until the watch has begun its `waits`-th wait: it has then handled everything that
  // happened before, and only a change from now on wakes it (the watch is the only caller of
  // WaitForMultipleObjects here).
  bool WaitForWatchWaits(uint64_t waits) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sim::CallCount("WaitForMultipleObjects") < waits) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      WaitForSingleObject(controller_->CompletionEvent(), 1);
    }
    return true;
  }
  // Stops the watch and waits until its thread has gone.
  void StopWatch() {
    ASSERT_TRUE(controller_->Stop());
    controller_.reset();
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
  }
  Switches WaitForSwitches(size_t count) {
    EXPECT_TRUE(sim::WaitForLaunches(count, 10s)) << "waiting for " << count << " launches";
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    return laptop::Switches();
  }

  std::unique_ptr<CDPALUpdateSubController> controller_;
  std::function<void(const laptop::Run&)> during_launch_;
};

TEST_F(UpdateController, EachChangeLaunchesOnceAndRepeatsDoNot) {
  WriteState(0);
  StartWatch();
  WriteState(1);
  EXPECT_EQ(WaitForSwitches(1), Switches{L"/ss"});
  WriteState(1);  // unchanged: nothing; the next change shows that nothing came in between
  WriteState(0);
  EXPECT_EQ(WaitForSwitches(2), (Switches{L"/ss", L"/rs"}));
  StopWatch();
  EXPECT_EQ(laptop::Switches().size(), 2u);
}

TEST_F(UpdateController, OtherValuesAreRememberedButLaunchNothing) {
  WriteState(0);
  StartWatch();
  WriteState(2);
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, L"Other", 7);
  WriteState(1);  // from 2 to 1 is a change
  EXPECT_EQ(WaitForSwitches(1), Switches{L"/ss"});
  StopWatch();
  EXPECT_EQ(laptop::Switches(), Switches{L"/ss"});
}

TEST_F(UpdateController, AnotherValueOfTheKeyLaunchesNothingWhileTheStateStands) {
  WriteState(0);
  StartWatch();
  WriteState(1);
  EXPECT_EQ(WaitForSwitches(1), Switches{L"/ss"});
  ASSERT_TRUE(WaitForWatchWaits(2)) << "the watch waits again after its launch";
  // The write wakes the watch, but "State" is still 1.
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, L"Other", 7);
  ASSERT_TRUE(WaitForWatchWaits(3)) << "the watch handled the wake and waits again";
  // "State" written again with the 1 it holds: a change notification, and no change.
  WriteState(1);
  ASSERT_TRUE(WaitForWatchWaits(4)) << "the rewrite woke the watch";
  StopWatch();
  EXPECT_EQ(laptop::Switches(), Switches{L"/ss"});
}

TEST_F(UpdateController, WakingToTheValueItLaunchedForLaunchesNothing) {
  WriteState(0);
  StartWatch();
  // The value is written away and back as the watch, having launched for 1, comes to wait
  // again: it wakes at once and reads the 1 it has already launched for.
  std::atomic<bool> written{false};
  sim::SetTraceSink([&written](const sim::Call& call) {
    if (call.function == "WaitForMultipleObjects" && !written.exchange(true)) {
      WriteState(2);
      WriteState(1);
    }
  });
  WriteState(1);
  EXPECT_EQ(WaitForSwitches(1), Switches{L"/ss"});
  ASSERT_TRUE(WaitForWatchWaits(3)) << "the watch woke and waits again";
  sim::SetTraceSink(nullptr);
  EXPECT_TRUE(written.load());
  StopWatch();
  EXPECT_EQ(laptop::Switches(), Switches{L"/ss"});
}

TEST_F(UpdateController, AChangeMadeWhileALaunchRunsIsNotLost) {
  WriteState(0);
  StartWatch();
  // While "/ss" runs, a client switches the profiles off again; nobody writes after that.
  during_launch_ = [](const laptop::Run& run) {
    if (run.switch_text == L"/ss") WriteState(0);
  };
  WriteState(1);
  EXPECT_EQ(WaitForSwitches(2), (Switches{L"/ss", L"/rs"}));
  StopWatch();
}

TEST_F(UpdateController, AChangeBeforeTheFirstArmingIsNotLost) {
  WriteState(0);
  // The state changes between the watch's first read and its first arming.
  std::atomic<bool> written{false};
  sim::SetTraceSink([&written](const sim::Call& call) {
    if (call.function == "RegNotifyChangeKeyValue" && !written.exchange(true)) WriteState(1);
  });
  StartWatch();
  EXPECT_EQ(WaitForSwitches(1), Switches{L"/ss"});
  sim::SetTraceSink(nullptr);
  StopWatch();
}

TEST_F(UpdateController, MissingKeyDisablesTheWatchButStopStillEndsIt) {
  StartUnarmedWatch();
  WriteState(1);  // creates the key: too late, nothing was armed
  StopWatch();
  EXPECT_TRUE(sim::Launches().empty());
}

TEST_F(UpdateController, UserCodesLaunchTheirSwitches) {
  CDPALUpdateSubController controller;
  EXPECT_TRUE(controller.OnServiceControl(254, 0));
  EXPECT_TRUE(controller.OnServiceControl(255, 17));
  EXPECT_TRUE(controller.OnServiceControl(253, 0));
  EXPECT_TRUE(controller.OnServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON));
  EXPECT_EQ(laptop::Switches(), (Switches{L"/su", L"/ss"}));
  sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("unsigned"));
  EXPECT_FALSE(controller.OnServiceControl(254, 0)) << "the launcher's refusal is the answer";
}

TEST_F(UpdateController, StopCompletesEvenWhenTheThreadNeverRan) {
  CDPALUpdateSubController controller;
  EXPECT_TRUE(controller.Stop());
  EXPECT_EQ(WaitForSingleObject(controller.CompletionEvent(), 0), WAIT_OBJECT_0);
}

TEST_F(UpdateController, RefusedLaunchEndsTheWatch) {
  WriteState(0);
  StartWatch();
  sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("unsigned"));
  WriteState(1);
  EXPECT_EQ(WaitForSingleObject(controller_->CompletionEvent(), 10000), WAIT_OBJECT_0)
      << "the watch ended and signalled completion";
  EXPECT_TRUE(sim::Launches().empty());
  controller_.reset();
}

TEST_F(UpdateController, AWatchThatCannotBeArmedOrWaitForEndsAsAFailure) {
  WriteState(0);
  CDPALUpdateSubController controller;
  dpal::UniqueEvent stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  sim::FailAlways("RegNotifyChangeKeyValue", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(controller.WatchApplyState(stop.get()));
  EXPECT_EQ(sim::CallCount("WaitForMultipleObjects"), 0u) << "no wait without the notification";
  sim::ClearFaults();
  sim::FailAlways("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
  EXPECT_FALSE(controller.WatchApplyState(stop.get()));
  sim::ClearFaults();
  // With the stop already set, the same watch ends as stopped.
  SetEvent(stop.get());
  EXPECT_TRUE(controller.WatchApplyState(stop.get()));
  EXPECT_TRUE(sim::Launches().empty());
  EXPECT_TRUE(controller.Wait()) << "nothing of its own to wait for";
}

TEST_F(UpdateController, SupportFollowsThePlatformGateNow) {
  CDPALUpdateSubController controller;
  EXPECT_TRUE(controller.IsSupported());
  dpal::test::PutString(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue, L"short");
  EXPECT_FALSE(controller.IsSupported());
}

}  // namespace
