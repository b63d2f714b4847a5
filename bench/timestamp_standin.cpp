// A per-user program for timing launches (installed as TarvexDPALProfile.exe beside the service,
// signed like it). Its first act is to take the time; it then appends one line to
// "TarvexDPALProfile.times" beside itself:
//   <switch>\t<time at entry>\t<process creation time>
// both as FILETIME counts (100 ns since 1601, UTC), and exits with 0.
#include <cstdio>
#include <string>

#include "platform/win32.h"

namespace {

ULONGLONG Ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  FILETIME entry = {};
  GetSystemTimePreciseAsFileTime(&entry);
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);

  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  std::wstring file(path, length);
  file = file.substr(0, file.rfind(L'\\') + 1) + L"TarvexDPALProfile.times";

  // The switch is the last word of the command line.
  const std::wstring command_line = GetCommandLineW();
  const size_t blank = command_line.rfind(L' ');
  const std::wstring switch_text =
      blank == std::wstring::npos ? std::wstring() : command_line.substr(blank + 1);
  char line[160];
  std::snprintf(line, sizeof(line), "%ls\t%llu\t%llu\n", switch_text.c_str(), Ticks(entry),
                Ticks(created));

  HANDLE out = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(std::char_traits<char>::length(line));
  const BOOL ok = WriteFile(out, line, size, &written, nullptr);
  CloseHandle(out);
  return ok && written == size ? 0 : 1;
}
