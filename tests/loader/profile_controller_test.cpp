// The Profile sub-controller on a simulated laptop: which command the per-user program gets at
// start-up and at logons, and what becomes of the install state.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "loader/integrity.h"
#include "loader/profile_controller.h"
#include "loader/shared/registry.h"
#include "tests/support/platform_test.h"
#include "harness/laptop.h"

namespace {

using namespace std::chrono_literals;
using dpal::CDPALProfileSubController;
using Switches = std::vector<std::wstring>;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;

class ProfileController : public dpal::test::PlatformTest {
 protected:
  void TearDown() override {
    // The test's own threads play the service's process, whose end would take back what the
    // integrity check keeps.
    dpal::ReleaseProcessTrustStateForTesting();
    PlatformTest::TearDown();
  }
  void Provision(laptop::Options options = laptop::Options()) {
    laptop::Provision(options);
    laptop::InstallStandIn([this](const laptop::Run&) { return exit_code_; });
  }
  DWORD InstallState() {
    return dpal::ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue);
  }
  bool Completed(CDPALProfileSubController& controller) {
    return WaitForSingleObject(controller.CompletionEvent(), 0) == WAIT_OBJECT_0;
  }
  // Waits for the launches a logon started and for its run to end (the controller waits for
  // its own runs when it goes).
  Switches Finish(std::unique_ptr<CDPALProfileSubController>& controller, size_t launches) {
    EXPECT_TRUE(sim::WaitForLaunches(launches, 10s));
    controller.reset();
    EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
    return laptop::Switches();
  }
  void AlterProfile() {
    auto bytes = laptop::Profiles()[1].bytes;
    bytes[200 % bytes.size()] ^= 0x20;
    sim::PutFile(laptop::ProfilePath(laptop::Profiles()[1]), bytes);
  }

  DWORD exit_code_ = 0;
};

TEST_F(ProfileController, StartupWithPendingInstallationInstallsAndMarksItDone) {
  Provision();
  CDPALProfileSubController controller;
  EXPECT_EQ(controller.RunStartup(), CDPALProfileSubController::kSuccess);
  EXPECT_EQ(laptop::Switches(), Switches{L"/i"});
  EXPECT_EQ(InstallState(), 1u);
  EXPECT_TRUE(Completed(controller));
}

TEST_F(ProfileController, StartupChecksTheCatalogueWhenNothingIsPending) {
  struct Row {
    const char* what;
    bool catalogue;
    bool alter;
    Switches expected;
    DWORD result;
  };
  const Row rows[] = {
      {"verified", true, false, {}, CDPALProfileSubController::kNothingDone},
      {"files invalid", true, true, {L"/r"}, CDPALProfileSubController::kSuccess},
      {"catalogue invalid", false, false, {L"/i"}, CDPALProfileSubController::kSuccess},
  };
  for (const Row& row : rows) {
    sim::Reset();
    dpal::ForgetProcessTrustStateForTesting();  // the new machine took back what it kept
    laptop::Options options;
    options.install_pending = false;
    options.catalogue = row.catalogue;
    Provision(options);
    if (row.alter) AlterProfile();
    CDPALProfileSubController controller;
    EXPECT_EQ(controller.RunStartup(), row.result) << row.what;
    EXPECT_EQ(laptop::Switches(), row.expected) << row.what;
    EXPECT_FALSE(dpal::test::KeyExists(HKEY_LOCAL_MACHINE, layout::kInstallStateKey))
        << row.what << ": the install state is not touched";
    EXPECT_TRUE(Completed(controller)) << row.what;
  }
}

TEST_F(ProfileController, StartupAtTheLogonScreenLaunchesNothingButCompletes) {
  Provision();
  sim::LogOff(1);  // the console shows the logon screen
  CDPALProfileSubController controller;
  EXPECT_EQ(controller.RunStartup(), CDPALProfileSubController::kNothingDone);
  EXPECT_TRUE(sim::Launches().empty());
  EXPECT_EQ(InstallState(), 0u);
  EXPECT_TRUE(Completed(controller));
}

