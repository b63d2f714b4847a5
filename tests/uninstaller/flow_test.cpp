// The uninstaller's flow: which run a start is, the two gates of the final cleanup, the order of
// its steps, where an exception ends a step and where it ends the run, and the exit codes. The
// routines are the test's own, which record their calls and can throw.
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "loader/shared/device_lookup.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "uninstaller/flow.h"
#include "uninstaller/routines.h"

namespace {

using dpal::uninstaller::Routines;
using dpal::uninstaller::RunMode;
using dpal::uninstaller::RunUninstallerProcess;
using dpal::uninstaller::SelectRunMode;
using Calls = std::vector<std::string>;

constexpr const wchar_t* kImage = L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe";
constexpr const wchar_t* kQuotedImage =
    L"\"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe\"";
constexpr const wchar_t* kMoved = L"C:\\Windows\\Temp\\ufn.000";

// What the routines did, and where one of them throws.
enum class Throw { Nothing, NoMemory, PastTheLimit };
Calls g_calls;
std::string g_throwing_step;
Throw g_throw = Throw::Nothing;

void Step(const char* name) {
  g_calls.push_back(name);
  if (g_throwing_step != name) return;
  if (g_throw == Throw::NoMemory) throw std::bad_alloc();
  if (g_throw == Throw::PastTheLimit) throw std::length_error("a list past its limit");
}

// Every routine reports failure: no result changes what the flow does next.
const Routines kRoutines = {
    [] { Step("stop"); },
    [] { Step("profiles"); },
    [] {
      Step("hives");
      return false;
    },
    [] {
      Step("tasks");
      return false;
    },
    [] {
      Step("files");
      return false;
    },
    [] {
      Step("device");
      return false;
    },
};

const Calls kEveryStep = {"stop", "profiles", "hives", "tasks", "files"};

sim::Identity WithCommandLine(sim::Identity identity, const std::wstring& arguments) {
  identity.image_path = kImage;
  identity.command_line = std::wstring(kQuotedImage) + arguments;
  return identity;
}

sim::Identity System(const std::wstring& arguments) {
  return WithCommandLine(sim::LocalSystem(kImage), arguments);
}

class UninstallerFlow : public dpal::test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    g_calls.clear();
    g_throwing_step.clear();
    g_throw = Throw::Nothing;
    sim::PutFile(kImage, sim::ProgramBytes("uninstaller"));
  }

  // The program as the identity, on the test's thread, so that the leak check at the end of the
  // test sees whatever the run did not release (the device record, keys, argument lists).
  static int Run(const sim::Identity& identity) {
    sim::SetProcessIdentity(identity);
    const int code = RunUninstallerProcess(kRoutines);
    sim::SetProcessIdentity(sim::DefaultAdmin());
    return code;
  }

  static RunMode ModeOf(const sim::Identity& identity, bool* read = nullptr) {
    sim::SetProcessIdentity(identity);
    RunMode mode = RunMode::FinalCleanup;
    const bool ok = SelectRunMode(&mode);
    sim::SetProcessIdentity(sim::DefaultAdmin());
    if (read != nullptr) *read = ok;
    return mode;
  }

  static void AddPackageDevice(bool removal_waits_for_restart = false) {
    sim::Device device;
    device.instance_id = L"SWD\\DPAL\\0001";
    device.hardware_ids = {dpal::kSoftwareDeviceHardwareId};
    device.driver_inf = L"oem7.inf";
    device.removal_waits_for_restart = removal_waits_for_restart;
    sim::AddDevice(device);
  }

  static bool ImageMoved() { return sim::FileExists(kMoved) && !sim::FileExists(kImage); }
};

