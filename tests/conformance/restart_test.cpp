// File operations recorded for the next restart (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT)
// and the restart that carries them out: in the sim a restart of the simulated machine, under
// Wine `wineboot -r` in the tests' prefix. In the sim also the rest of a restart (processes,
// logons, hives, automatic services) and the end of a service's process, which the restart
// builds on. The recorded value is one for the whole machine, so these tests take turns (one
// resource lock).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/conformance/scratch_dir.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using namespace std::chrono_literals;
using dpal::test::PlatformTest;
using dpal::test::ScratchDir;
using dpal::test::WriteWholeFile;

using dpal::test::kSentinel;
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";

// The whole content of a file, or "(missing)".
std::string Contents(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(missing)";
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  return bytes.substr(0, read);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class PendingOperations : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    DeleteValue();
  }
  void TearDown() override {
    DeleteValue();
    PlatformTest::TearDown();
  }

  static void DeleteValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(key, kPending);
      RegCloseKey(key);
    }
  }

  // The value's type and data as UTF-16 units; type REG_NONE when there is no value.
  static std::wstring Value(DWORD* type) {
    *type = REG_NONE;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      return L"(no key)";
    }
    DWORD size = 0;
    std::wstring units;
    if (RegQueryValueExW(key, kPending, nullptr, type, nullptr, &size) == ERROR_SUCCESS) {
      units.resize(size / sizeof(WCHAR));
      RegQueryValueExW(key, kPending, nullptr, type, reinterpret_cast<BYTE*>(&units[0]), &size);
    }
    RegCloseKey(key);
    return units;
  }

  // The restart: the simulated machine's, or under Wine `wineboot -r`, which carries out the
  // recorded operations as a boot does.
  static void RestartMachine() {
#if DPAL_SIM
    sim::Restart();
#else
    WCHAR system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring program = std::wstring(system) + L"\\wineboot.exe";
    WCHAR command_line[] = L"wineboot.exe -r";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), command_line, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info))
        << GetLastError();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 60000), WAIT_OBJECT_0) << "wineboot -r hangs";
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
#endif
  }
};

