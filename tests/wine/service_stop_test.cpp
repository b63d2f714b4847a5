// The uninstaller's stop of the real TarvexDPALLoader.exe under Wine: the routine returns only
// once the service control manager reports the service stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "harness/installed_package.h"
#include "uninstaller/routines.h"

namespace dpal::e2e {
namespace {

using namespace std::chrono_literals;

class WineStopLoaderService : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ResetMachine(), "") << "resetting the prefix"; }
  void TearDown() override { EXPECT_EQ(ResetMachine(), "") << "resetting the prefix"; }
};

TEST_F(WineStopLoaderService, StopsTheRunningServiceAndReturnsOnceItIsStopped) {
  ASSERT_EQ(InstallFiles(WindowsPath(DPAL_LOADER_IMAGE)), "");
  ASSERT_EQ(RegisterService(SERVICE_AUTO_START), "");
  ASSERT_EQ(PrepareQualifyingMachine(), "");
  Service service;
  ASSERT_EQ(service.error(), "");
  ASSERT_EQ(service.Start(), "");
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20s));

  const auto start = Clock::now();
  uninstaller::StopLoaderService();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START)) << "not reconfigured";
  RecordProperty("seconds_to_stopped", std::to_string(seconds));
  std::printf("StopLoaderService returned after %.3f s with the service stopped\n", seconds);

  // Stopped already: nothing to ask, nothing to wait for.
  uninstaller::StopLoaderService();
  EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace
}  // namespace dpal::e2e
