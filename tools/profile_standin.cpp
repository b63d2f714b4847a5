// TarvexDPALProfile.exe, the stand-in per-user program (windows build only). A test tool: the
// package never installs it. It does nothing with colour profiles; it only shows what the
// service's launcher gave it. Each run:
//
//   - appends one line to "TarvexDPALProfile.record" in its own directory (created when
//     missing), UTF-8, fields separated by tabs, each "name=value":
//       command_line=<GetCommandLineW, as received>
//       directory=<its current directory>
//       session=<its session, ProcessIdToSessionId>
//       token_session=<its token's TokenSessionId>
//       account=<DOMAIN\name of its token's user>
//       sid=<that user's SID>
//       desktop=<its window station>\<its thread's desktop>
//     (a field that could not be had is left empty);
//   - exits with the decimal number that "TarvexDPALProfile.exitcode" in its own directory
//     holds, or 0 when there is no such file.
//
// It exits with 253 when the exit code file holds no decimal number and 254 when the record
// could not be written. It is a GUI-subsystem program that opens no window.
#include <string>

#include "platform/win32.h"
#include "harness/standin_record.h"

namespace {

constexpr wchar_t kRecordFile[] = L"TarvexDPALProfile.record";
constexpr wchar_t kExitCodeFile[] = L"TarvexDPALProfile.exitcode";
constexpr DWORD kBadExitCodeFile = 253;
constexpr DWORD kRecordFailed = 254;

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring text(path, length);
  const size_t slash = text.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash);
}

std::wstring CurrentDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

std::wstring Number(DWORD value) { return std::to_wstring(value); }

std::wstring ObjectName(HANDLE object) {
  wchar_t name[256] = {};
  DWORD bytes = 0;
  if (object == nullptr ||
      !GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name), &bytes)) {
    return std::wstring();
  }
  return name;
}

// "WinSta0\Default" on the interactive desktop.
std::wstring Desktop() {
  return ObjectName(GetProcessWindowStation()) + L"\\" +
         ObjectName(GetThreadDesktop(GetCurrentThreadId()));
}

// The session of the process, and the session and user of its token.
struct Identity {
  std::wstring session;
  std::wstring token_session;
  dpal::standin::Account account;
};

Identity OwnIdentity() {
  Identity identity;
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) identity.session = Number(session);
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return identity;
  DWORD size = 0;
  if (GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size)) {
    identity.token_session = Number(session);
  }
  identity.account = dpal::standin::TokenAccount(token);
  CloseHandle(token);
  return identity;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  }
  return out;
}

// Appends the line in one write, so that runs at the same time do not mix their lines.
bool AppendRecord(const std::wstring& path, const std::wstring& line) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string bytes = Utf8(line);
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// The exit code the test chose: absent file 0, a decimal number that number, else 253.
DWORD ChosenExitCode(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  char text[16] = {};
  DWORD read = 0;
  const BOOL ok = ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
  CloseHandle(file);
  if (!ok) return kBadExitCodeFile;
  DWORD code = 0;
  DWORD digits = 0;
  for (DWORD i = 0; i < read; ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || c == ' ') break;
    if (c < '0' || c > '9' || digits == 9) return kBadExitCodeFile;
    code = code * 10 + static_cast<DWORD>(c - '0');
    ++digits;
  }
  return digits == 0 ? kBadExitCodeFile : code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring directory = OwnDirectory();
  if (directory.empty()) return static_cast<int>(kRecordFailed);
  const Identity identity = OwnIdentity();
  const wchar_t* command_line = GetCommandLineW();
  const std::wstring line =
      L"command_line=" + std::wstring(command_line != nullptr ? command_line : L"") +
      L"\tdirectory=" + CurrentDirectory() + L"\tsession=" + identity.session +
      L"\ttoken_session=" + identity.token_session + L"\taccount=" + identity.account.name +
      L"\tsid=" + identity.account.sid + L"\tdesktop=" + Desktop() + L"\n";
  if (!AppendRecord(directory + L"\\" + kRecordFile, line)) {
    return static_cast<int>(kRecordFailed);
  }
  return static_cast<int>(ChosenExitCode(directory + L"\\" + kExitCodeFile));
}
