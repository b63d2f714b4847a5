// Processes: starting programs (CreateProcessW, CreateProcessAsUserW) that run behaviours
// registered for their image files, process and thread objects, exit codes, the image path of
// the calling process, and the environment blocks programs are started with.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>
#include <set>
#include <thread>

#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/call_depth.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/memory.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/sessions/internal.h"
#include "platform/sim/sessions/processthreadsapi.h"
#include "platform/sim/sessions/sim_sessions.h"
#include "platform/sim/sessions/userenv.h"

namespace sim {
namespace {

// The exit code of a process ended by an uncaught C++ exception.
constexpr DWORD kCppExceptionCode = 0xE06D7363;

// The profile folder Windows gives an account.
std::wstring ProfileDirectory(const Token& token) {
  if (IsSystemSid(token.user_sid)) return SystemDirectoryLocked() + L"\\config\\systemprofile";
  return L"C:\\Users\\" + token.user_name;
}

// The environment a token's user gets (CreateEnvironmentBlock, a program started without an
// environment of its own), as "NAME=value" entries in the sorted order of an environment block.
std::vector<std::wstring> EnvironmentForLocked(const Token& token) {
  const std::wstring windows = WindowsDirectoryLocked();
  const std::wstring system = SystemDirectoryLocked();
  const std::wstring profile = ProfileDirectory(token);
  const bool system_account = IsSystemSid(token.user_sid);
  const std::wstring temp =
      system_account ? windows + L"\\TEMP" : profile + L"\\AppData\\Local\\Temp";
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> variables;  // by upper-case name
  auto set = [&](const std::wstring& name, const std::wstring& value) {
    variables[Upper(name)] = {name, value};
  };
  set(L"ALLUSERSPROFILE", L"C:\\ProgramData");
  set(L"APPDATA", profile + L"\\AppData\\Roaming");
  set(L"COMPUTERNAME", kComputerName);
  set(L"ComSpec", system + L"\\cmd.exe");
  set(L"LOCALAPPDATA", profile + L"\\AppData\\Local");
  set(L"NUMBER_OF_PROCESSORS", L"2");
  set(L"OS", L"Windows_NT");
  set(L"Path", system + L";" + windows + L";" + system + L"\\Wbem");
  set(L"PATHEXT", L".COM;.EXE;.BAT;.CMD");
  set(L"PROCESSOR_ARCHITECTURE", L"AMD64");
  set(L"ProgramData", L"C:\\ProgramData");
  set(L"ProgramFiles", ProgramFilesDirectoryLocked());
  set(L"PUBLIC", L"C:\\Users\\Public");
  set(L"SystemDrive", windows.substr(0, 2));
  set(L"SystemRoot", windows);
  set(L"TEMP", temp);
  set(L"TMP", temp);
  set(L"USERDOMAIN", system_account ? L"WORKGROUP" : kComputerName);
  set(L"USERNAME", system_account ? std::wstring(kComputerName) + L"$" : token.user_name);
  set(L"USERPROFILE", profile);
  set(L"windir", windows);
  if (!system_account) {
    set(L"HOMEDRIVE", profile.substr(0, 2));
    set(L"HOMEPATH", profile.substr(2));
  }
  std::vector<std::wstring> entries;
  for (const auto& [key, entry] : variables) entries.push_back(entry.first + L"=" + entry.second);
  return entries;
}

struct ProcessObject : Object {
  static constexpr HandleKind kKind{"process", true};
  ProcessObject() : Object(kKind) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return ended; }
  std::wstring Name() const override { return image_path; }
  bool ended = false;
  DWORD exit_code = STILL_ACTIVE;
  DWORD id = 0;
  std::wstring image_path;
  std::shared_ptr<Token> token;
  // The image stays mapped, and so shared for reading only, while the program runs.
  std::shared_ptr<FileOpen> image;
  std::shared_ptr<SimProcess> record;  // the kernel's view: its threads, what it owns
  // The code the process ends with when it ends: its entry's result once that has returned, and
  // until then 1, as TerminateProcess(process, 1) by a restart.
  DWORD ending_code = 1;
};

struct ThreadObject : Object {
  static constexpr HandleKind kKind{"thread", true};
  explicit ThreadObject(std::shared_ptr<ProcessObject> owner)
      : Object(kKind), process(std::move(owner)) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return process->ended; }
  std::wstring Name() const override { return process->image_path; }
  std::shared_ptr<ProcessObject> process;
};

