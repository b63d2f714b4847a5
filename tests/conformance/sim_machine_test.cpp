// What the simulated machine itself offers tests and the scenario runner, besides the Windows
// functions: the query of blocked threads, and programs run as processes of their own. Sim only.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/platform_test.h"

namespace {

using dpal::test::PlatformTest;
using namespace std::chrono_literals;
using Blocked = std::vector<sim::BlockedThread>;

// Waits, 10 s at most, until the blocked threads are as `wanted` says; the last answer goes to
// `seen`. The machine announces no change of the list, so the list is asked again every 5 ms.
bool BlockedWithin(const std::function<bool(const Blocked&)>& wanted, Blocked* seen) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    *seen = sim::BlockedThreads();
    if (wanted(*seen)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

bool Empty(const Blocked& blocked) { return blocked.empty(); }

std::string Describe(const Blocked& blocked) {
  std::string text;
  for (const sim::BlockedThread& thread : blocked) {
    text += "[t" + std::to_string(thread.thread) + " " + thread.function + ":";
    for (const sim::WaitedObject& object : thread.objects) {
      text += " " + object.kind + "(" + std::string(object.name.begin(), object.name.end()) + ")";
    }
    text += "] ";
  }
  return text.empty() ? "none" : text;
}

// An event handle closed on every path.
struct Event {
  explicit Event(const wchar_t* name = nullptr, bool manual = false)
      : handle(CreateEventW(nullptr, manual, FALSE, name)) {}
  ~Event() { CloseHandle(handle); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE handle;
};

class BlockedThreads : public PlatformTest {};

TEST_F(BlockedThreads, AWaitWithoutTimeOutIsListedUntilItCanEnd) {
  sim::RecordTrace(true);
  Event named(L"DPALQueryNamed", true);
  Event other;
  std::thread forever([&] { WaitForSingleObject(named.handle, INFINITE); });
  std::thread bounded([&] { WaitForSingleObject(other.handle, 30000); });
  Blocked seen;
  ASSERT_TRUE(BlockedWithin([](const Blocked& b) { return !b.empty(); }, &seen));
  ASSERT_EQ(seen.size(), 1u) << "a wait with a time-out is not listed: " << Describe(seen);
  EXPECT_EQ(seen[0].function, "WaitForSingleObject");
  EXPECT_FALSE(seen[0].wait_all);
  ASSERT_EQ(seen[0].objects.size(), 1u);
  EXPECT_EQ(seen[0].objects[0].kind, "event");
  EXPECT_EQ(seen[0].objects[0].name, L"DPALQueryNamed");
  EXPECT_TRUE(seen[0].objects[0].notified_keys.empty());
  EXPECT_EQ(seen[0].process_image, L"") << "a thread the test started acts as the process";
  // The number is the one the trace gives the thread.
  uint64_t traced = 0;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "WaitForSingleObject" &&
        call.args.find(L"0xffffffff") != std::wstring::npos) {
      traced = call.thread;
    }
  }
  EXPECT_EQ(seen[0].thread, traced);

  ASSERT_TRUE(SetEvent(named.handle));
  EXPECT_TRUE(BlockedWithin(Empty, &seen)) << Describe(seen);
  forever.join();
  ASSERT_TRUE(SetEvent(other.handle));
  bounded.join();
}

TEST_F(BlockedThreads, AWaitForAllStaysUntilEveryObjectIsSet) {
  Event first;
  Event second;
  std::thread waiter([&] {
    const HANDLE both[] = {first.handle, second.handle};
    WaitForMultipleObjects(2, both, TRUE, INFINITE);
  });
  Blocked seen;
  ASSERT_TRUE(BlockedWithin([](const Blocked& b) { return b.size() == 1; }, &seen));
  EXPECT_EQ(seen[0].function, "WaitForMultipleObjects");
  EXPECT_TRUE(seen[0].wait_all);
  EXPECT_EQ(seen[0].objects.size(), 2u);
  ASSERT_TRUE(SetEvent(first.handle));
  seen = sim::BlockedThreads();
  EXPECT_EQ(seen.size(), 1u) << "one of two set: the wait cannot end yet";
  ASSERT_TRUE(SetEvent(second.handle));
  EXPECT_TRUE(BlockedWithin(Empty, &seen)) << Describe(seen);
  waiter.join();
}

// Whether a list of key paths is the one path expected; the names are compared as the registry
// compares them, without case (the query spells them as they were created).
bool NamesKey(const std::vector<std::wstring>& keys, const std::wstring& expected) {
  return keys.size() == 1 && lstrcmpiW(keys[0].c_str(), expected.c_str()) == 0;
}

std::string Text(const std::vector<std::wstring>& keys) {
  std::string text;
  for (const std::wstring& key : keys) text += std::string(key.begin(), key.end()) + " ";
  return text;
}

// A key below the scratch path of a root, opened for notification.
HKEY WatchedKey(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  EXPECT_EQ(
      RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  return key;
}

TEST_F(BlockedThreads, EventsArmedForANotificationNameTheirKeys) {
  const std::wstring path = Scratch() + L"\\Watched";
  HKEY machine = WatchedKey(HKEY_LOCAL_MACHINE, path);
  HKEY user = WatchedKey(HKEY_CURRENT_USER, path);
  HKEY waited = WatchedKey(HKEY_LOCAL_MACHINE, path + L"\\Waited");
  Event machine_changed;
  Event user_changed;
  ASSERT_EQ(RegNotifyChangeKeyValue(machine, FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                    machine_changed.handle, TRUE),
            ERROR_SUCCESS);
  ASSERT_EQ(
      RegNotifyChangeKeyValue(user, FALSE, REG_NOTIFY_CHANGE_LAST_SET, user_changed.handle, TRUE),
      ERROR_SUCCESS);
  std::thread watch([&] {
    const HANDLE either[] = {machine_changed.handle, user_changed.handle};
    WaitForMultipleObjects(2, either, FALSE, INFINITE);
  });
  std::thread synchronous(
      [&] { RegNotifyChangeKeyValue(waited, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE); });
  Blocked seen;
  ASSERT_TRUE(BlockedWithin([](const Blocked& b) { return b.size() == 2; }, &seen))
      << Describe(seen);
  const sim::BlockedThread* multiple = nullptr;
  const sim::BlockedThread* notify = nullptr;
  for (const sim::BlockedThread& thread : seen) {
    if (thread.function == "WaitForMultipleObjects") multiple = &thread;
    if (thread.function == "RegNotifyChangeKeyValue") notify = &thread;
  }
  ASSERT_NE(multiple, nullptr) << Describe(seen);
  ASSERT_NE(notify, nullptr) << Describe(seen);
  ASSERT_EQ(multiple->objects.size(), 2u);
  EXPECT_TRUE(NamesKey(multiple->objects[0].notified_keys, L"HKEY_LOCAL_MACHINE\\" + path))
      << Text(multiple->objects[0].notified_keys);
  EXPECT_TRUE(NamesKey(multiple->objects[1].notified_keys,
                       L"HKEY_USERS\\" + sim::DefaultAdmin().user_sid + L"\\" + path))
      << "HKEY_CURRENT_USER is the user's hive below HKEY_USERS: "
      << Text(multiple->objects[1].notified_keys);
  ASSERT_EQ(notify->objects.size(), 1u);
  EXPECT_EQ(notify->objects[0].kind, "event");
  EXPECT_TRUE(
      NamesKey(notify->objects[0].notified_keys, L"HKEY_LOCAL_MACHINE\\" + path + L"\\Waited"))
      << Text(notify->objects[0].notified_keys);

  const DWORD value = 1;
  ASSERT_EQ(RegSetValueExW(machine, L"State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof(value)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(waited, L"State", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof(value)),
            ERROR_SUCCESS);
  EXPECT_TRUE(BlockedWithin(Empty, &seen)) << Describe(seen);
  watch.join();
  synchronous.join();
  // A notification that has fired names no key any more.
  EXPECT_EQ(RegCloseKey(machine), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(waited), ERROR_SUCCESS);
}

TEST_F(BlockedThreads, ThreadsThatPlayAProcessNameItsImage) {
  const std::wstring image = L"C:\\Tools\\waiter.exe";
  sim::PutFile(image, sim::ProgramBytes("waiter"));
  Event go(L"DPALQueryGo", true);
  sim::RegisterProgram(image, [](const sim::Launch&) -> DWORD {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, L"DPALQueryGo");
    WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
    return 3;
  });
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  WCHAR command_line[] = L"C:\\Tools\\waiter.exe";
  ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info))
      << GetLastError();
  std::thread parent([&] { WaitForSingleObject(info.hProcess, INFINITE); });
  Blocked seen;
  ASSERT_TRUE(BlockedWithin([](const Blocked& b) { return b.size() == 2; }, &seen))
      << Describe(seen);
  for (const sim::BlockedThread& thread : seen) {
    ASSERT_EQ(thread.objects.size(), 1u);
    if (thread.objects[0].kind == "process") {
      EXPECT_EQ(thread.objects[0].name, image);
      EXPECT_EQ(thread.process_image, L"");
    } else {
      EXPECT_EQ(thread.objects[0].name, L"DPALQueryGo");
      EXPECT_EQ(thread.process_image, image) << "the program's thread plays its process";
    }
  }
  ASSERT_TRUE(SetEvent(go.handle));
  EXPECT_TRUE(BlockedWithin(Empty, &seen)) << Describe(seen);
  parent.join();
  EXPECT_TRUE(sim::WaitForProcessesToEnd(10s));
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

// A service that runs until a stop: its dispatcher waits for controls, its ServiceMain for the
// stop event.
HANDLE g_stop = nullptr;
SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS,
                           state,
                           state == SERVICE_RUNNING ? DWORD{SERVICE_ACCEPT_STOP} : 0,
                           0,
                           0,
                           0,
                           0};
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI StopHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(g_stop);
  return NO_ERROR;
}

