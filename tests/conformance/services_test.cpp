// The service control manager: what the sim must do the way Windows does it. The client-side
// tests run against Wine's SCM too, on a built-in service ("PlugPlay", which the sim installs for
// the purpose) and on services the tests create; a whole service lifecycle runs in the sim only,
// since a Wine service lives in a process of its own.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/conformance/pending_service.h"
#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::PlatformTest;

using dpal::test::kSentinel;

// Closes the SC handles a test opened, on every path.
struct ScHandles {
  std::vector<SC_HANDLE> list;
  SC_HANDLE Add(SC_HANDLE h) {
    if (h) list.push_back(h);
    return h;
  }
  ~ScHandles() {
    for (SC_HANDLE h : list) CloseServiceHandle(h);
  }
};

std::wstring Text(const WCHAR* s) { return s ? std::wstring(s) : std::wstring(L"(null)"); }

class Services : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
#if DPAL_SIM
    // Wine and Windows have this service built in; the simulated machine gets it here.
    sim::ServiceSpec plug_play;
    plug_play.name = L"PlugPlay";
    plug_play.display_name = L"Plug and Play";
    plug_play.image_path = L"C:\\Windows\\system32\\svchost.exe -k DcomLaunch";
    plug_play.start_type = SERVICE_AUTO_START;
    sim::InstallService(plug_play);
#endif
  }
};

// A service of the test's own, created with CreateServiceW and deleted at both ends of the test
// (under Wine services persist in the prefix).
class OwnService : public Services {
 protected:
  void SetUp() override {
    Services::SetUp();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = L"DPALConf";
    for (const char* c = info->name(); *c; ++c) name_.push_back(static_cast<WCHAR>(*c));
    Delete();
  }
  void TearDown() override {
    Delete();
    Services::TearDown();
  }
  const WCHAR* name() const { return name_.c_str(); }
  SC_HANDLE Create(SC_HANDLE manager, DWORD start_type, DWORD access = SERVICE_ALL_ACCESS,
                   const std::wstring& binary = L"C:\\DPALTests\\conformance-service.exe") {
    return CreateServiceW(manager, name(), (name_ + L" display").c_str(), access,
                          SERVICE_WIN32_OWN_PROCESS, start_type, SERVICE_ERROR_NORMAL,
                          binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  }

 private:
  void Delete() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return;
    if (SC_HANDLE service = OpenServiceW(manager, name(), DELETE)) {
      DeleteService(service);
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
  }
  std::wstring name_;
};

// Asks the configuration with the two-call size protocol; empty on failure.
std::vector<BYTE> QueryConfig(SC_HANDLE service) {
  DWORD needed = 0;
  if (QueryServiceConfigW(service, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  std::vector<BYTE> buffer(needed);
  if (!QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), needed,
                           &needed)) {
    return {};
  }
  return buffer;
}

const QUERY_SERVICE_CONFIGW* Config(const std::vector<BYTE>& buffer) {
  return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
}

TEST_F(Services, QueryConfigFollowsTheSizeProtocolAndKeepsTheStringsInTheBuffer) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(manager, nullptr) << "error " << GetLastError();
  SC_HANDLE service = h.Add(OpenServiceW(manager, L"PlugPlay", SERVICE_QUERY_CONFIG));
  ASSERT_NE(service, nullptr) << "error " << GetLastError();

  DWORD needed = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceConfigW(service, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_NE(needed, kSentinel);
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));

  // One byte short: refused with the same size, the buffer untouched.
  constexpr size_t kGuard = 64;
  std::vector<BYTE> buffer(needed + kGuard, 0xAB);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD again = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceConfigW(service, config, needed - 1, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, needed);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xAB; }))
      << "a refused query wrote into the buffer";

  // Exactly the size: every string lies in the caller's buffer after the structure.
  ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &again)) << "error " << GetLastError();
  const BYTE* strings_begin = buffer.data() + sizeof(QUERY_SERVICE_CONFIGW);
  const BYTE* strings_end = buffer.data() + needed;
  for (const WCHAR* s : {config->lpBinaryPathName, config->lpLoadOrderGroup, config->lpDependencies,
                         config->lpServiceStartName, config->lpDisplayName}) {
    ASSERT_NE(s, nullptr);
    const BYTE* at = reinterpret_cast<const BYTE*>(s);
    EXPECT_TRUE(at >= strings_begin && at < strings_end) << "string outside the buffer";
  }
  EXPECT_NE(std::wstring(config->lpBinaryPathName), L"");
  EXPECT_NE(std::wstring(config->lpDisplayName), L"");
  EXPECT_NE(config->dwServiceType & SERVICE_WIN32, 0u) << "a Win32 service";
  EXPECT_TRUE(std::all_of(buffer.begin() + needed, buffer.end(), [](BYTE b) { return b == 0xAB; }))
      << "the query wrote past the size it asked for";

  // A larger buffer works as well.
  std::vector<BYTE> larger(needed + 1);
  EXPECT_TRUE(QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(larger.data()),
                                  needed + 1, &again));
}

