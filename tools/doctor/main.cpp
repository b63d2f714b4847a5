// DPALDoctor.exe: the doctor as a console program. The report goes to standard output: to a
// console as text of its own, to a pipe or file as UTF-8.
#include <string>
#include <vector>

#include "common/module.h"
#include "platform/win32.h"
#include "tools/doctor/doctor.h"

namespace {

void Write(const std::string& text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units > 0) {
      std::wstring wide(static_cast<size_t>(units), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          units);
      DWORD written = 0;
      WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
      return;
    }
  }
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  dpal::RestrictLibrarySearchToSystemDirectory();
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] == nullptr ? L"" : argv[i]);
  std::string out;
  const int code = dpal::doctor::RunDoctor(arguments, out);
  Write(out);
  return code;
}
