// The mark of expectations that Wine does not meet yet: a marked failure is a note, a marked
// success a failure, and an unmarked statement is checked as any other.
#include "tests/support/wine_todo.h"

#include <gtest/gtest-spi.h>

namespace {

TEST(WineTodo, AMarkedFailureIsOnlyANote) {
  DPAL_TODO_IF(true) EXPECT_EQ(1, 2) << "not met";
  DPAL_TODO_IF(true) {
    EXPECT_TRUE(false);
    ADD_FAILURE() << "the whole block is marked";
  }
  EXPECT_FALSE(HasFailure());
}

// A failed assertion ends the test as it would unmarked, but does not fail it.
TEST(WineTodo, AMarkedAssertionEndsTheTestQuietly) {
  DPAL_TODO_IF(true) ASSERT_TRUE(false);
  ADD_FAILURE() << "never reached";
}

TEST(WineTodo, AMarkedSuccessFails) {
  EXPECT_NONFATAL_FAILURE(DPAL_TODO_IF(true) EXPECT_EQ(1, 1), "Wine now meets this expectation");
  EXPECT_NONFATAL_FAILURE(
      DPAL_TODO_IF(true) {
        EXPECT_TRUE(true);
        EXPECT_EQ(2, 2);
      },
      "remove its todo mark");
}

TEST(WineTodo, AnUnmarkedStatementIsCheckedAsAnyOther) {
  DPAL_TODO_IF(false) EXPECT_EQ(1, 1);
  EXPECT_NONFATAL_FAILURE(DPAL_TODO_IF(false) EXPECT_EQ(1, 2) << "checked", "checked");
  int runs = 0;
  DPAL_TODO_IF(false)++ runs;
  DPAL_TODO_IF(true) {
    ++runs;
    ADD_FAILURE();
  }
  EXPECT_EQ(runs, 2) << "a marked statement runs once";
}

// In the sim every marked expectation must hold; under Wine the same one must fail.
TEST(WineTodo, TheSimMeetsWhatWineDoesNot) {
#if defined(_WIN32)
  DPAL_TODO_WINE EXPECT_EQ(0, 1);
#else
  EXPECT_NONFATAL_FAILURE(DPAL_TODO_WINE EXPECT_EQ(0, 1) << "in the sim", "in the sim");
#endif
}

}  // namespace