TEST_F(Services, OpenServiceFailsForMissingServiceAndBadManager) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(manager, nullptr);
  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(OpenServiceW(manager, L"DPALConformanceNoSuchService", SERVICE_QUERY_CONFIG)),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(OpenServiceW(nullptr, L"PlugPlay", SERVICE_QUERY_CONFIG)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(OpenSCManagerW(nullptr, L"NoSuchDatabase", SC_MANAGER_CONNECT)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

WCHAR g_unused_name[] = L"DPALConformance";
void WINAPI UnusedServiceMain(DWORD, LPWSTR*) {}
DWORD WINAPI UnusedHandler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

// Wine gap: Wine's dispatcher first tries the SCM's control pipe and waits about 10 s for it
// before it fails; Windows and the sim fail at once. The answer is the same.
TEST_F(Services, ServiceCallsFailInAProcessTheScmDidNotStart) {
  const SERVICE_TABLE_ENTRYW table[] = {{g_unused_name, UnusedServiceMain}, {nullptr, nullptr}};
  SetLastError(kSentinel);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  SetLastError(kSentinel);
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(L"DPALConformance", UnusedHandler, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  SetLastError(kSentinel);
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Services, ChangeConfigNeedsTheChangeRightOnTheHandle) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = h.Add(OpenServiceW(manager, L"PlugPlay", SERVICE_QUERY_CONFIG));
  ASSERT_NE(service, nullptr);
  std::vector<BYTE> before = QueryConfig(service);
  ASSERT_FALSE(before.empty());

  SetLastError(kSentinel);
  EXPECT_FALSE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::vector<BYTE> after = QueryConfig(service);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(Config(after)->dwStartType, Config(before)->dwStartType);
}

TEST_F(OwnService, StartTypeChangesAndTheRestOfTheConfigurationStays) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager, nullptr) << "error " << GetLastError();
  SC_HANDLE created = h.Add(Create(manager, SERVICE_AUTO_START));
  ASSERT_NE(created, nullptr) << "error " << GetLastError();

  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(Create(manager, SERVICE_AUTO_START)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

  SC_HANDLE query = h.Add(OpenServiceW(manager, name(), SERVICE_QUERY_CONFIG));
  std::vector<BYTE> before = QueryConfig(query);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(Config(before)->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(Config(before)->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(Text(Config(before)->lpBinaryPathName), L"C:\\DPALTests\\conformance-service.exe");
  EXPECT_EQ(Text(Config(before)->lpDisplayName), std::wstring(name()) + L" display");

  // What the service does on an unsupported machine: demand start, nothing else changed.
  SC_HANDLE change = h.Add(OpenServiceW(manager, name(), SERVICE_CHANGE_CONFIG));
  ASSERT_NE(change, nullptr);
  ASSERT_TRUE(ChangeServiceConfigW(change, SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                   SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr))
      << "error " << GetLastError();
  std::vector<BYTE> after = QueryConfig(query);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(Config(after)->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(Config(after)->dwServiceType, Config(before)->dwServiceType);
  EXPECT_EQ(Config(after)->dwErrorControl, Config(before)->dwErrorControl);
  EXPECT_EQ(Text(Config(after)->lpBinaryPathName), Text(Config(before)->lpBinaryPathName));
  EXPECT_EQ(Text(Config(after)->lpDisplayName), Text(Config(before)->lpDisplayName));

  // Boot start is for drivers; an unknown start type is refused too. Neither changes anything.
  for (DWORD bad : {static_cast<DWORD>(SERVICE_BOOT_START), static_cast<DWORD>(7)}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ChangeServiceConfigW(change, SERVICE_NO_CHANGE, bad, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        << "start type " << bad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "start type " << bad;
  }
  after = QueryConfig(query);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(Config(after)->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
}

TEST_F(OwnService, StoppedServiceAnswersStatusAndRefusesControls) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = h.Add(Create(manager, SERVICE_DEMAND_START));
  ASSERT_NE(service, nullptr) << "error " << GetLastError();

  // The extended status: 36 bytes, refused one byte short with the size.
  SERVICE_STATUS_PROCESS process_status;
  std::memset(&process_status, 0xAB, sizeof(process_status));
  DWORD needed = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&process_status),
                                    sizeof(process_status) - 1, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&process_status), sizeof(process_status),
                                   &needed));
  EXPECT_EQ(process_status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(process_status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));
  EXPECT_EQ(process_status.dwProcessId, 0u);

  // Not running: a stop is refused, and the status still comes back.
  SERVICE_STATUS status;
  std::memset(&status, 0xAB, sizeof(status));
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // Codes that only the system sends, and codes outside the user range, are not controls a
  // program may send.
  for (DWORD code : {0u, 5u, 13u, 14u, 127u, 256u}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(service, code, &status)) << "code " << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "code " << code;
  }

  // The right for the control is checked on the handle before the state.
  SC_HANDLE query_only = h.Add(OpenServiceW(manager, name(), SERVICE_QUERY_STATUS));
  ASSERT_NE(query_only, nullptr);
  for (DWORD code : {static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE),
                     static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(200)}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(query_only, code, &status)) << "code " << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "code " << code;
  }
}

