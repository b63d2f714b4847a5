// The fault sweep itself: it ends at the first clean run, and a sweep that cannot end or has
// nothing to try fails the test.
#include <gtest/gtest-spi.h>

#include <vector>

#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::test::SweepFaults;
using dpal::test::SweepOptions;

class FaultSweep : public dpal::test::PlatformTest {};

// Creates `count` events and closes them again; answers how many it created.
int CreateEvents(int count) {
  int created = 0;
  for (int i = 0; i < count; ++i) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) continue;
    ++created;
    CloseHandle(event);
  }
  return created;
}

TEST_F(FaultSweep, FailsEachCallInTurnUntilACleanRun) {
  std::vector<int> created;
  std::vector<bool> faulted_runs;
  const uint64_t calls = SweepFaults([] { return CreateEvents(3); },
                                     [&](int result, uint64_t, bool faulted) {
                                       created.push_back(result);
                                       faulted_runs.push_back(faulted);
                                     });
  EXPECT_EQ(calls, 3u) << "three creations; closing is not counted";
  EXPECT_EQ(created, (std::vector<int>{2, 2, 2, 3}));
  EXPECT_EQ(faulted_runs, (std::vector<bool>{true, true, true, false}));
}

// The permanent kind: from the n-th call on every call fails, releases pass untouched, and each
// failed call is recorded with its name and a stack whose frames lead back to its caller.
TEST_F(FaultSweep, APermanentFaultFailsEveryCallFromTheNthOn) {
  std::vector<int> created;
  std::vector<size_t> recorded;
  SweepOptions options;
  options.permanent = true;
  options.after_run = [&](uint64_t) {
    const std::vector<sim::FiredFault> fired = sim::FiredFaults();
    recorded.push_back(fired.size());
    for (const sim::FiredFault& fault : fired) {
      EXPECT_EQ(fault.function, "CreateEventW");
      EXPECT_GE(fault.frames.size(), 3u) << "the hook, the function and its caller";
    }
  };
  const uint64_t calls =
      SweepFaults([] { return CreateEvents(3); },
                  [&](int result, uint64_t, bool) { created.push_back(result); }, options);
  EXPECT_EQ(calls, 3u);
  EXPECT_EQ(created, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(recorded, (std::vector<size_t>{3, 2, 1, 0}));
  EXPECT_TRUE(sim::FiredFaults().empty()) << "ClearFaults forgets them";
}

TEST_F(FaultSweep, ASweepThatNeverRunsCleanFailsTheTest) {
  SweepOptions options;
  options.limit = 5;
  EXPECT_NONFATAL_FAILURE(
      SweepFaults([] { return CreateEvents(10); }, [](int, uint64_t, bool) {}, options),
      "never ran clean");
}

TEST_F(FaultSweep, AFlowWithoutPlatformCallsFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(SweepFaults([] { return 0; }, [](int, uint64_t, bool) {}),
                          "the sweep tried nothing");
}

TEST_F(FaultSweep, ALeakOnAFailurePathFailsTheTest) {
  // A flow that forgets its first event when the second cannot be made.
  auto leaky = [] {
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (second == nullptr) return false;
    CloseHandle(second);
    if (first != nullptr) CloseHandle(first);
    return true;
  };
  EXPECT_NONFATAL_FAILURE(SweepFaults(leaky, [](bool, uint64_t, bool) {}),
                          "with call 2 failing left behind");
  KeepLeaksOnPurpose();  // the leak is what the sweep had to report
}

}  // namespace