void WINAPI WaitingMain(DWORD, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argv[0], StopHandler, nullptr);
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED);
}

TEST_F(BlockedThreads, AServiceDispatcherWaitsForTheControlsOfItsService) {
  Event stop;
  g_stop = stop.handle;
  sim::ServiceSpec spec;
  spec.name = L"Waiting";
  spec.image_path = L"C:\\Program Files\\Waiting\\waiting.exe";
  spec.program = [] {
    WCHAR name[] = L"Waiting";
    const SERVICE_TABLE_ENTRYW table[] = {{name, WaitingMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
  };
  sim::InstallService(spec);
  ASSERT_EQ(sim::StartServiceAsScm(L"Waiting"), static_cast<DWORD>(NO_ERROR));
  Blocked seen;
  ASSERT_TRUE(BlockedWithin([](const Blocked& b) { return b.size() == 2; }, &seen))
      << Describe(seen);
  for (const sim::BlockedThread& thread : seen) {
    EXPECT_EQ(thread.process_image, spec.image_path);
    ASSERT_EQ(thread.objects.size(), 1u);
    if (thread.function == "StartServiceCtrlDispatcherW") {
      EXPECT_EQ(thread.objects[0].kind, "service-controls");
      EXPECT_EQ(thread.objects[0].name, L"Waiting");
    } else {
      EXPECT_EQ(thread.function, "WaitForSingleObject");
      EXPECT_EQ(thread.objects[0].kind, "event");
    }
  }
  ASSERT_EQ(sim::SendServiceControl(L"Waiting", SERVICE_CONTROL_STOP),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(sim::WaitForServiceProcessExit(L"Waiting", 10s));
  EXPECT_TRUE(sim::BlockedThreads().empty()) << Describe(sim::BlockedThreads());
}

// ----- Programs run as processes of their own ----------------------------------------------------

constexpr wchar_t kAliceSid[] = L"S-1-5-21-1000-1000-1000-1001";
constexpr wchar_t kTool[] = L"C:\\Program Files\\Tarvex\\DPAL\\tool.exe";

sim::Identity Alice() {
  sim::Identity alice = sim::StandardUser(kAliceSid, L"alice");
  alice.image_path = kTool;
  alice.current_directory = L"C:\\Program Files\\Tarvex\\DPAL";
  return alice;
}

// What the program saw of itself.
struct Seen {
  std::wstring command_line;
  std::wstring module;
  std::wstring token_user;
  DWORD session = 0;
  sim::Identity identity;
  DWORD delete_error = 0;
};

std::wstring TokenUserSid(HANDLE token) {
  BYTE buffer[256];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return L"";
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return L"";
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

class RunProcess : public PlatformTest {};

TEST_F(RunProcess, TheEntryActsAsTheProcessAndItsExitCodeComesBack) {
  sim::PutFile(kTool, sim::ProgramBytes("tool"));
  const std::wstring line = L"\"" + std::wstring(kTool) + L"\" /set";
  Seen seen;
  const int code = sim::RunProcess(Alice(), line, [&] {
    seen.command_line = GetCommandLineW();
    WCHAR module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    seen.module = module;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      seen.token_user = TokenUserSid(token);
      DWORD size = 0;
      GetTokenInformation(token, TokenSessionId, &seen.session, sizeof(seen.session), &size);
      CloseHandle(token);
    }
    seen.identity = sim::ProcessIdentity();
    SetLastError(0);
    if (!DeleteFileW(kTool)) seen.delete_error = GetLastError();
    return 42;
  });
  EXPECT_EQ(code, 42);
  EXPECT_EQ(seen.command_line, line);
  EXPECT_EQ(seen.module, kTool);
  EXPECT_EQ(seen.token_user, kAliceSid) << "a token of the identity's account";
  EXPECT_EQ(seen.session, 1u);
  EXPECT_EQ(seen.identity.user_name, L"alice");
  EXPECT_EQ(seen.identity.current_directory, L"C:\\Program Files\\Tarvex\\DPAL");
  EXPECT_EQ(seen.delete_error, static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "the running program's image is mapped";

  // The caller is itself again, and the image is free once the program has ended.
  EXPECT_EQ(sim::ProcessIdentity().user_name, sim::DefaultAdmin().user_name);
  EXPECT_EQ(std::wstring(GetCommandLineW()), sim::DefaultAdmin().command_line);
  EXPECT_TRUE(DeleteFileW(kTool)) << GetLastError();

  const std::vector<sim::Launch> launches = sim::Launches();
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].function, "RunProcess");
  EXPECT_EQ(launches[0].image_path, kTool);
  EXPECT_EQ(launches[0].command_line, line);
  EXPECT_EQ(launches[0].user_name, L"alice");
  EXPECT_EQ(launches[0].session_id, 1u);
  EXPECT_FALSE(launches[0].elevated);
  EXPECT_EQ(launches[0].Variable(L"USERNAME"), L"alice");
  EXPECT_TRUE(sim::WaitForProcessesToEnd(std::chrono::milliseconds(0)));
}

TEST_F(RunProcess, AnEntryThatThrowsEndsWithTheExceptionCodeAndLeavesNothingBehind) {
  const int code = sim::RunProcess(Alice(), kTool, []() -> int {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
      ImpersonateLoggedOnUser(token);
      CloseHandle(token);
    }
    throw std::runtime_error("the program fails");
  });
  EXPECT_EQ(static_cast<DWORD>(code), 0xE06D7363u);
  EXPECT_EQ(sim::Leaks().impersonating_threads, 0) << "impersonation ends with the process";
  EXPECT_EQ(sim::Launches().size(), 1u) << "a program without an image file runs all the same";
}

// What the program obtained belongs to its process: handles it never closed and memory it never
// freed go when it returns, and count as its leak, less what its program declared it keeps until
// its end.
TEST_F(RunProcess, WhatTheProgramLeftOpenGoesWithItsEndAndIsItsLeak) {
  bool held = false;
  auto leave_open = [&] {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE token = nullptr;
    HKEY key = nullptr;
    held = event != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key) == ERROR_SUCCESS &&
           LocalAlloc(LPTR, 32) != nullptr &&
           LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr;
    return 0;
  };
  EXPECT_EQ(sim::RunProcess(Alice(), kTool, leave_open), 0);
  ASSERT_TRUE(held) << "the program could not take what it leaves behind";
  sim::LeakReport leaks = sim::Leaks();
  ASSERT_EQ(leaks.held_at_process_end.size(), 1u) << leaks.Describe();
  EXPECT_EQ(leaks.held_at_process_end[0].image, kTool);
  EXPECT_EQ(leaks.held_at_process_end[0].items,
            (std::map<std::string, int>{
                {"LocalAlloc block", 1}, {"event", 1}, {"key", 1}, {"module", 1}, {"token", 1}}));
  leaks.held_at_process_end.clear();
  EXPECT_TRUE(leaks.Clean()) << "released with the process: " << leaks.Describe();

  // Declared as kept until the end, the event and the key are no leak; the token still is.
  sim::Reset();
  sim::KeepUntilProcessEnd(kTool,
                           {{"event", 1}, {"key", 2}, {"LocalAlloc block", 1}, {"module", 1}});
  EXPECT_EQ(sim::RunProcess(Alice(), kTool, leave_open), 0);
  leaks = sim::Leaks();
  ASSERT_EQ(leaks.held_at_process_end.size(), 1u) << leaks.Describe();
  EXPECT_EQ(leaks.held_at_process_end[0].items, (std::map<std::string, int>{{"token", 1}}));

  // Ended from outside, a program is cut off wherever it was: what it held is no leak of its own.
  sim::Reset();
  Event running(L"DPALRunProcessHolding", true);
  std::future<int> code = std::async(std::launch::async, [&] {
    return sim::RunProcess(Alice(), kTool, [&] {
      leave_open();
      SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"DPALRunProcessHolding"));
      Sleep(INFINITE);
      return 0;
    });
  });
  ASSERT_EQ(WaitForSingleObject(running.handle, 10000), WAIT_OBJECT_0);
  sim::Restart();
  ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(code.get(), 1);
  EXPECT_EQ(sim::Leaks().Describe(), "1 open event handle(s); ") << "the test's own";
}