TEST_F(OwnService, DeletedServiceGoesWhenItsLastHandleCloses) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = Create(manager, SERVICE_DEMAND_START);
  ASSERT_NE(service, nullptr) << "error " << GetLastError();
  ASSERT_TRUE(DeleteService(service)) << "error " << GetLastError();
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  ASSERT_TRUE(CloseServiceHandle(service));
  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(OpenServiceW(manager, name(), SERVICE_QUERY_STATUS)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(OwnService, ADeletedServiceTakesItsKeyAndWhatItsProgramKeptThere) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = Create(manager, SERVICE_DEMAND_START);
  ASSERT_NE(service, nullptr) << "error " << GetLastError();
  const std::wstring key_path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name();
  HKEY settings = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key_path + L"\\Settings").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &settings, nullptr),
            ERROR_SUCCESS);
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(settings, L"Kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                           sizeof(one)),
            ERROR_SUCCESS);
  RegCloseKey(settings);

  ASSERT_TRUE(DeleteService(service)) << "error " << GetLastError();
  ASSERT_TRUE(CloseServiceHandle(service));
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &gone),
            ERROR_FILE_NOT_FOUND);
}

// ----- Controls while a service starts ----------------------------------------------------------

std::wstring OwnDirectory() {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_TRUE(length > 0 && length < MAX_PATH) << GetLastError();
  const std::wstring image(path);
  return image.substr(0, image.rfind(L'\\'));
}

