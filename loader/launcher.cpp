#include "loader/launcher.h"

#include "common/handles.h"
#include "common/own_image.h"
#include "common/user_session.h"
#include "loader/integrity.h"

namespace dpal {

namespace {

constexpr DWORD kProcessTokenAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE |
                                      TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES |
                                      TOKEN_ADJUST_SESSIONID;  // 0x12F
static_assert(kProcessTokenAccess == 0x12F, "process token access");

bool EnableTcbPrivilege(HANDLE token) {
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  return LookupPrivilegeValueW(nullptr, SE_TCB_NAME, &privileges.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

}  // namespace

bool GetServiceDirectory(WCHAR (&out)[kPathUnits]) {
  WCHAR image[kPathUnits] = {};
  if (!GetOwnImagePath(image)) return false;
  WCHAR* slash = const_cast<WCHAR*>(StrRChrW(image, nullptr, L'\\'));
  if (slash == nullptr) return false;
  *slash = L'\0';
  return Copy(out, image);
}

bool LaunchAsConsoleUser(const WCHAR* path, const WCHAR* switch_text, DWORD* exit_code) {
  if (path == nullptr) return false;
  WCHAR command_line[kPathUnits];
  const bool built = switch_text != nullptr ? Format(command_line, L"%s %s", path, switch_text)
                                            : Copy(command_line, path);
  if (!built) return false;
  WCHAR directory[kPathUnits];
  if (!GetServiceDirectory(directory)) return false;
  WCHAR application[kPathUnits];
  if (!Copy(application, path)) return false;

  const DWORD session = WTSGetActiveConsoleSessionId();

  // Declared in the reverse order of their release: the profile is unloaded before the tokens
  // close, the user name freed, and impersonation reverted before anything else.
  UniqueToken process_token;
  UniqueToken launch_token;
  UniqueWtsMemory<WCHAR> user_name;
  LoadedProfile profile;
  Impersonation impersonation;
  UniqueEnvironmentBlock environment;
  UniqueHandle process;
  UniqueHandle thread;

  if (!OpenProcessToken(GetCurrentProcess(), kProcessTokenAccess, process_token.Put()))
    return false;
  if (!EnableTcbPrivilege(process_token.get())) return false;
  if (!DuplicateTokenEx(process_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                        TokenPrimary, launch_token.Put())) {
    return false;
  }
  DWORD session_id = session;
  if (!SetTokenInformation(launch_token.get(), TokenSessionId, &session_id, sizeof(session_id))) {
    return false;
  }
  DWORD name_bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, user_name.Put(),
                                   &name_bytes)) {
    return false;
  }
  PROFILEINFOW profile_info = {};
  profile_info.dwSize = sizeof(profile_info);
  profile_info.lpUserName = user_name.get();
  if (!profile.Load(launch_token.get(), profile_info)) return false;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  WCHAR desktop[] = L"WinSta0\\Default";
  startup.lpDesktop = desktop;

  if (!impersonation.Begin(launch_token.get())) return false;
  if (!CreateEnvironmentBlock(environment.Put(), launch_token.get(), TRUE)) return false;

  PROCESS_INFORMATION created = {};
  if (!CreateProcessAsUserW(launch_token.get(), application, command_line, nullptr, nullptr, FALSE,
                            CREATE_UNICODE_ENVIRONMENT, environment.get(), directory, &startup,
                            &created)) {
    return false;
  }
  process.reset(created.hProcess);
  thread.reset(created.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.get(), &code)) {
    return false;
  }
  if (exit_code != nullptr) *exit_code = code;
  return true;
}

bool ProfileProgramLauncher::LaunchProfileProgram(const WCHAR* switch_text) {
  WCHAR directory[kPathUnits];
  if (!GetServiceDirectory(directory)) return false;
  WCHAR path[kPathUnits];
  if (!Format(path, L"%s\\%s", directory, program_file_)) return false;
  if (path[0] == L'\0') return false;

  // The checked file stays open, and so unchangeable, until the start below has returned.
  VerifiedProgram program;
  if (!VerifyProgramFile(path, program)) return false;
  DWORD exit_code = 0;
  LaunchAsConsoleUser(path, switch_text, &exit_code);
  return true;
}

}  // namespace dpal