TEST_F(UninstallerFlow, TheSwitchCountsForLocalSystemAsOneWholeArgumentInAnyCase) {
  const struct {
    const wchar_t* arguments;
    RunMode expected;
  } cases[] = {
      {L"", RunMode::None},
      {L" -checkremoval", RunMode::FinalCleanup},
      {L" -CHECKREMOVAL", RunMode::FinalCleanup},
      {L" /quiet -CheckRemoval", RunMode::FinalCleanup},
      {L" -checkRemoval /quiet", RunMode::FinalCleanup},
      {L" \"-checkremoval\"", RunMode::FinalCleanup},
      {L" /checkremoval", RunMode::None},
      {L" --checkremoval", RunMode::None},
      {L" -checkremoval2", RunMode::None},
      {L" \"-checkremoval now\"", RunMode::None},
  };
  for (const auto& c : cases) {
    bool read = false;
    EXPECT_EQ(ModeOf(System(c.arguments), &read), c.expected) << "[" << c.arguments << "]";
    EXPECT_TRUE(read);
  }
  // The program's own name is no argument.
  sim::Identity named = System(L"");
  named.command_line = L"-checkremoval";
  EXPECT_EQ(ModeOf(named), RunMode::None);
}

TEST_F(UninstallerFlow, EveryOtherAccountIsADeviceRemovalRunWhateverItsCommandLine) {
  EXPECT_EQ(ModeOf(WithCommandLine(sim::DefaultAdmin(), L" -checkremoval")),
            RunMode::DeviceRemoval);
  EXPECT_EQ(ModeOf(WithCommandLine(sim::StandardUser(L"S-1-5-21-7-7-7-1001", L"alice"), L"")),
            RunMode::DeviceRemoval);
  sim::FailAlways("CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY);
  bool read = false;
  EXPECT_EQ(ModeOf(WithCommandLine(sim::DefaultAdmin(), L" -checkremoval"), &read),
            RunMode::DeviceRemoval);
  EXPECT_TRUE(read) << "the command line is not read";
  EXPECT_EQ(sim::CallCount("CommandLineToArgvW"), 0u);
}

TEST_F(UninstallerFlow, LocalSystemThatCannotBeToldIsADeviceRemovalRun) {
  sim::FailAlways("OpenProcessToken", ERROR_ACCESS_DENIED);
  EXPECT_EQ(ModeOf(System(L" -checkremoval")), RunMode::DeviceRemoval);
}

TEST_F(UninstallerFlow, LocalSystemWithoutTheSwitchOrACommandLineDoesNothing) {
  EXPECT_EQ(Run(System(L" /quiet")), 0);
  EXPECT_EQ(g_calls, Calls{});
  EXPECT_TRUE(sim::FileExists(kImage));

  sim::FailAlways("CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY);
  bool read = true;
  EXPECT_EQ(ModeOf(System(L" -checkremoval"), &read), RunMode::None);
  EXPECT_FALSE(read);
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, Calls{});
  EXPECT_TRUE(sim::FileExists(kImage));
}

TEST_F(UninstallerFlow, TheDeviceRemovalRunRemovesTheDeviceOnly) {
  AddPackageDevice();
  EXPECT_EQ(Run(WithCommandLine(sim::DefaultAdmin(), L" -checkremoval")), 0)
      << "a failed removal still ends with 0";
  EXPECT_EQ(g_calls, Calls{"device"});
  EXPECT_TRUE(sim::FileExists(kImage));
}

// The device still present, or an owner registered: nothing is removed, and a later run, once
// the gate is open, cleans up. Every step runs although each reports failure, and the image
// goes to the temporary directory last.
TEST_F(UninstallerFlow, TheFinalCleanupWaitsForTheDeviceAndTheOwners) {
  AddPackageDevice();
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, Calls{}) << "the device is present";
  ASSERT_TRUE(sim::RemoveDevice(L"SWD\\DPAL\\0001"));

  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, dpal::layout::kServiceKey,
                             dpal::layout::kOwnersValue, L"TarvexControlCenter");
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, Calls{}) << "an owner is registered";
  EXPECT_TRUE(sim::FileExists(kImage));

  dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, dpal::layout::kServiceKey,
                             dpal::layout::kOwnersValue, L"");
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, kEveryStep);
  EXPECT_TRUE(ImageMoved());
}