// Asks the SCM for the status until `wanted` holds it or 10 s have passed: the SCM announces no
// change, so this is the deadline-bound wait for the service's own report.
template <typename F>
bool StatusWithin(SC_HANDLE service, F wanted, SERVICE_STATUS* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (QueryServiceStatus(service, status) && wanted(*status)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The test's own service, run by pending_service (pending_service.h): it stays in START_PENDING
// until the test sets the release event.
class StartingService : public OwnService {
 protected:
  void SetUp() override {
    OwnService::SetUp();
    // The event is the test's own: tests that run side by side under Wine share the machine's
    // namespace, and a release set by one must not end another's start.
    release_name_ = std::wstring(L"Global\\") + name() + L"Release";
    release_ = CreateEventW(nullptr, TRUE, FALSE, release_name_.c_str());
    ASSERT_NE(release_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (started_) {
      SetEvent(release_);
      ScHandles h;
      SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      SC_HANDLE service = h.Add(OpenServiceW(manager, name(), SERVICE_QUERY_STATUS));
      SERVICE_STATUS status = {};
      EXPECT_TRUE(StatusWithin(
          service, [](const SERVICE_STATUS& s) { return s.dwCurrentState == SERVICE_STOPPED; },
          &status))
          << "the released service did not stop";
#if DPAL_SIM
      EXPECT_TRUE(sim::WaitForServiceProcessExit(name(), std::chrono::seconds(10)));
#endif
    }
    if (release_ != nullptr) CloseHandle(release_);
    OwnService::TearDown();
  }

  // Creates and starts the service, whose START_PENDING report accepts `accepted`, and waits for
  // that report. The handle, with all access, belongs to `h`.
  SC_HANDLE Start(ScHandles& h, DWORD accepted) {
    SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_NE(manager, nullptr) << GetLastError();
    const std::wstring binary = L"\"" + OwnDirectory() + L"\\pending_service.exe\" " +
                                std::to_wstring(accepted) + L" " + release_name_;
    SC_HANDLE service = h.Add(Create(manager, SERVICE_DEMAND_START, SERVICE_ALL_ACCESS, binary));
    EXPECT_NE(service, nullptr) << GetLastError();
    if (service == nullptr) return nullptr;
#if DPAL_SIM
    sim::SetServiceProgram(name(), [] {
      return dpal::test::PendingServiceMain(sim::ProcessIdentity().command_line.c_str());
    });
#endif
    if (!StartServiceW(service, 0, nullptr)) {
      ADD_FAILURE() << "StartServiceW: error " << GetLastError();
      return nullptr;
    }
    started_ = true;
    SERVICE_STATUS status = {};
    EXPECT_TRUE(StatusWithin(
        service,
        [](const SERVICE_STATUS& s) { return s.dwWaitHint == dpal::test::kPendingWaitHint; },
        &status))
        << "no START_PENDING report from the service";
    return service;
  }

 private:
  std::wstring release_name_;
  HANDLE release_ = nullptr;
  bool started_ = false;
};

// What ControlService answers for a control while the service reports START_PENDING; `status`
// gets what ControlService filled in.
DWORD Refusal(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  std::memset(status, 0xAB, sizeof(*status));
  SetLastError(kSentinel);
  if (ControlService(service, control, status)) return NO_ERROR;
  return GetLastError();
}

TEST_F(StartingService, TakesNoControlWhileItReportsStartPending) {
  ScHandles h;
  SC_HANDLE service = Start(h, 0);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status;
  const DWORD stop = Refusal(service, SERVICE_CONTROL_STOP, &status);
  // Wine gap (8.0): a stop during START_PENDING is judged by the accepted controls alone, and the
  // status of that refusal is not filled in.
  DPAL_TODO_WINE {
    EXPECT_EQ(stop, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING))
        << "status filled in";
    EXPECT_EQ(status.dwWaitHint, dpal::test::kPendingWaitHint);
  }
  for (DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE), DWORD{128}}) {
    EXPECT_EQ(Refusal(service, control, &status),
              static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL))
        << "control " << control;
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING))
        << "control " << control;
  }
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << "still starting";
}

TEST_F(StartingService, RefusesAStopEvenWhenItsPendingReportAcceptsOne) {
  ScHandles h;
  SC_HANDLE service = Start(h, SERVICE_ACCEPT_STOP);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status;
  const DWORD stop = Refusal(service, SERVICE_CONTROL_STOP, &status);
  // Wine gap (8.0): the stop reaches a starting service that accepts it (and ends it here).
  DPAL_TODO_WINE {
    EXPECT_EQ(stop, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << "still starting";
  }
}

#if DPAL_SIM

using namespace std::chrono_literals;

// ----- A tiny service, run by the simulated SCM --------------------------------------------------

struct Delivery {
  DWORD control;
  DWORD event_type;
  DWORD session_id;  // from the session-change data; kSentinel otherwise
  bool on_dispatcher_thread;
  void* context;
};

// What the tiny service saw; the handler and ServiceMain are plain functions, as for the SCM.
struct TinyState {
  std::mutex lock;
  std::condition_variable changed;
  std::thread::id program_thread;
  std::thread::id main_thread;
  std::vector<std::wstring> argv;
  std::vector<Delivery> deliveries;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  bool stop_requested = false;
  bool hold_stop = false;    // ServiceMain waits with its STOPPED report while this is set
  bool release_main = true;  // ServiceMain returns right after its STOPPED report
  bool dispatcher_result = false;
  DWORD dispatcher_error = 0;
  bool opened_manager_for_all_access = false;
};
TinyState* g_tiny = nullptr;

constexpr DWORD kTinyAccepts = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;
constexpr DWORD kRefusedUserCode = 200;

void Report(DWORD state, DWORD accepts, DWORD checkpoint, DWORD wait_hint) {
  SERVICE_STATUS status = {
      SERVICE_WIN32_OWN_PROCESS, state, accepts, NO_ERROR, 0, checkpoint, wait_hint};
  SetServiceStatus(g_tiny->status_handle, &status);
}

DWORD WINAPI TinyHandler(DWORD control, DWORD event_type, LPVOID data, LPVOID context) {
  DWORD session = kSentinel;
  if (control == SERVICE_CONTROL_SESSIONCHANGE && data != nullptr) {
    session = static_cast<WTSSESSION_NOTIFICATION*>(data)->dwSessionId;
  }
  {
    std::lock_guard<std::mutex> guard(g_tiny->lock);
    g_tiny->deliveries.push_back(Delivery{control, event_type, session,
                                          std::this_thread::get_id() == g_tiny->program_thread,
                                          context});
  }
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING, kTinyAccepts, 0, 5000);
    std::lock_guard<std::mutex> guard(g_tiny->lock);
    g_tiny->stop_requested = true;
    g_tiny->changed.notify_all();
  }
  return control == kRefusedUserCode ? ERROR_CALL_NOT_IMPLEMENTED : NO_ERROR;
}