struct ProcessTable {
  std::map<std::wstring, Program> programs;  // by FileKey of the image path
  std::vector<Launch> launches;
  std::set<std::shared_ptr<ProcessObject>> running;
  DWORD next_id = 1000;
};

ProcessTable& Processes() {
  static ProcessTable* processes = new ProcessTable();
  return *processes;
}

bool IsAbsolute(const std::wstring& path) {
  return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

std::wstring Join(const std::wstring& directory, const std::wstring& name) {
  if (!directory.empty() && directory.back() == L'\\') return directory + name;
  return directory + L"\\" + name;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

bool FileThereLocked(const std::wstring& path) {
  const FileEntry entry = FileEntryLocked(path);
  return entry.exists && !entry.directory && !entry.delete_pending;
}

// The program file a start names. With an application name, that file (relative to the
// caller's current directory; no extension is added and no search path used). Without one, the
// first token of the command line: quoted, or else the shortest prefix ending at a blank that
// names an existing file (".exe" added when the name has no extension), looked up in the
// caller's image directory, its current directory, System32 and the Windows directory.
std::wstring ResolveImageLocked(const wchar_t* application, const wchar_t* command_line,
                                const Identity& caller) {
  if (application != nullptr) {
    const std::wstring name(application);
    return IsAbsolute(name) ? name : Join(caller.current_directory, name);
  }
  const std::wstring line(command_line);
  std::vector<std::wstring> candidates;
  if (!line.empty() && line[0] == L'"') {
    const size_t close = line.find(L'"', 1);
    candidates.push_back(
        line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
  } else {
    for (size_t blank = line.find(L' '); blank != std::wstring::npos;
         blank = line.find(L' ', blank + 1)) {
      candidates.push_back(line.substr(0, blank));
    }
    candidates.push_back(line);
  }
  std::vector<std::wstring> tried;
  for (std::wstring name : candidates) {
    const size_t last = name.find_last_of(L"\\/");
    if (name.find(L'.', last == std::wstring::npos ? 0 : last) == std::wstring::npos) {
      name += L".exe";
    }
    std::vector<std::wstring> paths;
    if (IsAbsolute(name)) {
      paths.push_back(name);
    } else {
      for (const std::wstring& dir : {DirectoryOf(caller.image_path), caller.current_directory,
                                      SystemDirectoryLocked(), WindowsDirectoryLocked()}) {
        if (!dir.empty()) paths.push_back(Join(dir, name));
      }
    }
    for (const std::wstring& path : paths) {
      if (FileThereLocked(path)) return path;
      tried.push_back(path);
    }
  }
  // Nothing exists: the first place tried decides the error.
  return tried.empty() ? line : tried.front();
}

std::vector<std::wstring> ParseEnvironment(const void* block, bool unicode) {
  std::vector<std::wstring> entries;
  if (unicode) {
    for (const WCHAR* p = static_cast<const WCHAR*>(block); *p; p += std::wcslen(p) + 1) {
      entries.emplace_back(p);
    }
  } else {
    // Without CREATE_UNICODE_ENVIRONMENT the block is read as ANSI text, whatever it holds.
    for (const char* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1) {
      entries.emplace_back(p, p + std::strlen(p));
    }
  }
  return entries;
}

// The end of a program's process, however it comes (its entry returned, or a restart ended it).
// Caller holds the machine lock.
void EndProgramLocked(ProcessObject& process, DWORD exit_code) {
  if (process.ended) return;
  process.image.reset();
  process.exit_code = exit_code;
  process.ended = true;
  for (auto it = Processes().running.begin(); it != Processes().running.end(); ++it) {
    if (it->get() == &process) {
      Processes().running.erase(it);
      break;
    }
  }
  MachineSignal().notify_all();
}

// The thread that plays a program's process: it acts as the process, runs the entry point, and
// ends the process when the entry returns (an entry that throws ends with the code of an uncaught
// C++ exception). Whatever the program left behind ends with the process.
void PlayProgram(std::shared_ptr<ProcessObject> process, Identity identity,
                 std::function<DWORD()> entry) {
  JoinProcess(process->record);
  {
    Lock lock(MachineLock());
    SetThreadIdentityLocked(identity, process->token);
  }
  DWORD code = kCppExceptionCode;
  try {
    ProductCode product;
    code = entry();
  } catch (...) {
    code = kCppExceptionCode;
  }
  // A program that was ended from outside (a restart) stops here.
  Lock lock(MachineLock());
  SetThreadImpersonationLocked(nullptr);
  process->ending_code = code;
  // The process object is signalled once its threads have stopped and what it held is released.
  EndProcessLocked(lock, process->record, ProcessEnd::Returned);
}

// The desktop a program gets when its start names none: its parent's. A service's is its
// non-interactive window station's.
std::wstring DefaultDesktop(DWORD parent_session) {
  return parent_session == 0 ? L"Service-0x0-3e7$\\Default" : L"WinSta0\\Default";
}

// The part of both create functions after the token is settled. Caller holds the lock; returns
// 0 or the error.
DWORD StartLocked(const char* function, std::shared_ptr<Token> token, const Identity& caller,
                  LPCWSTR application, LPWSTR command_line, DWORD flags, LPVOID environment,
                  LPCWSTR current_directory, const STARTUPINFOW& startup,
                  LPPROCESS_INFORMATION info) {
  std::wstring directory = caller.current_directory;
  if (current_directory != nullptr) {
    directory = IsAbsolute(current_directory) ? std::wstring(current_directory)
                                              : Join(caller.current_directory, current_directory);
    while (directory.size() > 3 && directory.back() == L'\\') directory.pop_back();
    if (!DirectoryExistsLocked(directory)) return ERROR_DIRECTORY;
  }
  const std::wstring image = ResolveImageLocked(application, command_line, caller);
  DWORD error = 0;
  // The loader maps the image: read and execute, sharing read and delete.
  auto open = OpenExistingFileLocked(image, GENERIC_READ | GENERIC_EXECUTE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, true, &error);
  if (!open) return error;
  auto found = Processes().programs.find(FileKey(image));
  if (found == Processes().programs.end()) return ERROR_BAD_EXE_FORMAT;

  auto process = std::make_shared<ProcessObject>();
  process->id = Processes().next_id;
  Processes().next_id += 8;
  process->image_path = image;
  process->token = std::move(token);
  process->image = std::move(open);
  process->record = NewProcessLocked(false, image);

  Launch launch;
  launch.function = function;
  launch.application_name = application ? application : L"";
  launch.image_path = image;
  launch.command_line = command_line ? std::wstring(command_line) : launch.application_name;
  launch.current_directory = directory;
  if (startup.lpDesktop != nullptr) {
    launch.desktop = startup.lpDesktop;
  } else {
    launch.desktop = DefaultDesktop(caller.session_id);
  }
  launch.creation_flags = flags;
  launch.session_id = process->token->session_id;
  launch.user_sid = process->token->user_sid;
  launch.user_name = process->token->user_name;
  launch.elevated = process->token->administrator;
  launch.environment =
      environment != nullptr
          ? ParseEnvironment(environment, (flags & CREATE_UNICODE_ENVIRONMENT) != 0)
          : EnvironmentForLocked(*ProcessTokenLocked());
  launch.process_id = process->id;

  Identity identity;
  identity.user_sid = launch.user_sid;
  identity.user_name = launch.user_name;
  identity.administrator = launch.elevated;
  identity.session_id = launch.session_id;
  identity.image_path = image;
  identity.command_line = launch.command_line;
  identity.current_directory = directory;

  try {
    Program program = found->second;
    std::thread(PlayProgram, process, identity, [program, launch] {
      return program(launch);
    }).detach();
  } catch (const std::exception&) {
    process->image.reset();
    MarkEndedLocked(*process->record);
    process->record->released = true;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  Processes().running.insert(process);
  Processes().launches.push_back(launch);
  MachineSignal().notify_all();

  info->hProcess = reinterpret_cast<HANDLE>(AddHandleLocked(process, PROCESS_ALL_ACCESS));
  info->hThread = reinterpret_cast<HANDLE>(
      AddHandleLocked(std::make_shared<ThreadObject>(process), THREAD_ALL_ACCESS));
  info->dwProcessId = process->id;
  info->dwThreadId = process->id + 4;
  return 0;
}

// Checks the arguments both create functions share; 0 or the error.
DWORD CheckCreateArguments(LPCWSTR application, LPWSTR command_line, DWORD flags,
                           LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  if (startup == nullptr || info == nullptr) return ERROR_NOACCESS;
  if (application == nullptr && command_line == nullptr) return ERROR_INVALID_PARAMETER;
  // Suspended starts and debugging are not modelled: the program runs at once.
  if (flags & (CREATE_SUSPENDED | DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS))
    return ERROR_NOT_SUPPORTED;
  return 0;
}

// The image path of a process handle (the current process pseudo-handle included); 0 or the
// error.
DWORD ImagePathLocked(HANDLE process, ACCESS_MASK needed, std::wstring* path) {
  if (process == GetCurrentProcess()) {
    *path = CurrentIdentityLocked().image_path;
    return 0;
  }
  auto object = LookupAsLocked<ProcessObject>(H(process));
  if (!object) return ERROR_INVALID_HANDLE;
  if ((HandleAccessLocked(H(process)) & needed) == 0) return ERROR_ACCESS_DENIED;
  *path = object->image_path;
  return 0;
}

}  // namespace

std::wstring Launch::Variable(const std::wstring& name) const {
  const std::wstring prefix = Upper(name) + L"=";
  for (const std::wstring& entry : environment) {
    if (Upper(entry.substr(0, prefix.size())) == prefix) return entry.substr(prefix.size());
  }
  return L"";
}

void ResetProcessesLocked() {
  Processes().programs.clear();
  Processes().launches.clear();
  // Programs still running from before keep their objects; they no longer count.
  Processes().running.clear();
}

void ProcessesProcessEndedLocked(const SimProcess& record) {
  for (const auto& process : std::set<std::shared_ptr<ProcessObject>>(Processes().running)) {
    if (process->record.get() == &record) EndProgramLocked(*process, process->ending_code);
  }
}

void ProcessesLeaksLocked(LeakReport& report) {
  if (!Processes().running.empty()) {
    report.open_handles["running-process"] = static_cast<int>(Processes().running.size());
  }
}

void RegisterProgram(const std::wstring& image_path, Program program) {
  Lock lock(MachineLock());
  Processes().programs[FileKey(image_path)] = std::move(program);
}

std::vector<Launch> Launches() {
  Lock lock(MachineLock());
  return Processes().launches;
}

bool WaitForLaunches(size_t count, std::chrono::milliseconds timeout) {
  Lock lock(MachineLock());
  return MachineSignal().wait_for(lock, timeout,
                                  [count] { return Processes().launches.size() >= count; });
}

int RunProcess(const Identity& identity, const std::wstring& command_line,
               std::function<int()> entry) {
  Identity self = identity;
  self.command_line = command_line;
  auto process = std::make_shared<ProcessObject>();
  Lock lock(MachineLock());
  process->id = Processes().next_id;
  Processes().next_id += 8;
  process->image_path = self.image_path;
  process->token = MakeTokenLocked(self);
  // Threads its entry starts act as the process identity; they belong to it only when it plays
  // that identity, as for a service.
  process->record = NewProcessLocked(IsProcessIdentityLocked(self), self.image_path);
  // The image is mapped while the program runs, as the loader maps it, if there is one.
  DWORD error = 0;
  process->image = OpenExistingFileLocked(self.image_path, GENERIC_READ | GENERIC_EXECUTE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, true, &error);
  Launch launch;
  launch.function = "RunProcess";
  launch.image_path = self.image_path;
  launch.command_line = command_line;
  launch.current_directory = self.current_directory;
  launch.desktop = DefaultDesktop(self.session_id);
  launch.session_id = process->token->session_id;
  launch.user_sid = process->token->user_sid;
  launch.user_name = process->token->user_name;
  launch.elevated = process->token->administrator;
  launch.environment = EnvironmentForLocked(*process->token);
  launch.process_id = process->id;
  Processes().running.insert(process);
  Processes().launches.push_back(std::move(launch));
  MachineSignal().notify_all();
  try {
    // Detached: a thread of a process that a restart ends never returns.
    std::thread(PlayProgram, process, self, [entry = std::move(entry)] {
      return static_cast<DWORD>(entry());
    }).detach();
  } catch (const std::exception&) {
    process->ending_code = kCppExceptionCode;
    EndProcessLocked(lock, process->record, ProcessEnd::Terminated);
    throw;
  }
  MachineSignal().wait(lock, [&] { return process->ended; });
  return static_cast<int>(process->exit_code);
}

bool WaitForProcessesToEnd(std::chrono::milliseconds timeout) {
  Lock lock(MachineLock());
  return MachineSignal().wait_for(lock, timeout, [] { return Processes().running.empty(); });
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" BOOL WINAPI CreateProcessAsUserW(
    HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
    LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
    BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
    LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  if (DWORD e = SIM_ENTER(hToken, lpApplicationName, static_cast<LPCWSTR>(lpCommandLine),
                          lpProcessAttributes, lpThreadAttributes, bInheritHandles, dwCreationFlags,
                          lpEnvironment, lpCurrentDirectory,
                          lpStartupInfo ? static_cast<LPCWSTR>(lpStartupInfo->lpDesktop) : nullptr,
                          lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  if (DWORD e = CheckCreateArguments(lpApplicationName, lpCommandLine, dwCreationFlags,
                                     lpStartupInfo, lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  auto token = LookupAsLocked<Token>(H(hToken));
  if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!token->primary) return Fail(ERROR_BAD_TOKEN_TYPE, FALSE);
  constexpr ACCESS_MASK kNeeded = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY;
  if ((HandleAccessLocked(H(hToken)) & kNeeded) != kNeeded) return Fail(ERROR_ACCESS_DENIED, FALSE);
  // A token of the caller's own account (a duplicate of its own token, say) may be assigned by
  // anyone. Any other token needs the caller to hold the privileges to assign primary tokens and
  // to raise quotas, as services running as LocalSystem do; CreateProcessAsUserW enables them
  // itself, so holding them is enough.
  auto caller = EffectiveTokenLocked();
  if (token->user_sid != ProcessTokenLocked()->user_sid &&
      (!PrivilegeHeldLocked(*caller, SE_ASSIGNPRIMARYTOKEN_NAME) ||
       !PrivilegeHeldLocked(*caller, SE_INCREASE_QUOTA_NAME))) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  }
  if (DWORD e =
          StartLocked("CreateProcessAsUserW", CopyTokenLocked(*token), CurrentIdentityLocked(),
                      lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                      lpCurrentDirectory, *lpStartupInfo, lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                      LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                      LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                      BOOL bInheritHandles, DWORD dwCreationFlags,
                                      LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                      LPSTARTUPINFOW lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation) {
  if (DWORD e = SIM_ENTER(lpApplicationName, static_cast<LPCWSTR>(lpCommandLine),
                          lpProcessAttributes, lpThreadAttributes, bInheritHandles, dwCreationFlags,
                          lpEnvironment, lpCurrentDirectory,
                          lpStartupInfo ? static_cast<LPCWSTR>(lpStartupInfo->lpDesktop) : nullptr,
                          lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  if (DWORD e = CheckCreateArguments(lpApplicationName, lpCommandLine, dwCreationFlags,
                                     lpStartupInfo, lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  Lock lock(MachineLock());
  // The new process gets a copy of the caller's primary token, even while the caller
  // impersonates someone.
  if (DWORD e =
          StartLocked("CreateProcessW", CopyTokenLocked(*ProcessTokenLocked()),
                      CurrentIdentityLocked(), lpApplicationName, lpCommandLine, dwCreationFlags,
                      lpEnvironment, lpCurrentDirectory, *lpStartupInfo, lpProcessInformation)) {
    return Fail(e, FALSE);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (DWORD e = SIM_ENTER(hProcess, lpExitCode)) return Fail(e, FALSE);
  if (lpExitCode == nullptr) return Fail(ERROR_NOACCESS, FALSE);
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  Lock lock(MachineLock());
  auto process = LookupAsLocked<ProcessObject>(H(hProcess));
  if (!process) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((HandleAccessLocked(H(hProcess)) &
       (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  *lpExitCode = process->exit_code;
  return TRUE;
}

extern "C" BOOL WINAPI QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName,
                                                  PDWORD lpdwSize) {
  if (DWORD e = SIM_ENTER(hProcess, dwFlags, static_cast<const void*>(lpExeName), lpdwSize)) {
    return Fail(e, FALSE);
  }
  if (lpdwSize == nullptr || (dwFlags & ~static_cast<DWORD>(PROCESS_NAME_NATIVE)) != 0) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::wstring path;
  {
    Lock lock(MachineLock());
    if (DWORD e = ImagePathLocked(
            hProcess, PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION, &path)) {
      return Fail(e, FALSE);
    }
  }
  if (dwFlags & PROCESS_NAME_NATIVE) {
    // The device path of the volume instead of the drive letter (C: is the second volume).
    const wchar_t drive = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(path[0])));
    path = L"\\Device\\HarddiskVolume" + std::to_wstring(drive - L'A') + path.substr(2);
  }
  // The size is in characters with the terminator on input, without it on output; a buffer
  // that is too small leaves the size as it was.
  if (*lpdwSize < path.size() + 1 || lpExeName == nullptr) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::wmemcpy(lpExeName, path.c_str(), path.size() + 1);
  *lpdwSize = static_cast<DWORD>(path.size());
  return TRUE;
}

extern "C" LPWSTR WINAPI GetCommandLineW(void) {
  // It cannot fail, and a program asks it freely: not traced.
  Lock lock(MachineLock());
  return const_cast<LPWSTR>(CurrentCommandLineLocked());
}

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hModule), static_cast<const void*>(lpFilename),
                          nSize)) {
    return Fail(e, 0);
  }
  if (hModule != nullptr) {
    // The sim has no modules besides each process's image.
    return Fail(ERROR_MOD_NOT_FOUND, 0);
  }
  std::wstring path;
  {
    Lock lock(MachineLock());
    path = CurrentIdentityLocked().image_path;
  }
  // A name that does not fit is cut to nSize - 1 characters and terminated; the result is then
  // nSize with ERROR_INSUFFICIENT_BUFFER.
  if (path.size() >= nSize) {
    if (nSize > 0 && lpFilename != nullptr) {
      std::wmemcpy(lpFilename, path.c_str(), nSize - 1);
      lpFilename[nSize - 1] = L'\0';
    }
    return Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  std::wmemcpy(lpFilename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// ----- Win32: environment blocks
// ------------------------------------------------------------------

extern "C" BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit) {
  if (DWORD e = SIM_ENTER(lpEnvironment, hToken, bInherit)) {
    return Fail(e, FALSE);
  }
  if (lpEnvironment == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  std::vector<std::wstring> entries;
  if (hToken == nullptr) {
    // No token: the system variables only, with the default user's profile folder.
    Token none;
    none.user_name = L"Default";
    entries = EnvironmentForLocked(none);
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const std::wstring& entry) {
                                   const std::wstring name =
                                       Upper(entry.substr(0, entry.find(L'=')));
                                   return name == L"USERNAME" || name == L"USERDOMAIN" ||
                                          name == L"HOMEDRIVE" || name == L"HOMEPATH" ||
                                          name == L"APPDATA" || name == L"LOCALAPPDATA";
                                 }),
                  entries.end());
  } else {
    auto token = LookupAsLocked<Token>(H(hToken));
    if (!token) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if ((HandleAccessLocked(H(hToken)) & TOKEN_QUERY) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // The sim's processes have no environment of their own beyond what their account gives
    // them, so inheriting adds nothing.
    entries = EnvironmentForLocked(*token);
  }
  size_t units = 1;
  for (const std::wstring& entry : entries) units += entry.size() + 1;
  auto* block =
      static_cast<WCHAR*>(AllocateBlockLocked("environment-block", units * sizeof(WCHAR)));
  if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  WCHAR* out = block;
  for (const std::wstring& entry : entries) {
    std::wmemcpy(out, entry.c_str(), entry.size() + 1);
    out += entry.size() + 1;
  }
  *out = L'\0';
  *lpEnvironment = block;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment) {
  if (DWORD e = SIM_ENTER_RELEASE(lpEnvironment)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (!FreeBlockLocked(lpEnvironment, "environment-block")) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  return TRUE;
}