TEST_F(ProfileController, UnsupportedMachineDoesNothingAtAll) {
  laptop::Options options;
  options.firmware = L"ABCDE1WX";
  Provision(options);
  CDPALProfileSubController controller;
  EXPECT_FALSE(controller.IsSupported());
  EXPECT_EQ(controller.RunStartup(), CDPALProfileSubController::kNothingDone);
  EXPECT_FALSE(Completed(controller)) << "an unsupported start-up run does not complete";
  EXPECT_FALSE(controller.OnServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON));
  EXPECT_TRUE(sim::Launches().empty());
}

TEST_F(ProfileController, LogonInstallsWhenPendingAndVerifiesOtherwise) {
  Provision();
  auto controller = std::make_unique<CDPALProfileSubController>();
  EXPECT_TRUE(controller->OnServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON));
  EXPECT_EQ(Finish(controller, 1), Switches{L"/i"});
  EXPECT_EQ(InstallState(), 1u);

  controller = std::make_unique<CDPALProfileSubController>();
  EXPECT_TRUE(controller->OnServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON));
  EXPECT_EQ(Finish(controller, 2), (Switches{L"/i", L"/verifyprofile"}));
}

TEST_F(ProfileController, TheLogonAfterALogoffIsLeftAlone) {
  laptop::Options options;
  options.install_pending = false;
  Provision(options);
  auto controller = std::make_unique<CDPALProfileSubController>();
  const DWORD kChange = SERVICE_CONTROL_SESSIONCHANGE;
  EXPECT_TRUE(controller->OnServiceControl(kChange, WTS_SESSION_LOGON));  // counted
  EXPECT_TRUE(controller->OnServiceControl(kChange, WTS_SESSION_LOGOFF));
  EXPECT_TRUE(controller->OnServiceControl(kChange, WTS_SESSION_LOGON));  // left alone
  EXPECT_TRUE(controller->OnServiceControl(kChange, WTS_SESSION_LOGON));  // counted again
  EXPECT_TRUE(controller->OnServiceControl(kChange, WTS_SESSION_LOCK));   // nothing
  EXPECT_TRUE(controller->OnServiceControl(254, 0));                      // nothing here
  EXPECT_EQ(Finish(controller, 2), (Switches{L"/verifyprofile", L"/verifyprofile"}));
}

TEST_F(ProfileController, RefusedInstallLeavesItPendingForTheNextLogon) {
  Provision();
  sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("unsigned replacement"));
  auto controller = std::make_unique<CDPALProfileSubController>();
  EXPECT_EQ(controller->RunLogonProvision(), CDPALProfileSubController::kNothingDone);
  EXPECT_TRUE(sim::Launches().empty());
  EXPECT_EQ(InstallState(), 0u);

  sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("TarvexDPALProfile stand-in"));
  sim::SignFile(laptop::kProfileProgram, laptop::Publisher());
  EXPECT_TRUE(controller->OnServiceControl(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON));
  EXPECT_EQ(Finish(controller, 1), Switches{L"/i"});
  EXPECT_EQ(InstallState(), 1u);
}

TEST_F(ProfileController, AcceptedInstallIsDoneWhateverTheProgramAnswers) {
  exit_code_ = 1;
  Provision();
  CDPALProfileSubController controller;
  EXPECT_EQ(controller.RunLogonProvision(), CDPALProfileSubController::kSuccess);
  EXPECT_EQ(laptop::Switches(), Switches{L"/i"});
  EXPECT_EQ(InstallState(), 1u);
}

TEST_F(ProfileController, StopSignalsCompletion) {
  Provision();
  CDPALProfileSubController controller;
  EXPECT_TRUE(controller.Stop());
  EXPECT_TRUE(Completed(controller));
}

}  // namespace
