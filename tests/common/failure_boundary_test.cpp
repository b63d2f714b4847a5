// The one rule every program meets exceptions by: the standard library's failures of memory,
// limits, threads and locks become the boundary's failure result; a fault of the code (an index
// out of range, a call through an empty function, anything not of the standard's failures) is
// never hidden and leaves the boundary as it came.
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/failure_boundary.h"

namespace {

using dpal::ContainFailure;

TEST(FailureBoundary, TheWorksOwnResultPassesThroughUntouched) {
  EXPECT_EQ(ContainFailure(0, [] { return 7; }), 7);
  EXPECT_TRUE(ContainFailure(false, [] { return true; }));
  int target = 0;
  EXPECT_EQ(ContainFailure(nullptr, [&] { return &target; }), &target);
}

TEST(FailureBoundary, TheLibrarysFailuresBecomeTheFailureResult) {
  // Raised by the standard library itself, as on the package's paths.
  EXPECT_EQ(ContainFailure(-1,
                           [] {
                             std::vector<char> buffer;
                             buffer.reserve(buffer.max_size() + 1);  // past its limit
                             return 0;
                           }),
            -1);
  EXPECT_EQ(ContainFailure(-1,
                           [] {
                             std::thread never_started;
                             never_started.join();  // a thread that cannot be joined
                             return 0;
                           }),
            -1);
  // The same kinds as a failing allocation or thread creation raises them.
  EXPECT_EQ(ContainFailure(-1, []() -> int { throw std::bad_alloc(); }), -1);
  EXPECT_EQ(ContainFailure(-1, []() -> int { throw std::bad_array_new_length(); }), -1);
  EXPECT_EQ(ContainFailure(-1,
                           []() -> int {
                             throw std::system_error(
                                 std::make_error_code(std::errc::resource_unavailable_try_again));
                           }),
            -1);
  EXPECT_EQ(ContainFailure(-1, []() -> int { throw std::runtime_error("a part failed"); }), -1);
  EXPECT_EQ(ContainFailure(nullptr, []() -> int* { throw std::bad_alloc(); }), nullptr);
}

TEST(FailureBoundary, AFaultOfTheCodeIsNeverHidden) {
  EXPECT_THROW(ContainFailure(-1,
                              [] {
                                const std::vector<int> empty;
                                return empty.at(1);
                              }),
               std::out_of_range);
  EXPECT_THROW(ContainFailure(-1,
                              [] {
                                const std::function<int()> nothing;
                                return nothing();
                              }),
               std::bad_function_call);
  EXPECT_THROW(ContainFailure(-1, []() -> int { throw std::invalid_argument("bad"); }),
               std::invalid_argument);
  EXPECT_THROW(ContainFailure(-1, []() -> int { throw 42; }), int);
}

}  // namespace