// Each operation is a pair of strings in the order of the calls: the source as an NT path, and
// the target as one ("!" in front when it may replace a file) or an empty string for a deletion.
// A missing source is recorded too; nothing moves before the restart.
TEST_F(PendingOperations, EachCallAddsAPairOfNtPaths) {
  ScratchDir dir;
  const std::wstring doomed = dir.Name(L"doomed.txt");
  const std::wstring missing = dir.Name(L"missing.txt");
  const std::wstring from = dir.Name(L"from.txt");
  const std::wstring to = dir.Name(L"to.txt");
  ASSERT_TRUE(WriteWholeFile(doomed, "doomed"));
  ASSERT_TRUE(WriteWholeFile(from, "from"));

  ASSERT_TRUE(MoveFileExW(doomed.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << GetLastError();
  DWORD type = 0;
  const std::wstring nt = L"\\??\\";
  std::wstring expected = nt + doomed + L'\0' + L'\0' + L'\0';
  EXPECT_EQ(Value(&type), expected) << "one deletion: the source, an empty target, the end";
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));

  ASSERT_TRUE(MoveFileExW(missing.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      << "a file that does not exist is recorded too: " << GetLastError();
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(to.c_str(), from.c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  expected.pop_back();  // the list's terminator moves behind the new pairs
  expected += nt + missing + L'\0' + L'\0';
  expected += nt + from + L'\0' + nt + to + L'\0';
  expected += nt + to + L'\0' + L'!' + nt + from + L'\0' + L'\0';
  EXPECT_EQ(Value(&type), expected);
  EXPECT_EQ(Contents(doomed), "doomed") << "nothing happens before the restart";
  EXPECT_EQ(Contents(from), "from");
  EXPECT_FALSE(Exists(to));

  // Copying is not something a restart can do.
  SetLastError(kSentinel);
  const BOOL copied =
      MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED);
  // Wine gap: Wine records the copy that Windows refuses.
  DPAL_TODO_WINE {
    EXPECT_FALSE(copied);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Value(&type), expected) << "a refused call records nothing";
  }
}

// The restart carries the operations out in their order and then removes the value: a deletion
// makes room for a rename onto the same name; a rename onto an existing file happens only when
// it may replace it; a directory goes only when empty; what cannot be done is passed over.
TEST_F(PendingOperations, TheRestartCarriesThemOutInOrder) {
  ScratchDir dir;
  const std::wstring old_file = dir.Name(L"current.txt");
  const std::wstring new_file = dir.Name(L"update.txt");
  const std::wstring kept = dir.Name(L"kept.txt");
  const std::wstring blocked = dir.Name(L"blocked.txt");
  const std::wstring replacing = dir.Name(L"replacing.txt");
  const std::wstring replaced = dir.Name(L"replaced.txt");
  const std::wstring full = dir.Name(L"full");
  const std::wstring inner = dir.Name(L"full\\inner.txt");
  const std::wstring empty = dir.Name(L"empty");
  ASSERT_TRUE(WriteWholeFile(old_file, "old"));
  ASSERT_TRUE(WriteWholeFile(new_file, "new"));
  ASSERT_TRUE(WriteWholeFile(kept, "kept"));
  ASSERT_TRUE(WriteWholeFile(blocked, "blocked"));
  ASSERT_TRUE(WriteWholeFile(replacing, "replacing"));
  ASSERT_TRUE(WriteWholeFile(replaced, "replaced"));
  ASSERT_TRUE(CreateDirectoryW(full.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(inner, "inner"));
  ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));

  const struct {
    const std::wstring* from;
    const std::wstring* to;
    DWORD flags;
  } operations[] = {
      {&old_file, nullptr, 0}, {&new_file, &old_file, 0},
      {&kept, &blocked, 0},    {&replacing, &replaced, MOVEFILE_REPLACE_EXISTING},
      {&full, nullptr, 0},     {&empty, nullptr, 0},
  };
  for (const auto& operation : operations) {
    ASSERT_TRUE(MoveFileExW(operation.from->c_str(), operation.to ? operation.to->c_str() : nullptr,
                            MOVEFILE_DELAY_UNTIL_REBOOT | operation.flags))
        << GetLastError();
  }
  const std::wstring never_there = dir.path() + L"\\never-there.txt";
  ASSERT_TRUE(MoveFileExW(never_there.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));

  RestartMachine();

  EXPECT_EQ(Contents(old_file), "new") << "deleted, then the update took its name";
  EXPECT_FALSE(Exists(new_file));
  EXPECT_EQ(Contents(kept), "kept") << "no rename onto an existing file without the flag";
  EXPECT_EQ(Contents(blocked), "blocked");
  EXPECT_EQ(Contents(replaced), "replacing");
  EXPECT_FALSE(Exists(replacing));
  EXPECT_EQ(Contents(inner), "inner") << "a directory that is not empty stays";
  EXPECT_FALSE(Exists(empty));
  DWORD type = 0;
  EXPECT_EQ(Value(&type), L"") << "the value is removed";
  EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
}

#if DPAL_SIM

