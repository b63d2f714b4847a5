// The main controller as a composite: registration, visiting order, failure counting, the
// wait for every completion event, and the singleton's creation under a race.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "loader/controller.h"
#include "loader/shared/device_lookup.h"
#include "loader/sub_controller_factory.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::CAbstractSubController;
using dpal::CDPALMainController;

struct Journal {
  std::mutex lock;
  std::vector<std::string> calls;
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(call);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock);
    return std::move(calls);
  }
};

struct FakeBehaviour {
  bool start = true;
  bool stop = true;
  bool control = true;
  bool throw_on_start = false;
  bool throw_on_stop = false;
  bool throw_on_control = false;
  bool throw_on_supported = false;
  bool no_completion_event = false;
  bool complete_on_stop = false;  // as the real sub-controllers do
};

class FakeSub : public CAbstractSubController {
 public:
  FakeSub(int kind, FakeBehaviour behaviour, Journal& journal)
      : name_(std::to_string(kind)), behaviour_(behaviour), journal_(journal) {
    if (behaviour.no_completion_event) completion_event_.reset();
  }
  bool IsSupported() override {
    journal_.Add("supported " + name_);
    if (behaviour_.throw_on_supported) throw std::bad_alloc();
    return true;
  }
  bool Start() override {
    journal_.Add("start " + name_);
    if (behaviour_.throw_on_start) throw std::bad_alloc();
    return behaviour_.start;
  }
  bool Stop() override {
    journal_.Add("stop " + name_);
    if (behaviour_.throw_on_stop) throw std::runtime_error("stop");
    if (behaviour_.complete_on_stop) Complete();
    return behaviour_.stop;
  }
  bool Wait() override { return true; }
  bool OnServiceControl(DWORD control, DWORD event_type) override {
    journal_.Add("control " + name_ + " " + std::to_string(control) + "/" +
                 std::to_string(event_type));
    if (behaviour_.throw_on_control) throw std::bad_alloc();
    return behaviour_.control;
  }
  void Complete() { SetEvent(CompletionEvent()); }

 private:
  std::string name_;
  FakeBehaviour behaviour_;
  Journal& journal_;
};

class FakeFactory final : public dpal::CFactorySubController {
 public:
  explicit FakeFactory(Journal& journal) : journal_(journal) {}
  CAbstractSubController* CreateSubController(int kind) override {
    if (kind != 1 && kind != 2) return nullptr;
    auto* sub = new FakeSub(kind, behaviours[kind], journal_);
    made[kind] = sub;
    return sub;
  }
  FakeBehaviour behaviours[3];
  FakeSub* made[3] = {};

 private:
  Journal& journal_;
};

// Makes a sub-controller for every kind asked.
class EveryKindFactory final : public dpal::CFactorySubController {
 public:
  explicit EveryKindFactory(Journal& journal) : journal_(journal) {}
  CAbstractSubController* CreateSubController(int kind) override {
    return new FakeSub(kind, FakeBehaviour(), journal_);
  }

 private:
  Journal& journal_;
};

class Controller : public dpal::test::PlatformTest {
 protected:
  Journal journal;
  FakeFactory factory{journal};
};

using Calls = std::vector<std::string>;

TEST_F(Controller, RegistersKnownKindsAndVisitsThemInAscendingOrder) {
  // Insertion order 2, 3, 1: kind 3 makes nothing; visiting follows the kinds, not insertion.
  CDPALMainController controller(factory, {2, 3, 1});
  EXPECT_EQ(controller.SubControllerCountForTesting(), 2u);
  EXPECT_TRUE(controller.Start());
  EXPECT_TRUE(controller.OnServiceControl(14, 5));
  EXPECT_TRUE(controller.Stop());
  EXPECT_EQ(journal.Take(),
            (Calls{"start 1", "start 2", "control 1 14/5", "control 2 14/5", "stop 1", "stop 2"}));
}

TEST_F(Controller, OneFailedStartStillStartsTheOthersAndWaitReturnsAtOnce) {
  factory.behaviours[1].start = false;
  CDPALMainController controller(factory, {1, 2});
  EXPECT_FALSE(controller.Start());
  EXPECT_EQ(journal.Take(), (Calls{"start 1", "start 2"}));
  EXPECT_FALSE(controller.Wait()) << "a controller that did not start does not wait";
  EXPECT_TRUE(controller.WasStarted());
}

TEST_F(Controller, FailuresAreCountedAndAnExceptionEndsTheVisit) {
  factory.behaviours[1].control = false;
  factory.behaviours[1].throw_on_stop = true;
  CDPALMainController controller(factory, {1, 2});
  EXPECT_FALSE(controller.OnServiceControl(200, 0));
  EXPECT_FALSE(controller.Stop());
  EXPECT_EQ(journal.Take(), (Calls{"control 1 200/0", "control 2 200/0", "stop 1"}));
}

TEST_F(Controller, ExceptionFromAStartOrAControlIsAFailureThatEndsTheVisit) {
  factory.behaviours[1].throw_on_start = true;
  factory.behaviours[1].throw_on_control = true;
  CDPALMainController controller(factory, {1, 2});
  EXPECT_FALSE(controller.Start()) << "an exception is a failed start, never a running service";
  EXPECT_FALSE(controller.Wait()) << "a controller that failed to start does not wait";
  EXPECT_FALSE(controller.OnServiceControl(254, 0));
  EXPECT_EQ(journal.Take(), (Calls{"start 1", "control 1 254/0"}));
}

