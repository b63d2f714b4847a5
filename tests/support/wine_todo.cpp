#include "tests/support/wine_todo.h"

#include <cstdio>

namespace dpal::test {

Todo::Todo(bool todo, const char* file, int line) : file_(file), line_(line) {
  if (todo) {
    collect_.emplace(::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                     &results_);
  }
}

Todo::~Todo() {
  if (!collect_) return;
  collect_.reset();  // the thread's reporter again
  int failures = 0;
  for (int i = 0; i < results_.size(); ++i) {
    const ::testing::TestPartResult& result = results_.GetTestPartResult(i);
    if (!result.failed()) continue;
    ++failures;
    std::printf("%s:%d: todo_wine: %s\n", result.file_name() ? result.file_name() : file_,
                result.line_number(), result.message());
  }
  std::fflush(stdout);
  if (failures == 0) {
    ADD_FAILURE_AT(file_, line_) << "Wine now meets this expectation: remove its todo mark";
  }
}

}  // namespace dpal::test