// The value is written as the caller, and only administrators and LocalSystem may write it.
TEST_F(PendingOperations, OnlyAdministratorsAndLocalSystemMayRecord) {
  sim::PutFile(L"C:\\Windows\\Temp\\old.log", {1});
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1-2-3-1001", L"alice"));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(L"C:\\Windows\\Temp\\old.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD type = 0;
  EXPECT_EQ(Value(&type), L"");

  sim::SetProcessIdentity(sim::LocalSystem());
  EXPECT_TRUE(MoveFileExW(L"C:\\Windows\\Temp\\old.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(Value(&type),
            std::wstring(L"\\??\\C:\\Windows\\Temp\\old.log") + L'\0' + L'\0' + L'\0');
  sim::SetProcessIdentity(sim::DefaultAdmin());
}

// ----- The rest of a restart, and the end of a service's process (sim only) -----------------

// A service that reports RUNNING and waits until its handler is asked to stop; `g_before_wait`
// (when set) runs between the two. Every process of it counts its ServiceMain calls.
std::atomic<int> g_mains{0};
std::function<void()> g_before_wait;

struct Waiting {
  HANDLE stop = nullptr;
  SERVICE_STATUS_HANDLE status = nullptr;
  void Report(DWORD state) {
    SERVICE_STATUS report = {SERVICE_WIN32_OWN_PROCESS,
                             state,
                             state == SERVICE_RUNNING ? DWORD{SERVICE_ACCEPT_STOP} : 0,
                             NO_ERROR,
                             0,
                             0,
                             0};
    SetServiceStatus(status, &report);
  }
};

DWORD WINAPI WaitingHandler(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(static_cast<Waiting*>(context)->stop);
  return NO_ERROR;
}

void WINAPI WaitingMain(DWORD, LPWSTR* argv) {
  ++g_mains;
  Waiting service;
  service.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  service.status = RegisterServiceCtrlHandlerExW(argv[0], WaitingHandler, &service);
  service.Report(SERVICE_RUNNING);
  if (g_before_wait) g_before_wait();
  WaitForSingleObject(service.stop, INFINITE);
  CloseHandle(service.stop);
  service.Report(SERVICE_STOPPED);
}

int WaitingProgram() {
  WCHAR name[] = L"Waiting";
  const SERVICE_TABLE_ENTRYW table[] = {{name, WaitingMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}

sim::ServiceSpec WaitingService(const std::wstring& name, DWORD start_type) {
  sim::ServiceSpec spec;
  spec.name = name;
  spec.image_path = L"C:\\Program Files\\Waiting\\" + name + L".exe";
  spec.start_type = start_type;
  spec.program = WaitingProgram;
  return spec;
}

std::vector<DWORD> States(const std::wstring& service) {
  std::vector<DWORD> states;
  for (const SERVICE_STATUS& report : sim::ServiceStatusReports(service)) {
    states.push_back(report.dwCurrentState);
  }
  return states;
}

// Makes a hive file (a saved key) and mounts it at HKLM\<name> with RegLoadKeyW.
void LoadHive(const std::wstring& file, const wchar_t* name) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, privilege, &privileges.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
  }
  CloseHandle(token);
  HKEY source = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\HiveSource", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &source, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSaveKeyW(source, file.c_str(), nullptr), ERROR_SUCCESS);
  RegCloseKey(source);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, name, file.c_str()), ERROR_SUCCESS);
}

using Restart = PendingOperations;
using ProcessEnd = PlatformTest;

