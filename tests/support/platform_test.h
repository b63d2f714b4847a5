// The fixture every test derives from. In the sim build each test starts on a freshly reset
// machine and ends with the leak check (handles, local memory, hives, profiles, impersonation).
// In the windows build (under Wine) the same tests run against the real system; they keep their
// registry data below a scratch key of their own, which the fixture removes again.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"
#include "harness/registry_writer.h"

#if !defined(_WIN32)
#include "platform/sim/sim.h"
#endif

namespace dpal::test {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A scratch key path unique to this test, below "Software\DPALTests" (HKLM or HKCU); the
  // fixture deletes it with everything below it at the end of the test.
  const std::wstring& Scratch() const { return scratch_; }

  // Skips the leak check at the end of the test (for a test that keeps something on purpose
  // and says why in its own body).
  void KeepLeaksOnPurpose() { check_leaks_ = false; }

 private:
  void RemoveScratch() const;

  std::wstring scratch_;
  bool check_leaks_ = true;
};

// For tests that use the package's own registry keys (service key, BIOS key): the keys are
// removed before and after each test, so that tests under Wine, which share one prefix, start
// alike. Such tests are built with dpal_add_test(... MACHINE_KEYS), or their suites named in
// its SUITE_LOCKS with the lock dpal_machine_keys, which keeps them from running in parallel
// with each other.
class MachineKeysTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Registry content for a test's set-up, through the RegistryWriter; each fails the test when the
// write fails. A multi-string is given as its entries separated by NULs.
void PutDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD value);
void PutString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value,
               DWORD type = REG_SZ);
void PutMultiString(HKEY root, const std::wstring& key, const wchar_t* name,
                    const std::wstring& joined_with_nuls);
void PutBinary(HKEY root, const std::wstring& key, const wchar_t* name, const void* data,
               DWORD size);
void MakeKey(HKEY root, const std::wstring& key);
bool KeyExists(HKEY root, const std::wstring& key);

// The user of a token as a string SID; empty on failure.
std::wstring TokenUserSid(HANDLE token);

}  // namespace dpal::test

// True in the sim build: tests of what only the sim can show (identity, faults) use it.
#if defined(_WIN32)
#define DPAL_SIM 0
#else
#define DPAL_SIM 1
#endif
