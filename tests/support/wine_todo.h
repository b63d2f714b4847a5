// Expectations that Wine does not meet yet, marked where they are written:
//
//   DPAL_TODO_WINE EXPECT_EQ(info, ERROR_ACCESS_DENIED) << "it needs KEY_QUERY_VALUE";
//
//   DPAL_TODO_WINE {
//     EXPECT_FALSE(moved);
//     EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
//   }
//
// The statement (or block) after the mark is written once, as Windows behaves. In the sim it is
// checked as any other. In the windows build, under Wine, it is expected to fail: its failures
// are printed as "todo_wine" notes and do not fail the test, while a marked statement that
// passes does fail it ("Wine now meets..."), so a gap that Wine has closed is noticed and its
// mark removed. A marked assertion that fails ends the test, as it would unmarked, and under
// Wine leaves it passed. DPAL_TODO_IF(condition) marks a statement that is expected to fail
// whenever the condition holds.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <optional>

namespace dpal::test {

// One marked statement: while it lives, the failures of the calling thread are collected
// instead of reported (when `todo`); its end reports the outcome.
class Todo {
 public:
  Todo(bool todo, const char* file, int line);
  ~Todo();
  Todo(const Todo&) = delete;
  Todo& operator=(const Todo&) = delete;

  // True once, for the one pass of the marked statement.
  bool Once() {
    if (ran_) return false;
    ran_ = true;
    return true;
  }

 private:
  const char* file_;
  int line_;
  bool ran_ = false;
  ::testing::TestPartResultArray results_;
  std::optional<::testing::ScopedFakeTestPartResultReporter> collect_;
};

}  // namespace dpal::test

#define DPAL_TODO_IF(condition) \
  for (::dpal::test::Todo dpal_todo_((condition), __FILE__, __LINE__); dpal_todo_.Once();)

#if defined(_WIN32)
#define DPAL_TODO_WINE DPAL_TODO_IF(true)
#else
#define DPAL_TODO_WINE DPAL_TODO_IF(false)
#endif