// A thread that the program starts belongs to its process from its start: the end waits for it
// even before its first platform call, which then never returns.
TEST_F(RunProcess, AThreadItStartsIsWaitedForFromItsStart) {
  std::promise<void> go;
  const std::shared_future<void> gone = go.get_future().share();
  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};
  std::future<int> code = std::async(std::launch::async, [&] {
    return sim::RunProcess(Alice(), kTool, [&] {
      std::thread([&started, &returned, gone] {
        started = true;
        gone.wait();
        CreateEventW(nullptr, TRUE, FALSE, nullptr);
        returned = true;
      }).detach();
      return 0;
    });
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!started && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(started.load());
  const size_t stopped = sim::StoppedThreads().size();
  EXPECT_EQ(code.wait_for(100ms), std::future_status::timeout)
      << "the process ended before the thread it started";
  go.set_value();
  ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(code.get(), 0);
  EXPECT_TRUE(sim::WaitForStoppedThreads(stopped + 1, 10s)) << "its first call stops it";
  EXPECT_FALSE(returned.load());
}

// A restart ends a program that runs as TerminateProcess ends it: RunProcess returns 1 at once,
// the program's waiting thread is not blocked any more, it never runs again, and what it held is
// released. The test's own handles stay.
TEST_F(RunProcess, ARestartEndsARunningOne) {
  Event running(L"DPALRunProcessRunning", true);
  std::atomic<bool> returned{false};
  std::future<int> code = std::async(std::launch::async, [&] {
    return sim::RunProcess(Alice(), kTool, [&] {
      HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      HANDLE announce = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"DPALRunProcessRunning");
      SetEvent(announce);
      WaitForSingleObject(never, INFINITE);
      returned = true;
      return 0;
    });
  });
  ASSERT_EQ(WaitForSingleObject(running.handle, 10000), WAIT_OBJECT_0);
  Blocked seen;
  ASSERT_TRUE(BlockedWithin(
      [](const Blocked& b) { return b.size() == 1 && b[0].process_image == kTool; }, &seen))
      << Describe(seen);
  EXPECT_EQ(sim::Leaks().open_handles["event"], 3) << "the test's event and the program's two";

  sim::Restart();

  ASSERT_EQ(code.wait_for(10s), std::future_status::ready) << "RunProcess returns";
  EXPECT_EQ(code.get(), 1);
  EXPECT_TRUE(sim::BlockedThreads().empty()) << Describe(sim::BlockedThreads());
  EXPECT_TRUE(sim::WaitForStoppedThreads(1, 10s)) << "the program's thread stops in its wait";
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(sim::WaitForProcessesToEnd(0ms));
  const sim::LeakReport leaks = sim::Leaks();
  EXPECT_EQ(leaks.Describe(), "1 open event handle(s); ") << "all that is left is the test's own";
}

}  // namespace
