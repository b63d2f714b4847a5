// Allocation failures where the product allocates between platform calls: the core library's
// updater, made on first use, and the service's worker threads. A failed allocation must end as
// the entry point's failure (never as success, never as an exception leaving it) and the run
// without a failure still succeeds afterwards. (Flows that make platform calls are not swept
// this way: the sim's own allocations would fail inside a platform call and throw out of it,
// which a Windows function never does.)
#include <memory>
#include <new>

#include "core/updater.h"
#include "loader/worker_threads.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/platform_test.h"

namespace {

using dpal::test::SweepAllocationFailures;

class AllocationFailure : public dpal::test::PlatformTest {
 protected:
  void TearDown() override {
    dpal::test::FailNthAllocation(0);
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

TEST_F(AllocationFailure, WorkThatCannotGetAThreadDoesNotRun) {
  dpal::WorkerThreads workers;
  bool ran = false;
  const uint64_t runs =
      SweepAllocationFailures([&] { return workers.Spawn([&ran] { ran = true; }); },
                              [&](bool spawned, bool failed) {
                                EXPECT_EQ(spawned, !failed);
                                if (failed) {
                                  EXPECT_EQ(dpal::WorkerThreads::RunningInProcess(), 0);
                                }
                              });
  EXPECT_GT(runs, 0u);
  workers.WaitIdle();
  EXPECT_TRUE(ran) << "the clean run's work ran";
  EXPECT_EQ(dpal::WorkerThreads::RunningInProcess(), 0);
}

}  // namespace
