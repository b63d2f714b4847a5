// Allocation failures on demand, for the product's handlers of std::bad_alloc. A test program
// that compiles tests/support/failing_allocations.cpp in replaces the global operator new: once
// armed, the n-th allocation the arming thread makes from then on throws std::bad_alloc, and every
// later one succeeds again. Only the product's allocations are counted and failed: those the
// simulated Windows makes inside a platform call (sim::InSimulatedCall) never are, so a flow
// that makes platform calls can be swept too. Other threads are never failed, so the simulated
// machine's own threads keep working. Sim build only.
#pragma once

#include <cstdint>

namespace dpal::test {

// Fails the calling thread's n-th allocation from now on (n >= 1); 0 disarms.
void FailNthAllocation(uint64_t n);
// Whether an armed failure has happened since the last FailNthAllocation.
bool AllocationFailed();

// Runs `run()` with its first allocation failing, then its second, and so on, until a run
// makes no failing allocation; `check(result, failed)` checks each run's result (`failed`
// false only for the last run). Answers the number of runs that met a failure, or `limit` when
// every run met one. The fixture's leak check covers the whole sweep.
template <typename Run, typename Check>
uint64_t SweepAllocationFailures(Run run, Check check, uint64_t limit = 2000) {
  for (uint64_t n = 1; n <= limit; ++n) {
    FailNthAllocation(n);
    auto result = run();
    const bool failed = AllocationFailed();
    FailNthAllocation(0);
    check(result, failed);
    if (!failed) return n - 1;
  }
  return limit;
}

}  // namespace dpal::test