// The shutdown ends every process: a running service without a stop control (its threads stop
// where they wait), a launched program; every user is logged off. The boot unloads the hives,
// starts the automatic services again as new processes and leaves the others never started.
// The registry and files stay, and so do the host's own handles.
TEST_F(Restart, EndsEveryProcessAndBootsTheMachineAgain) {
  sim::InstallService(WaitingService(L"Waiting", SERVICE_AUTO_START));
  sim::InstallService(WaitingService(L"OnDemand", SERVICE_DEMAND_START));
  ASSERT_EQ(sim::StartServiceAsScm(L"Waiting"), static_cast<DWORD>(NO_ERROR));
  ASSERT_EQ(sim::StartServiceAsScm(L"OnDemand"), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceState(L"Waiting", SERVICE_RUNNING, 10s));
  ASSERT_TRUE(sim::WaitForServiceState(L"OnDemand", SERVICE_RUNNING, 10s));
  const DWORD first_process = sim::ServiceStatusNow(L"Waiting").dwProcessId;

  // A program that waits for what never comes: only the restart ends it.
  const std::wstring program = L"C:\\Tools\\held.exe";
  sim::PutFile(program, sim::ProgramBytes("held"));
  sim::RegisterProgram(program, [](const sim::Launch&) -> DWORD {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, INFINITE);
    return 0;
  });
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION held = {};
  WCHAR command_line[] = L"C:\\Tools\\held.exe";
  ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &held));

  const std::wstring alice = L"S-1-5-21-1-2-3-1001";
  sim::LogOn(1, alice, L"alice");
  sim::LogOn(2, L"S-1-5-21-1-2-3-1002", L"bob");
  HKEY in_alices_hive = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, (alice + L"\\Software").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &in_alices_hive, nullptr),
            ERROR_SUCCESS);
  LoadHive(L"C:\\Windows\\Temp\\mounted.hiv", L"Mounted");
  dpal::test::PutDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", L"Value", 7);
  sim::PutFile(L"C:\\Data\\kept.bin", {1, 2, 3});

  sim::Restart();

  // The processes ended: each service's dispatcher and ServiceMain stopped where they waited.
  EXPECT_TRUE(sim::WaitForStoppedThreads(4, 10s)) << sim::StoppedThreads().size();
  EXPECT_EQ(WaitForSingleObject(held.hProcess, 0), WAIT_OBJECT_0) << "the program ended";
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(held.hProcess, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(States(L"OnDemand"), std::vector<DWORD>{SERVICE_RUNNING}) << "no stop was reported";
  EXPECT_EQ(sim::ServiceStatusNow(L"OnDemand").dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(sim::ServiceStatusNow(L"OnDemand").dwWin32ExitCode,
            static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));
  // The automatic service runs again, in a new process.
  EXPECT_TRUE(sim::WaitForServiceState(L"Waiting", SERVICE_RUNNING, 10s));
  EXPECT_EQ(States(L"Waiting"), (std::vector<DWORD>{SERVICE_RUNNING, SERVICE_RUNNING}));
  EXPECT_NE(sim::ServiceStatusNow(L"Waiting").dwProcessId, first_process);
  EXPECT_EQ(g_mains.load(), 3);

  // Nobody is logged on; the console shows the logon screen.
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  LPWSTR answer = nullptr;
  DWORD bytes = 0;
  ASSERT_TRUE(
      WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 1, WTSConnectState, &answer, &bytes));
  EXPECT_EQ(*reinterpret_cast<WTS_CONNECTSTATE_CLASS*>(answer), WTSConnected);
  WTSFreeMemory(answer);
  ASSERT_TRUE(
      WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 1, WTSUserName, &answer, &bytes));
  EXPECT_EQ(std::wstring(answer), L"") << "nobody is logged on at the console";
  WTSFreeMemory(answer);
  EXPECT_FALSE(
      WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 2, WTSUserName, &answer, &bytes))
      << "bob's session is gone";

  // The hives are unloaded; the host's key in one of them reads as deleted.
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, alice));
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, sim::DefaultAdmin().user_sid));
  EXPECT_FALSE(sim::IsHiveLoaded(HKEY_LOCAL_MACHINE, L"Mounted"));
  EXPECT_TRUE(sim::IsHiveLoaded(HKEY_USERS, L".DEFAULT"));
  EXPECT_EQ(RegSetValueExW(in_alices_hive, L"After", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&code), sizeof(code)),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(in_alices_hive), ERROR_SUCCESS);
  EXPECT_TRUE(DeleteFileW(L"C:\\Windows\\Temp\\mounted.hiv")) << "the hive file is free again";

  // What was stored stays.
  DWORD kept = 0;
  DWORD size = sizeof(kept);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kept", L"Value", RRF_RT_REG_DWORD, nullptr,
                         &kept, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(kept, 7u);
  EXPECT_TRUE(sim::FileExists(L"C:\\Data\\kept.bin"));

  CloseHandle(held.hThread);
  CloseHandle(held.hProcess);
  ASSERT_EQ(sim::SendServiceControl(L"Waiting", SERVICE_CONTROL_STOP),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(sim::WaitForServiceProcessExit(L"Waiting", 10s));
}

