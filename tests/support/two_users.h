// The laptop of the tests that play a whole life of the package: two users with profiles, Alice
// and Bob, each hive with its SOFTWARE key, and the waits for what the service set off. Sim build
// only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/registry_layout.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "harness/registry_writer.h"
#include "harness/laptop.h"

namespace dpal::test {

inline constexpr const wchar_t* kAliceSid = L"S-1-5-21-1000-1000-1000-1001";
inline constexpr const wchar_t* kBobSid = L"S-1-5-21-1000-1000-1000-1002";

// The laptop before the package, with Alice logged on in session 1 and Bob in session 2, each
// hive with the SOFTWARE key the package's keys go below. The caller restarts the machine.
inline void SetUpTwoUsers() {
  laptop::SetUpMachine();
  sim::CreateUserProfile(kAliceSid, L"alice");
  sim::CreateUserProfile(kBobSid, L"bob");
  sim::LogOn(1, kAliceSid, L"alice");
  sim::LogOn(2, kBobSid, L"bob");
  for (const wchar_t* sid : {kAliceSid, kBobSid}) {
    RegistryWriter software;
    ASSERT_EQ(software.Create(HKEY_USERS, std::wstring(sid) + L"\\SOFTWARE"), ERROR_SUCCESS);
  }
}

// The registry of both users' hives, as a logon mounts them from their files; both log off
// again, which writes the hives back.
inline sim::Snapshot UsersHives() {
  sim::LogOn(1, kAliceSid, L"alice");
  sim::LogOn(2, kBobSid, L"bob");
  const sim::Snapshot hives = sim::TakeSnapshot();
  sim::LogOff(1);
  sim::LogOff(2);
  return hives;
}

// Waits until the service has launched at least `count` programs in all and each has ended.
inline void Launched(size_t count) {
  EXPECT_TRUE(sim::WaitForLaunches(count, std::chrono::seconds(10)))
      << "waiting for " << count << " launches";
  EXPECT_TRUE(sim::WaitForProcessesToEnd(std::chrono::seconds(10)));
}

// Waits until the service has marked the installation done after its first accepted "/i".
inline void InstallationDone() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue) != 1) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the installation is not done";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace dpal::test
