// The major version of the Windows a test runs on, as ntdll reports it whatever the program's
// manifest says: the sim's version in the sim, the prefix's under Wine (a fresh prefix reports
// Windows 7). What the display configuration accepts depends on it.
#pragma once

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace dpal::test {

inline DWORD WindowsMajorVersion() {
#if DPAL_SIM
  return sim::CurrentWindowsVersion().major;
#else
  using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version = reinterpret_cast<GetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (get_version == nullptr || get_version(&version) != 0) {
    ADD_FAILURE() << "ntdll reports no version";
    return 0;
  }
  return version.dwMajorVersion;
#endif
}

}  // namespace dpal::test
