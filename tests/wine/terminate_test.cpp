// The package's programs when the C++ runtime ends them (an exception nothing catches): the
// process ends at once with a failure status and writes nothing, where the runtime's own handler
// writes the exception's type and aborts.
#include <gtest/gtest.h>

#include <string>

#include "harness/installed_package.h"

namespace {

using dpal::e2e::RunCapturingOutput;
using dpal::e2e::WindowsPath;

TEST(RuntimeEnd, AnUncaughtExceptionEndsTheProcessAtOnceAndWritesNothing) {
  const auto ended = RunCapturingOutput(WindowsPath(DPAL_TERMINATE_PROBE), L"");
  EXPECT_EQ(ended.output, "");
  EXPECT_NE(ended.exit_code, 0u);
  EXPECT_NE(ended.exit_code, 0xdeadbeefu) << "the probe did not run";
  EXPECT_NE(ended.exit_code, 3u) << "the C runtime's abort";

  // The runtime's own end of the same program, which the package's programs no longer link.
  const auto runtime = RunCapturingOutput(WindowsPath(DPAL_TERMINATE_PROBE_RUNTIME), L"");
  EXPECT_NE(runtime.output.find("terminate called after throwing"), std::string::npos)
      << runtime.output;
}

}  // namespace
