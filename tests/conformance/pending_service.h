// The service of the control tests, as one function: the real pending_service.exe of the windows
// build calls it with its command line, and in the sim it is the program of the service the test
// creates. Its command line, after the program's path (quoted when it holds blanks):
//   <accepted> <event>
// ServiceMain reports START_PENDING with <accepted> (decimal) as the controls it accepts,
// checkpoint 1 and the wait hint kPendingWaitHint, and stays so until the named event is set (at
// most 30 s) or a stop reaches its handler; then it reports STOPPED. The program exits with 253
// when the command line is not of this form and with 254 when the event cannot be opened.
#pragma once

#include "platform/win32.h"
#include "tests/conformance/exit_with.h"

namespace dpal::test {

inline constexpr DWORD kPendingWaitHint = 12345;

namespace pending_service {

inline DWORD g_accepted = 0;
inline HANDLE g_release = nullptr;
inline SERVICE_STATUS_HANDLE g_status = nullptr;

inline void Report(DWORD state, DWORD accepted, DWORD checkpoint, DWORD wait_hint) {
  SERVICE_STATUS status = {
      SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, checkpoint, wait_hint};
  SetServiceStatus(g_status, &status);
}

inline DWORD WINAPI Handler(DWORD control, DWORD /*event_type*/, LPVOID /*data*/,
                            LPVOID /*context*/) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(g_release);
  return NO_ERROR;
}

inline void WINAPI Main(DWORD argc, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Handler, nullptr);
  Report(SERVICE_START_PENDING, g_accepted, 1, kPendingWaitHint);
  WaitForSingleObject(g_release, 30000);
  Report(SERVICE_STOPPED, 0, 0, 0);
}

}  // namespace pending_service

inline int PendingServiceMain(const wchar_t* command_line) {
  namespace self = pending_service;
  const std::vector<std::wstring> words = ExitWithArguments(command_line);
  if (words.size() != 2) return 253;
  self::g_accepted = 0;
  for (wchar_t c : words[0]) {
    if (c < L'0' || c > L'9') return 253;
    self::g_accepted = self::g_accepted * 10 + static_cast<DWORD>(c - L'0');
  }
  self::g_release = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, words[1].c_str());
  if (self::g_release == nullptr) return 254;
  WCHAR name[] = L"";
  const SERVICE_TABLE_ENTRYW table[] = {{name, self::Main}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  CloseHandle(self::g_release);
  self::g_release = nullptr;
  return 0;
}

}  // namespace dpal::test