void WINAPI TinyMain(DWORD argc, LPWSTR* argv) {
  {
    std::lock_guard<std::mutex> guard(g_tiny->lock);
    g_tiny->main_thread = std::this_thread::get_id();
    for (DWORD i = 0; i < argc; ++i) g_tiny->argv.emplace_back(argv[i]);
  }
  g_tiny->status_handle = RegisterServiceCtrlHandlerExW(argv[0], TinyHandler, g_tiny);
  Report(SERVICE_START_PENDING, 0, 1, 3000);
  if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    g_tiny->opened_manager_for_all_access = true;
    CloseServiceHandle(manager);
  }
  Report(SERVICE_RUNNING, kTinyAccepts, 0, 0);
  std::unique_lock<std::mutex> guard(g_tiny->lock);
  g_tiny->changed.wait_for(guard, 10s, [] { return g_tiny->stop_requested && !g_tiny->hold_stop; });
  guard.unlock();
  Report(SERVICE_STOPPED, 0, 0, 0);
  guard.lock();
  g_tiny->changed.wait_for(guard, 10s, [] { return g_tiny->release_main; });
}

WCHAR g_tiny_name[] = L"Tiny";

int TinyProgram() {
  {
    std::lock_guard<std::mutex> guard(g_tiny->lock);
    g_tiny->program_thread = std::this_thread::get_id();
  }
  const SERVICE_TABLE_ENTRYW table[] = {{g_tiny_name, TinyMain}, {nullptr, nullptr}};
  const BOOL result = StartServiceCtrlDispatcherW(table);
  const DWORD error = GetLastError();
  std::lock_guard<std::mutex> guard(g_tiny->lock);
  g_tiny->dispatcher_result = result != FALSE;
  g_tiny->dispatcher_error = error;
  return 7;
}

class ServiceLifecycle : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    g_tiny = new TinyState();
    sim::SetServiceTimeouts(10s, 10s);
    sim::ServiceSpec tiny;
    tiny.name = L"Tiny";
    tiny.image_path = L"C:\\Program Files\\Tiny\\tiny.exe";
    tiny.program = TinyProgram;
    sim::InstallService(tiny);
  }
  void TearDown() override {
    // Whatever a failed test left running must not touch the state after it is gone.
    {
      std::lock_guard<std::mutex> guard(g_tiny->lock);
      g_tiny->stop_requested = true;
      g_tiny->hold_stop = false;
      g_tiny->release_main = true;
      g_tiny->changed.notify_all();
    }
    if (sim::WaitForServiceProcessExit(L"Tiny", 10s)) {
      delete g_tiny;
    } else {
      ADD_FAILURE() << "the tiny service still runs; its state is kept for its threads";
    }
    g_tiny = nullptr;
    PlatformTest::TearDown();
  }
};

void SetHoldStop(bool hold) {
  std::lock_guard<std::mutex> guard(g_tiny->lock);
  g_tiny->hold_stop = hold;
  g_tiny->changed.notify_all();
}