#if DPAL_SIM
TEST_F(Controller, AnExceptionFromTheProfileGateIsNoSupport) {
  sim::AddDevice(
      {L"SWD\\TARVEX\\DPAL", {dpal::kSoftwareDeviceHardwareId}, {}, true, {}, L"oem7.inf"});
  CDPALMainController controller(factory, {1, 2});
  EXPECT_TRUE(controller.IsSupported());
  factory.behaviours[1].throw_on_supported = true;
  CDPALMainController throwing(factory, {1, 2});
  EXPECT_FALSE(throwing.IsSupported());
  EXPECT_EQ(journal.Take(), (Calls{"supported 1", "supported 1"})) << "only the Profile gate";
}
#endif

TEST_F(Controller, NoMoreSubControllersAreRegisteredThanOneWaitCanWaitFor) {
  EveryKindFactory every(journal);
  std::vector<int> kinds;
  for (int kind = 1; kind <= MAXIMUM_WAIT_OBJECTS + 6; ++kind) kinds.push_back(kind);
  CDPALMainController controller(every, kinds);
  EXPECT_EQ(controller.SubControllerCountForTesting(), static_cast<size_t>(MAXIMUM_WAIT_OBJECTS));
  ASSERT_TRUE(controller.Start());
  const Calls started = journal.Take();
  ASSERT_EQ(started.size(), static_cast<size_t>(MAXIMUM_WAIT_OBJECTS));
  EXPECT_EQ(started.back(), "start " + std::to_string(MAXIMUM_WAIT_OBJECTS)) << "the first ones";
}

TEST_F(Controller, StandardFactoryMakesNothingForAnUnknownKind) {
  dpal::CFactorySubControllerImpl standard;
  EXPECT_EQ(standard.CreateSubController(0), nullptr);
  EXPECT_EQ(standard.CreateSubController(3), nullptr);
  EXPECT_EQ(standard.CreateSubController(-1), nullptr);
}

TEST_F(Controller, EmptyControllerAnswersAsItsOperationsPromise) {
  CDPALMainController controller(factory, {3, 4});
  EXPECT_EQ(controller.SubControllerCountForTesting(), 0u);
  EXPECT_FALSE(controller.Start());
  EXPECT_FALSE(controller.WasStarted());
  EXPECT_FALSE(controller.Wait());
  EXPECT_TRUE(controller.Stop());
  EXPECT_FALSE(controller.OnServiceControl(14, 5));
}

TEST_F(Controller, SubControllerWithoutCompletionEventIsNotRegistered) {
  factory.behaviours[2].no_completion_event = true;
  CDPALMainController controller(factory, {1, 2});
  EXPECT_EQ(controller.SubControllerCountForTesting(), 1u);
  EXPECT_TRUE(controller.Start());
  EXPECT_EQ(journal.Take(), (Calls{"start 1"}));
}

TEST_F(Controller, WaitEndsOnlyWhenEveryCompletionEventIsSet) {
  CDPALMainController controller(factory, {1, 2});
  ASSERT_TRUE(controller.Start());
  std::atomic<int> result{-1};
  std::thread service([&] { result = controller.Wait() ? 1 : 0; });

  factory.made[1]->Complete();
  // The wait must go on with only the profile's event set. Waiting on an event nobody sets
  // bounds how long we give it to (wrongly) return.
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, 100);
  CloseHandle(never);
  EXPECT_EQ(result.load(), -1) << "Wait returned with one sub-controller still running";

  factory.made[2]->Complete();
  service.join();
  EXPECT_EQ(result.load(), 1);
}

TEST_F(Controller, StopEndsAWaitingServiceThread) {
  factory.behaviours[1].complete_on_stop = true;
  factory.behaviours[2].complete_on_stop = true;
  CDPALMainController controller(factory, {1, 2});
  ASSERT_TRUE(controller.Start());
  dpal::UniqueEvent ended(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(ended.valid());
  std::atomic<bool> waited{false};
  std::thread service([&] {
    waited = controller.Wait();
    SetEvent(ended.get());
  });
#if DPAL_SIM
  // Stop once the service thread is inside its wait.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sim::CallCount("WaitForMultipleObjects") == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    WaitForSingleObject(ended.get(), 1);
  }
  EXPECT_EQ(sim::CallCount("WaitForMultipleObjects"), 1u) << "the service thread waits";
#endif
  EXPECT_TRUE(controller.Stop());
  const bool ended_by_stop = WaitForSingleObject(ended.get(), 10000) == WAIT_OBJECT_0;
  EXPECT_TRUE(ended_by_stop) << "the stop did not end the wait";
  if (!ended_by_stop) {
    // Let the thread go, so that the test can end.
    factory.made[1]->Complete();
    factory.made[2]->Complete();
  }
  service.join();
  EXPECT_TRUE(waited.load());
  EXPECT_EQ(journal.Take(), (Calls{"start 1", "start 2", "stop 1", "stop 2"}));
}

TEST_F(Controller, GetInstanceRacedFromManyThreadsBuildsOneController) {
  constexpr int kThreads = 8;
  std::vector<CDPALMainController*> seen(kThreads, nullptr);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = CDPALMainController::GetInstance();
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (CDPALMainController* p : seen) EXPECT_EQ(p, seen[0]);
  // The instance lives for the rest of the process, as in the service, and owns its event.
  KeepLeaksOnPurpose();
}

}  // namespace