// What a service's process holds goes with its end, once its threads have stopped; its threads
// never run again: a thread that its code started (it acts as the process identity) and that
// calls the platform after the end does not return from the call, and one that waits never wakes.
// The test's own handles are still the test's.
TEST_F(ProcessEnd, ThreadsOfAnEndedServiceNeverRunAgain) {
  const std::wstring image = L"C:\\Program Files\\Worker\\worker.exe";
  sim::SetProcessIdentity(sim::LocalSystem(image));  // the test plays the service's program
  HANDLE own = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(own, nullptr);

  std::promise<void> resume;
  const std::shared_future<void> resumed = resume.get_future().share();
  std::mutex lock;
  std::condition_variable changed;
  int ready = 0;
  std::atomic<bool> returned{false};
  auto started = [&] {
    std::lock_guard<std::mutex> guard(lock);
    ++ready;
    changed.notify_all();
  };
  // ServiceMain starts two threads: one takes what a launch holds, waits for the test and then
  // calls again; the other waits on an event that nothing sets.
  g_before_wait = [&] {
    std::thread([&, resumed] {
      HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      void* memory = LocalAlloc(LPTR, 64);
      HANDLE user = nullptr;
      PROFILEINFOW profile = {};
      profile.dwSize = sizeof(profile);
      WCHAR name[] = L"Administrator";
      profile.lpUserName = name;
      const bool holding = event && memory && WTSQueryUserToken(1, &user) &&
                           LoadUserProfileW(user, &profile) && ImpersonateLoggedOnUser(user);
      EXPECT_TRUE(holding) << GetLastError();
      started();
      resumed.wait();
      SetEvent(event);
      returned = true;
    }).detach();
    std::thread([&] {
      HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      started();
      WaitForSingleObject(never, INFINITE);
      returned = true;
    }).detach();
  };
  sim::ServiceSpec spec = WaitingService(L"Worker", SERVICE_DEMAND_START);
  spec.image_path = image;
  sim::InstallService(spec);
  ASSERT_EQ(sim::StartServiceAsScm(L"Worker"), static_cast<DWORD>(NO_ERROR));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return ready == 2; }));
  }
  sim::LeakReport held = sim::Leaks();
  EXPECT_EQ(held.impersonating_threads, 1);
  EXPECT_EQ(held.loaded_profiles, 1);
  EXPECT_EQ(held.local_allocations, 1);

  ASSERT_EQ(sim::SendServiceControl(L"Worker", SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(sim::WaitForStoppedThreads(1, 10s)) << "the waiting thread stops in its wait";
  // The end waits for the held thread, which runs outside the machine until its next call.
  EXPECT_FALSE(sim::WaitForServiceProcessExit(L"Worker", 50ms)) << "released before its threads";
  EXPECT_EQ(sim::Leaks().local_allocations, 1) << "released before its threads stopped";
  resume.set_value();
  EXPECT_TRUE(sim::WaitForStoppedThreads(2, 10s)) << "the held thread stops at its next call";
  ASSERT_TRUE(sim::WaitForServiceProcessExit(L"Worker", 10s));
  EXPECT_FALSE(returned.load());

  // Its threads were cut off inside their work: what they held is released, and no leak.
  const sim::LeakReport leaks = sim::Leaks();
  EXPECT_EQ(leaks.Describe(), "1 open event handle(s); ")
      << "all that is left is the test's own event";
  EXPECT_EQ(sim::LoadedProfileCount(), 0);
  EXPECT_TRUE(sim::IsHiveLoaded(HKEY_USERS, sim::DefaultAdmin().user_sid))
      << "the console user's hive stays with the logon";
  CloseHandle(own);
  g_before_wait = nullptr;
  sim::SetProcessIdentity(sim::DefaultAdmin());
}

#endif  // DPAL_SIM

}  // namespace