bool SameStatus(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

std::string Describe(const SERVICE_STATUS& s) {
  return "{type " + std::to_string(s.dwServiceType) + ", state " +
         std::to_string(s.dwCurrentState) + ", accepts " + std::to_string(s.dwControlsAccepted) +
         ", exit " + std::to_string(s.dwWin32ExitCode) + "/" +
         std::to_string(s.dwServiceSpecificExitCode) + ", checkpoint " +
         std::to_string(s.dwCheckPoint) + ", hint " + std::to_string(s.dwWaitHint) + "}";
}

TEST_F(ServiceLifecycle, ControlsReachTheHandlerOnTheDispatcherThreadAndEveryReportIsKept) {
  ScHandles h;
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  SC_HANDLE service = h.Add(OpenServiceW(manager, L"Tiny", SERVICE_ALL_ACCESS));
  ASSERT_NE(service, nullptr);
  LPCWSTR args[] = {L"--flag"};
  ASSERT_TRUE(StartServiceW(service, 1, args)) << "error " << GetLastError();
  ASSERT_TRUE(sim::WaitForServiceState(L"Tiny", SERVICE_RUNNING, 10s));

  SERVICE_STATUS_PROCESS running = {};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&running), sizeof(running), &needed));
  EXPECT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(running.dwControlsAccepted, kTinyAccepts);
  EXPECT_NE(running.dwProcessId, 0u);

  SERVICE_STATUS status = {};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_TRUE(ControlService(service, 128, &status));
  EXPECT_TRUE(ControlService(service, 255, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // The handler's own error is what ControlService answers.
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(service, kRefusedUserCode, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  // Not accepted: refused by the SCM, never delivered, the status still filled in.
  std::memset(&status, 0xAB, sizeof(status));
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(sim::SendPowerEvent(L"Tiny", PBT_APMSUSPEND),
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(sim::SendSessionChange(L"Tiny", WTS_SESSION_LOGON, 3), static_cast<DWORD>(NO_ERROR));

  SetHoldStop(true);  // so that the status of the stop request is still STOP_PENDING
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << "error " << GetLastError();
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwWaitHint, 5000u);
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(service, 128, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)) << "stopping";
  SetHoldStop(false);
  int exit_code = -1;
  ASSERT_TRUE(sim::WaitForServiceProcessExit(L"Tiny", 10s, &exit_code));
  EXPECT_EQ(exit_code, 7);

  // Every report, all fields, in order.
  const SERVICE_STATUS expected[] = {
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 1, 3000},
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, kTinyAccepts, NO_ERROR, 0, 0, 0},
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, kTinyAccepts, NO_ERROR, 0, 0, 5000},
      {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0},
  };
  std::vector<SERVICE_STATUS> reports = sim::ServiceStatusReports(L"Tiny");
  ASSERT_EQ(reports.size(), std::size(expected));
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_TRUE(SameStatus(reports[i], expected[i]))
        << "report " << i << ": " << Describe(reports[i]) << ", expected " << Describe(expected[i]);
  }

  // Every delivered control ran on the thread that called the dispatcher, with the context
  // given at registration; refused controls never arrived.
  const std::pair<DWORD, DWORD> delivered[] = {{SERVICE_CONTROL_INTERROGATE, 0},
                                               {128, 0},
                                               {255, 0},
                                               {kRefusedUserCode, 0},
                                               {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON},
                                               {SERVICE_CONTROL_STOP, 0}};
  std::lock_guard<std::mutex> guard(g_tiny->lock);
  ASSERT_EQ(g_tiny->deliveries.size(), std::size(delivered));
  for (size_t i = 0; i < g_tiny->deliveries.size(); ++i) {
    const Delivery& d = g_tiny->deliveries[i];
    EXPECT_EQ(d.control, delivered[i].first) << "delivery " << i;
    EXPECT_EQ(d.event_type, delivered[i].second) << "delivery " << i;
    EXPECT_TRUE(d.on_dispatcher_thread) << "delivery " << i;
    EXPECT_EQ(d.context, static_cast<void*>(g_tiny)) << "delivery " << i;
    EXPECT_EQ(d.session_id, d.control == SERVICE_CONTROL_SESSIONCHANGE ? 3u : kSentinel)
        << "delivery " << i;
  }
  EXPECT_NE(g_tiny->main_thread, g_tiny->program_thread) << "ServiceMain has a thread of its own";
  EXPECT_EQ(g_tiny->argv, (std::vector<std::wstring>{L"Tiny", L"--flag"}));
  EXPECT_TRUE(g_tiny->dispatcher_result);
  EXPECT_TRUE(g_tiny->opened_manager_for_all_access) << "the service runs as LocalSystem";

  // Gone with its process: the status handle, and controls.
  SERVICE_STATUS late = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  SetLastError(kSentinel);
  EXPECT_FALSE(SetServiceStatus(g_tiny->status_handle, &late));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kSentinel);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(sim::ServiceStatusNow(L"Tiny").dwProcessId, 0u);
}

