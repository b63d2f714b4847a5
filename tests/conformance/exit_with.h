// The little program the process tests start, as one function: the real exit_with.exe of the
// windows build calls it with its command line, and in the sim it is the program registered for
// the same file. Its command line, after the program's path (quoted when it holds blanks):
//   <code>               exit with <code> (decimal)
//   <code> <event>       first wait (at most 30 s) until the named event is set, then exit
//   <code> failfast      end at once with RaiseFailFastException (never exiting with <code>)
// It exits with 254 when the event cannot be opened or the wait fails, and with 253 when the
// command line holds no code.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace dpal::test {

inline std::vector<std::wstring> ExitWithArguments(const wchar_t* command_line) {
  std::vector<std::wstring> words;
  const std::wstring line(command_line ? command_line : L"");
  size_t pos = 0;
  // The program's path: quoted, or up to the first blank.
  if (!line.empty() && line[0] == L'"') {
    const size_t close = line.find(L'"', 1);
    pos = close == std::wstring::npos ? line.size() : close + 1;
  } else {
    pos = line.find(L' ');
    if (pos == std::wstring::npos) pos = line.size();
  }
  while (pos < line.size()) {
    while (pos < line.size() && line[pos] == L' ') ++pos;
    const size_t end = line.find(L' ', pos);
    const size_t stop = end == std::wstring::npos ? line.size() : end;
    if (stop > pos) words.push_back(line.substr(pos, stop - pos));
    pos = stop;
  }
  return words;
}

inline DWORD ExitWithMain(const wchar_t* command_line) {
  const std::vector<std::wstring> words = ExitWithArguments(command_line);
  if (words.empty()) return 253;
  DWORD code = 0;
  for (wchar_t c : words[0]) {
    if (c < L'0' || c > L'9') return 253;
    code = code * 10 + static_cast<DWORD>(c - L'0');
  }
  if (words.size() > 1 && words[1] == L"failfast") {
    RaiseFailFastException(nullptr, nullptr, 0);
    return code;
  }
  if (words.size() > 1) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, words[1].c_str());
    if (event == nullptr) return 254;
    const DWORD waited = WaitForSingleObject(event, 30000);
    CloseHandle(event);
    if (waited != WAIT_OBJECT_0) return 254;
  }
  return code;
}

}  // namespace dpal::test