// The package's removal of the device succeeds but completes only at the restart: until then
// the device is present and the final cleanup removes nothing; after it the cleanup runs.
TEST_F(UninstallerFlow, ADeviceRemovalThatWaitsForTheRestartHoldsTheCleanupUntilIt) {
  AddPackageDevice(true);
  sim::AddDriverPackage(L"oem7.inf");
  EXPECT_TRUE(dpal::uninstaller::RemoveDeviceAndDriverPackage())
      << "a removal that asks for a restart has succeeded";
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, Calls{}) << "the device is present until the restart";
  EXPECT_TRUE(sim::FileExists(kImage));

  sim::Restart();
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, kEveryStep);
  EXPECT_TRUE(ImageMoved());
}

TEST_F(UninstallerFlow, AFailedDeviceEnumerationCountsAsTheDeviceGone) {
  AddPackageDevice();
  sim::FailAlways("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(System(L" -checkremoval")), 0);
  EXPECT_EQ(g_calls, kEveryStep);
}

// Inside the profile-and-user step and the task step an exception ends that step only; in the
// other steps it ends the run with 1 before the image moves. Either kind, same places.
TEST_F(UninstallerFlow, AnExceptionEndsItsStepOrTheRunAsItsPlaceSays) {
  const struct {
    const char* step;
    Calls calls;
    int code;
  } cases[] = {
      {"stop", {"stop"}, 1},    {"profiles", {"stop", "profiles", "tasks", "files"}, 0},
      {"hives", kEveryStep, 0}, {"tasks", kEveryStep, 0},
      {"files", kEveryStep, 1},
  };
  for (Throw kind : {Throw::NoMemory, Throw::PastTheLimit}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message()
                   << c.step << (kind == Throw::NoMemory ? " (memory)" : " (limit)"));
      g_calls.clear();
      g_throwing_step = c.step;
      g_throw = kind;
      EXPECT_EQ(Run(System(L" -checkremoval")), c.code);
      EXPECT_EQ(g_calls, c.calls);
      EXPECT_EQ(ImageMoved(), c.code == 0) << "the image moves only at the end of the run";
      EXPECT_EQ(sim::Leaks().open_handles["device-info-set"], 0) << "the device record is released";
      if (sim::FileExists(kMoved)) sim::RemoveFile(kMoved);
      sim::PutFile(kImage, sim::ProgramBytes("uninstaller"));
    }
  }
}

// The device-removal run ends with 1 too when an exception interrupts it, instead of ending the
// process as a crash.
TEST_F(UninstallerFlow, AnExceptionInTheDeviceRemovalRunEndsItWithOne) {
  g_throwing_step = "device";
  for (Throw kind : {Throw::NoMemory, Throw::PastTheLimit}) {
    g_calls.clear();
    g_throw = kind;
    EXPECT_EQ(Run(WithCommandLine(sim::DefaultAdmin(), L"")), 1);
    EXPECT_EQ(g_calls, Calls{"device"});
  }
}

// Any platform call of the run failing: the exit code stays 0, the run is one of the three, the
// image is in exactly one place and nothing is left open.
TEST_F(UninstallerFlow, FaultSweepOfTheFinalCleanupRun) {
  sim::PutFile(L"C:\\Windows\\Temp\\ufn.000", {'x'});
  const std::wstring target = L"C:\\Windows\\Temp\\ufn.001";
  const uint64_t calls = dpal::test::SweepFaults(
      [] { return Run(System(L" -checkremoval")); },
      [&](int code, uint64_t n, bool faulted) {
        SCOPED_TRACE(::testing::Message() << "call " << n << " failing");
        EXPECT_EQ(code, 0);
        const bool moved = sim::FileExists(target);
        EXPECT_NE(moved, sim::FileExists(kImage));
        EXPECT_TRUE(g_calls == kEveryStep || g_calls == Calls{} || g_calls == Calls{"device"});
        if (!faulted) {
          EXPECT_EQ(g_calls, kEveryStep);
          EXPECT_TRUE(moved);
        }
        g_calls.clear();
        if (moved) sim::RemoveFile(target);
        sim::PutFile(kImage, sim::ProgramBytes("uninstaller"));
      });
  EXPECT_GE(calls, 12u) << "the account, the command line, the device, the owners, the move";
}

}  // namespace