TEST_F(ServiceLifecycle, DispatcherReturnsOnlyOnceServiceMainHasReturnedToo) {
  g_tiny->release_main = false;
  ASSERT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceState(L"Tiny", SERVICE_RUNNING, 10s));
  ASSERT_EQ(sim::SendServiceControl(L"Tiny", SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceState(L"Tiny", SERVICE_STOPPED, 10s));
  EXPECT_FALSE(sim::WaitForServiceProcessExit(L"Tiny", 100ms))
      << "the dispatcher returned while ServiceMain was still running";
  {
    std::lock_guard<std::mutex> guard(g_tiny->lock);
    g_tiny->release_main = true;
    g_tiny->changed.notify_all();
  }
  EXPECT_TRUE(sim::WaitForServiceProcessExit(L"Tiny", 10s));
}

TEST_F(ServiceLifecycle, StartFailsWhenTheProcessNeverConnects) {
  // Started by the SCM, but the program does not call the dispatcher (as a console program).
  ASSERT_TRUE(sim::SetServiceProgram(L"Tiny", [] { return 3; }));
  EXPECT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(sim::ServiceStatusNow(L"Tiny").dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // Called from another thread than the process's own, the dispatcher cannot connect either.
  DWORD error = 0;
  ASSERT_TRUE(sim::SetServiceProgram(L"Tiny", [&error] {
    std::thread other([&error] {
      const SERVICE_TABLE_ENTRYW table[] = {{g_tiny_name, TinyMain}, {nullptr, nullptr}};
      SetLastError(kSentinel);
      StartServiceCtrlDispatcherW(table);
      error = GetLastError();
    });
    other.join();
    return 0;
  }));
  sim::SetServiceTimeouts(10s, 10s);
  EXPECT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  // A service without an image to run does not start at all.
  ASSERT_TRUE(sim::SetServiceProgram(L"Tiny", nullptr));
  EXPECT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ServiceLifecycle, DisabledOrRunningServiceDoesNotStartAgain) {
  ASSERT_TRUE(sim::SetServiceStartType(L"Tiny", SERVICE_DISABLED));
  EXPECT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
  ASSERT_TRUE(sim::SetServiceStartType(L"Tiny", SERVICE_DEMAND_START));
  ASSERT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(sim::StartServiceAsScm(L"Tiny"), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  ASSERT_TRUE(sim::WaitForServiceState(L"Tiny", SERVICE_RUNNING, 10s));
  EXPECT_EQ(sim::SendServiceControl(L"Tiny", SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
}

TEST_F(Services, StandardUserGetsReadRightsOnly) {
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1000-1000-1000-1001", L"alice"));
  ScHandles h;
  SetLastError(kSentinel);
  EXPECT_EQ(h.Add(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE manager = h.Add(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
  ASSERT_NE(manager, nullptr);
  SetLastError(kSentinel);
  EXPECT_EQ(
      h.Add(CreateServiceW(manager, L"Mine", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\mine.exe", nullptr,
                           nullptr, nullptr, nullptr, nullptr)),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  for (DWORD denied : {static_cast<DWORD>(SERVICE_CHANGE_CONFIG), static_cast<DWORD>(SERVICE_STOP),
                       static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(DELETE)}) {
    SetLastError(kSentinel);
    EXPECT_EQ(h.Add(OpenServiceW(manager, L"PlugPlay", denied)), nullptr) << "access " << denied;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "access " << denied;
  }
  // What it may do: read, interrogate, send user-defined codes. MAXIMUM_ALLOWED gives just that.
  EXPECT_NE(h.Add(OpenServiceW(manager, L"PlugPlay",
                               SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                                   SERVICE_USER_DEFINED_CONTROL)),
            nullptr);
  SC_HANDLE most = h.Add(OpenServiceW(manager, L"PlugPlay", MAXIMUM_ALLOWED));
  ASSERT_NE(most, nullptr);
  EXPECT_FALSE(QueryConfig(most).empty());
  SetLastError(kSentinel);
  EXPECT_FALSE(ChangeServiceConfigW(most, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

#endif  // DPAL_SIM

}  // namespace
