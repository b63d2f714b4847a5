// Every flow of the package with its platform calls failing: each export of the core library,
// each mode of the profile tool, both runs of the uninstaller and the service's start-up, logon,
// watch, user codes and stop, each on a freshly installed laptop. A first pass fails the n-th
// call once (with the errors the flow tells apart), a second keeps failing every call from the
// n-th on. Every run must end, leave nothing behind and answer what the program promises for a
// failure. The calls that failed are traced back to their call sites in the product code, and the
// test reports how many of the product's call sites the flows failed ("call sites failed: N of
// M") and lists the sites no flow reached.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "loader/shared/registry.h"
#include "loader/worker_threads.h"
#include "setprofile/tool.h"
#include "tests/sweep/call_sites.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "tests/support/registry_writer.h"
#include "tests/support/service_settle.h"
#include "tools/installer.h"
#include "uninstaller/flow.h"

namespace {

using namespace std::chrono_literals;
namespace laptop = dpal::laptop;
namespace layout = dpal::layout;
namespace installer = dpal::installer;
using Clock = std::chrono::steady_clock;

constexpr DWORD kStandard = sim::kStandardDisplayColourMode;
const std::wstring kPanel = sim::kPanelDeviceKey;
const std::wstring kBase = L"QXLCD_Panel_V3_S.icm";
const std::wstring kNew = L"QXLCD_Panel_V4_S.icm";

// How long one run may take before the sweep counts it as hung.
constexpr auto kRunLimit = 30s;
// How long an effect that another thread brings about may take.
constexpr auto kEffectLimit = 10s;

// Ends the test process when a run does not end in time: a hang fails the test at once instead
// of holding ctest until its time-out.
class Watchdog {
 public:
  Watchdog() : thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void Arm(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    what_ = what;
    deadline_ = Clock::now() + kRunLimit;
    armed_ = true;
    changed_.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = false;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!quit_) {
      if (armed_ && Clock::now() >= deadline_) {
        std::fprintf(stderr, "HANG: %s did not end within %lld s\n", what_.c_str(),
                     static_cast<long long>(kRunLimit.count()));
        std::fflush(stderr);
        std::_Exit(3);
      }
      if (armed_) {
        changed_.wait_until(guard, deadline_);
      } else {
        changed_.wait(guard);
      }
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool quit_ = false;
  Clock::time_point deadline_;
  std::string what_;
  std::thread thread_;
};

// Waits for a condition that another thread makes true; false when the time ran out.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = kEffectLimit) {
  const auto deadline = Clock::now() + limit;
  std::mutex lock;
  std::condition_variable never;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::unique_lock<std::mutex> guard(lock);
    never.wait_for(guard, 1ms);
  }
  return true;
}

// ----- The machine -----------------------------------------------------------------------------

std::wstring ConsoleUser() { return sim::DefaultAdmin().user_sid; }
std::wstring UserDefault() { return sim::DefaultColourProfile(ConsoleUser(), kPanel, kStandard); }
// The user default was set for the console user or, by a LocalSystem caller that could not tell
// it is LocalSystem (a failed comparison of its SID reads as "not equal"), for its own account.
bool UserDefaultIs(const std::wstring& name) {
  return UserDefault() == name ||
         sim::DefaultColourProfile(sim::kLocalSystemSid, kPanel, kStandard) == name;
}
std::wstring MachineDefault() { return sim::DefaultColourProfile(L"", kPanel, kStandard); }

// A freshly installed laptop: the package as the installer leaves it, the stand-in per-user
// program, the default identity's user at the console, and two profiles of the panel with the
// first the default of the user and the machine.
void NewLaptop(laptop::Options options = laptop::Options()) {
  sim::Reset();
  installer::InstallPackage(options);
  laptop::InstallStandIn();
  for (const std::wstring& name : {kBase, kNew}) sim::InstallColourProfile(name);
  sim::SetDefaultColourProfile(ConsoleUser(), kPanel, kStandard, 1, kBase);
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kBase);
}

sim::Identity Program(sim::Identity identity, const std::wstring& image,
                      const std::wstring& arguments) {
  identity.image_path = image;
  identity.command_line = L"\"" + image + L"\"" + arguments;
  return identity;
}

// The calling thread as LocalSystem in the console session (the core library's client, the
// tool as the service runs it), or as the console's administrator.
void AsLocalSystem(const std::wstring& image = L"C:\\Program Files\\Client\\client.exe",
                   const std::wstring& arguments = L"") {
  sim::Identity system = sim::LocalSystem(image);
  system.session_id = 1;
  sim::SetProcessIdentity(Program(system, image, arguments));
}
void AsAdministrator(const std::wstring& image = L"C:\\Program Files\\Client\\client.exe",
                     const std::wstring& arguments = L"") {
  sim::SetProcessIdentity(Program(sim::DefaultAdmin(), image, arguments));
}

DWORD ReadState(HKEY root, const std::wstring& key) {
  DWORD value = 0xFFFFFFFF;
  DWORD size = sizeof value;
  if (RegGetValueW(root, key.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return 0xFFFFFFFF;
  }
  return value;
}
std::wstring UserStateKey() { return ConsoleUser() + L"\\" + layout::kUserApplyStateKey; }

// ----- The flows -------------------------------------------------------------------------------

// One flow: its set-up before each run (outside the faults), the run itself, and what must hold
// of its result: `faulted` is false for the clean run, which must succeed.
struct Flow {
  std::string name;
  std::function<void()> setup;
  std::function<int()> run;
  std::function<void(int result, bool faulted)> check;
  // Errors the flow tells apart, failed in the first pass besides ERROR_NOT_ENOUGH_MEMORY.
  std::vector<DWORD> errors;
  std::function<void(sim::LeakReport&)> kept;
};

const std::vector<DWORD> kRegistryErrors = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED};

WCHAR g_buffer[64];

// An export whose 1 means its effect holds: a failed run may answer 0, never 1 without it.
Flow Export(const std::string& name, std::function<void()> setup, std::function<int()> run,
            std::function<bool()> effect, std::vector<DWORD> errors = kRegistryErrors) {
  return Flow{"DPALCore " + name,
              [setup] {
                NewLaptop();
                setup();
              },
              run,
              [effect](int result, bool faulted) {
                EXPECT_TRUE(result == 0 || result == 1) << result;
                if (result == 1) {
                  EXPECT_TRUE(effect()) << "success reported without its effect";
                }
                if (!faulted) {
                  EXPECT_EQ(result, 1);
                }
              },
              errors,
              nullptr};
}

std::vector<Flow> CoreFlows() {
  auto system = [] { AsLocalSystem(); };
  auto admin = [] { AsAdministrator(); };
  auto nothing = [] { return true; };
  std::vector<Flow> flows = {
      Export(
          "GetDefaultUserProfile", system,
          [] {
            g_buffer[0] = 0;
            return GetDefaultUserProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == UserDefault(); }),
      Export(
          "GetDefaultUserProfile (administrator)", admin,
          [] {
            g_buffer[0] = 0;
            return GetDefaultUserProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == UserDefault(); }),
      Export(
          "GetDefaultSystemProfile", system,
          [] {
            g_buffer[0] = 0;
            return GetDefaultSystemProfile(1, 64, g_buffer);
          },
          [] { return g_buffer == MachineDefault(); }),
      Export(
          "SetDefaultColorProfileToPrimaryMonitor", system,
          [] { return SetDefaultColorProfileToPrimaryMonitor(1, kNew.c_str()); },
          [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }),
      Export(
          "SetDefaultColorProfileToPrimaryMonitor (administrator)", admin,
          [] { return SetDefaultColorProfileToPrimaryMonitor(1, kNew.c_str()); },
          [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }),
      Export(
          "DisassociateUserColorProfile",
          [] {
            AsLocalSystem();
            sim::SetColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false, {kBase});
          },
          [] { return DisassociateUserColorProfile(1, kBase.c_str()); },
          [] {
            auto list = sim::ColourAssociations(sim::kLocalSystemSid, sim::kLaptopGpu, 0, false);
            return std::find(list.begin(), list.end(), kBase) == list.end();
          }),
      Export(
          "DisassociateSystemColorProfile",
          [] {
            AsLocalSystem();
            sim::SetColourAssociations(L"", sim::kLaptopGpu, 0, false, {kBase});
          },
          [] { return DisassociateSystemColorProfile(1, kBase.c_str()); },
          [] {
            auto list = sim::ColourAssociations(L"", sim::kLaptopGpu, 0, false);
            return std::find(list.begin(), list.end(), kBase) == list.end();
          }),
      Export(
          "UninstallICCProfile", system, [] { return UninstallICCProfile(1, kNew.c_str()); },
          [] { return !sim::ColourProfileInstalled(kNew); }),
      Export(
          "SaveUserProfile", system, [] { return SaveUserProfile(L"QXLCD_Panel_V4_S"); }, nothing),
      Export(
          "IsSystemUser", system, [] { return IsSystemUser() != 0 ? 1 : 0; }, nothing),
  };
  // The apply state: 1 whatever the writes did for targets 1 and 3 (the clients rely on it), 0
  // writing nothing when a LocalSystem caller has no console hive it can load; target 2 answers
  // the user's write.
  auto states = [] {
    dpal::test::PutDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, 1);
    dpal::test::PutDword(HKEY_USERS, UserStateKey(), layout::kStateValue, 1);
    dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, 1);
  };
  flows.push_back(Flow{"DPALCore SaveCurrentApplyStatus (both)",
                       [states] {
                         NewLaptop();
                         states();
                         AsLocalSystem();
                       },
                       [] { return SaveCurrentApplyStatus(1, 0); },
                       [](int result, bool faulted) {
                         const DWORD machine =
                             ReadState(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey);
                         const DWORD user = ReadState(HKEY_USERS, UserStateKey());
                         EXPECT_TRUE(result == 0 || result == 1) << result;
                         if (result == 0) {
                           EXPECT_TRUE(machine == 1 && user == 1) << "0 writes nothing";
                         }
                         if (!faulted) {
                           EXPECT_EQ(result, 1);
                           EXPECT_TRUE(machine == 0 && user == 0);
                         }
                       },
                       kRegistryErrors, nullptr});
  flows.push_back(Export(
      "SaveCurrentApplyStatus (administrator, user only)",
      [states] {
        states();
        AsAdministrator();
      },
      [] { return SaveCurrentApplyStatus(2, 0); },
      [] { return ReadState(HKEY_CURRENT_USER, layout::kUserApplyStateKey) == 0; }));
  // An administrator is never taken for LocalSystem, whatever fails.
  flows.push_back(Flow{"DPALCore IsSystemUser (administrator)",
                       [] {
                         NewLaptop();
                         AsAdministrator();
                       },
                       [] { return IsSystemUser(); },
                       [](int result, bool) { EXPECT_EQ(result, 0); },
                       {ERROR_ACCESS_DENIED},
                       nullptr});
  return flows;
}

// The wait for the user's state, ended by the stop from another thread, and the stop. The
// updater is made once per process and keeps its change event, so the laptop is not made anew
// for each run here.
struct WaitRun {
  std::atomic<bool> done{false};
  std::atomic<int> code{-1};
  std::unique_ptr<std::thread> thread;
};
WaitRun* g_wait = nullptr;

Flow WaitFlow() {
  Flow flow;
  flow.name = "DPALCore WaitForUsrUpdate and StopWaitForUsrUpdate";
  flow.setup = [] {
    sim::SetProcessIdentity(sim::DefaultAdmin());
    dpal::test::PutDword(HKEY_CURRENT_USER, layout::kUserApplyStateKey, layout::kStateValue, 1);
  };
  flow.run = [] {
    g_wait = new WaitRun();
    WaitRun* wait = g_wait;
    const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
    wait->thread = std::make_unique<std::thread>([wait] {
      wait->code = WaitForUsrUpdate();
      wait->done = true;
    });
    // The wait has begun (or ended already) before the stop is sent.
    Eventually([&] { return wait->done || sim::CallCount("WaitForMultipleObjects") > waits; });
    const int stopped = StopWaitForUsrUpdate();
    Eventually([&] { return wait->done.load(); }, 200ms);
    return stopped;
  };
  flow.check = [](int stopped, bool faulted) {
    EXPECT_EQ(stopped, 1) << "the stop always answers 1";
    // A stop that the platform could not deliver is sent again now that the calls succeed:
    // the wait must end then.
    if (!g_wait->done) {
      EXPECT_TRUE(faulted) << "the clean run's stop ended the wait";
      EXPECT_TRUE(Eventually([] {
        StopWaitForUsrUpdate();
        return g_wait->done.load();
      })) << "the wait never ended";
    }
    if (g_wait->done) {
      g_wait->thread->join();
      const int code = g_wait->code;
      EXPECT_TRUE(code >= 0 && code <= 3) << code;
      if (!faulted) {
        EXPECT_EQ(code, 0) << "a stop ends the wait quietly";
      }
    } else {
      g_wait->thread->detach();
    }
    delete g_wait;
    g_wait = nullptr;
  };
  flow.errors = kRegistryErrors;
  flow.kept = [](sim::LeakReport& report) {
    // The updater's change event lives as long as the process.
    if (report.open_handles["event"] <= 1) report.open_handles.erase("event");
  };
  return flow;
}

// The tool in each of its modes; 0 means the defaults it was asked for are set.
std::vector<Flow> ToolFlows() {
  struct Mode {
    std::string name;
    std::wstring arguments;
    bool system;
    std::function<bool()> effect;
  };
  const std::wstring args = L" 1 " + kNew;
  const std::vector<Mode> modes = {
      {"/allset", L" /allset" + args, true,
       [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }},
      {"/allset (administrator)", L" /allset" + args, false,
       [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }},
      {"/userset", L" /userset" + args, true, [] { return UserDefaultIs(kNew); }},
      {"/systemset", L" /systemset" + args, true, [] { return MachineDefault() == kNew; }},
      {"/baseverify", L" /baseverify" + args + L" " + kBase, true,
       [] { return MachineDefault() == kNew; }},
      {"/baseverify (administrator)", L" /baseverify" + args + L" " + kBase, false,
       [] { return MachineDefault() == kNew; }},
  };
  std::vector<Flow> flows;
  for (const Mode& mode : modes) {
    flows.push_back(Flow{
        "SetDPALProfile " + mode.name,
        [mode] {
          NewLaptop();
          if (mode.system) {
            AsLocalSystem(laptop::kToolProgram, mode.arguments);
          } else {
            AsAdministrator(laptop::kToolProgram, mode.arguments);
          }
        },
        [] { return dpal::setprofile::RunToolProcess(); },
        [effect = mode.effect](int code, bool faulted) {
          EXPECT_TRUE(code == dpal::setprofile::kSucceeded || code == dpal::setprofile::kFailed)
              << code;
          if (code == dpal::setprofile::kSucceeded) {
            EXPECT_TRUE(effect()) << "exit code 0 without the defaults set";
          }
          if (!faulted) {
            EXPECT_EQ(code, dpal::setprofile::kSucceeded);
          }
        },
        kRegistryErrors, nullptr});
  }
  return flows;
}

// ----- The service -----------------------------------------------------------------------------

// The reports the service made form one life: START_PENDING, RUNNING, STOP_PENDING and STOPPED
// in that order (a report whose call failed is missing), nothing after STOPPED, and the fixed
// fields alike in each.
void CheckReports(bool stopped_expected) {
  const auto reports = sim::ServiceStatusReports(laptop::kServiceName);
  auto rank = [](DWORD state) {
    switch (state) {
      case SERVICE_START_PENDING: return 0;
      case SERVICE_RUNNING: return 1;
      case SERVICE_STOP_PENDING: return 2;
      case SERVICE_STOPPED: return 3;
      default: return -1;
    }
  };
  int last = -1;
  for (size_t i = 0; i < reports.size(); ++i) {
    const SERVICE_STATUS& report = reports[i];
    const int now = rank(report.dwCurrentState);
    EXPECT_NE(now, -1) << "report " << i << ": state " << report.dwCurrentState;
    EXPECT_TRUE(now >= last && (now != last || now == 2))
        << "report " << i << " goes from " << last << " to " << now;
    EXPECT_EQ(report.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(report.dwControlsAccepted, 0xC1u);
    last = now;
  }
  if (stopped_expected && !reports.empty()) {
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }
}

// What became of the service at the end of a run.
enum ServiceEnd : int {
  kEnded = 1,  // its process ended after the stop
  kHung = 0,   // it did not end in time
  // Its ServiceMain has returned, but the SCM never heard SERVICE_STOPPED (the report, or the
  // registration of the control handler, failed): as on Windows, the dispatcher waits on, until
  // the process is ended from outside, which the check does.
  kUnreported = 2,
  // Its main wait cannot end: the platform failed to set an event that would have ended it.
  // Nothing in the service can make up for a wake-up the platform lost; the check ends the
  // process from outside.
  kWakeUpLost = 3,
};

// Whether the faults of the pass stay.
bool g_permanent = false;

// The names of the calls that failed in the last run.
std::set<std::string> g_failed_functions;

// The service's ServiceMain is over and its dispatcher waits: ServiceMain has tried its last
// report (or, without a control handler, began and made none). A worker whose wake-up the
// platform failed to deliver may wait beside it.
bool ServiceMainOver() {
  bool tried_stopped = false;
  bool tried_any = false;
  bool main_began = false;
  for (const sim::Call& call : sim::Trace()) {
    main_began = main_began || call.function == "RegisterServiceCtrlHandlerExW";
    if (call.function != "SetServiceStatus") continue;
    tried_any = true;
    tried_stopped = tried_stopped || call.args.find(L"state 1,") != std::wstring::npos;
  }
  if (!main_began || (tried_any && !tried_stopped)) return false;
  // Once SERVICE_STOPPED went out, the process is about to end of itself.
  const auto reports = sim::ServiceStatusReports(laptop::kServiceName);
  if (!reports.empty() && reports.back().dwCurrentState == SERVICE_STOPPED) return false;
  for (const sim::BlockedThread& thread : sim::BlockedThreads()) {
    if (thread.function == "StartServiceCtrlDispatcherW") return true;
  }
  return false;
}

// The threads that were blocked when the service did not end, for the failure message.
std::string g_hang;

// The service's main wait for its controllers can never end: a wake-up (SetEvent) failed, and
// the thread waits for all of its controllers' events.
bool WakeUpLost() {
  bool lost = false;
  for (const sim::FiredFault& fault : sim::FiredFaults())
    lost = lost || fault.function == "SetEvent";
  if (!lost) return false;
  for (const sim::BlockedThread& thread : sim::BlockedThreads()) {
    if (thread.function == "WaitForMultipleObjects" && thread.wait_all) return true;
  }
  return false;
}

// Stops the service (when it still runs; a stop is sent again while the service is still
// starting, as an administrator would) and waits for its process to end.
int StopService() {
  auto exited = [] { return sim::WaitForServiceProcessExit(laptop::kServiceName, 0ms); };
  DWORD sent = ERROR_SERVICE_NOT_ACTIVE;
  const bool over = Eventually([&] {
    if (exited() || ServiceMainOver() || WakeUpLost()) return true;
    if (sent != NO_ERROR)
      sent = sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP);
    return false;
  });
  // A SERVICE_STOPPED report that was under way when ServiceMain looked over ends the process
  // of itself
  // of itself; not so when the fault stays and a report has failed already, as the last one
  // then fails too.
  bool report_failed = false;
  for (const sim::FiredFault& fault : sim::FiredFaults()) {
    report_failed = report_failed || fault.function == "SetServiceStatus";
  }
  if (!exited() && !WakeUpLost() && !(g_permanent && report_failed)) {
    sim::WaitForServiceProcessExit(laptop::kServiceName, 500ms);
  }
  if (exited()) {
    // A run of the service's work that was under way may still be releasing what it holds.
    Eventually([] { return sim::Leaks().Clean(); }, 2000ms);
    return sim::WaitForProcessesToEnd(kEffectLimit) ? kEnded : kHung;
  }
  if (over && ServiceMainOver()) return kUnreported;
  if (over) return kWakeUpLost;
  g_hang = " (the stop answered " + std::to_string(sent) + ")";
  for (const sim::BlockedThread& thread : sim::BlockedThreads()) {
    g_hang += " [" + std::to_string(thread.thread) + "] " + thread.function;
  }
  return kHung;
}

// Ends the process of a service whose end went unreported from outside (a restart that starts
// nothing again).
void EndUnreportedService() {
  sim::SetServiceStartType(laptop::kServiceName, SERVICE_DEMAND_START);
  sim::Restart();
  EXPECT_TRUE(sim::WaitForServiceProcessExit(laptop::kServiceName, kEffectLimit));
}

// A laptop whose service has started and settled (when `started`), with nobody at the console
// for the logon flow.
size_t g_stopped_before = 0;
int g_workers_before = 0;

void ServiceLaptop(bool started, bool logged_off, const laptop::Options& options = {},
                   bool ready_event = false) {
  NewLaptop(options);
  if (ready_event) sim::CreateMachineEvent(L"Global\\TermSrvReadyEvent", true, true);
  g_stopped_before = sim::StoppedThreads().size();
  g_workers_before = dpal::WorkerThreads::RunningInProcess();
  if (logged_off) sim::LogOff(1);
  sim::RecordTrace(true);
  // A start whose process never connects, or a control that never returns, is given up after
  // 5 s instead of 30.
  sim::SetServiceTimeouts(5s, 5s);
  if (!started) return;
  ASSERT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
  ASSERT_TRUE(sim::WaitForServiceState(laptop::kServiceName, SERVICE_RUNNING, kEffectLimit));
  ASSERT_TRUE(Eventually([] {
    return dpal::test::ServiceSettled() && sim::WaitForProcessesToEnd(0ms);
  })) << "the service did not settle";
}

// `action` is the flow; the run then stops the service, whose work may still be going. The result
// is what became of the service (ServiceEnd).
Flow ServiceFlow(
    const std::string& name, bool started, bool logged_off, std::function<void()> action,
    std::function<void()> machine = [] { ServiceLaptop(false, false); }) {
  return Flow{"service " + name,
              [started, logged_off, machine] {
                if (started || logged_off) {
                  ServiceLaptop(started, logged_off);
                } else {
                  machine();
                }
              },
              [action] {
                action();
                return StopService();
              },
              [](int end, bool faulted) {
                if (end == kWakeUpLost) {
                  CheckReports(false);
                  EndUnreportedService();
                  return;
                }
                if (end == kUnreported) {
                  // Only when the platform would not take the report or the handler.
                  EXPECT_TRUE(g_failed_functions.count("SetServiceStatus") != 0 ||
                              g_failed_functions.count("RegisterServiceCtrlHandlerExW") != 0)
                      << "the service ended without reporting SERVICE_STOPPED";
                  CheckReports(false);
                  EndUnreportedService();
                  return;
                }
                EXPECT_EQ(end, kEnded)
                    << "the service's process did not end after the stop; blocked:" << g_hang;
                CheckReports(true);
                if (!faulted) {
                  const auto reports = sim::ServiceStatusReports(laptop::kServiceName);
                  bool running = false;
                  for (const auto& report : reports) {
                    running = running || report.dwCurrentState == SERVICE_RUNNING;
                  }
                  EXPECT_TRUE(running);
                }
              },
              kRegistryErrors,
              [](sim::LeakReport& report) {
                // A run of the service's work that the end of its process cut off inside a
                // platform call may leave that call's result unreleased (the call began before
                // the end and finished after it): the sim's limit. Only then is the report
                // waived.
                const bool cut_off = sim::StoppedThreads().size() > g_stopped_before ||
                                     dpal::WorkerThreads::RunningInProcess() > g_workers_before;
                if (cut_off && !report.Clean()) {
                  report = sim::LeakReport();
                }
              }};
}

// Through the platform, so that the write itself may fail: the flow then goes on without it.
void WriteMachineState(DWORD value) {
  dpal::test::RegistryWriter writer;
  if (writer.Create(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey) == ERROR_SUCCESS) {
    writer.Dword(layout::kStateValue, value);
  }
}

// Starts the service and waits until it runs, has stopped or cannot say anything.
void StartAndWait() {
  sim::StartServiceAsScm(laptop::kServiceName);
  Eventually([] {
    const DWORD state = sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState;
    return state == SERVICE_RUNNING || state == SERVICE_STOPPED || ServiceMainOver();
  });
}

std::vector<Flow> ServiceFlows() {
  std::vector<Flow> flows = {
      ServiceFlow("start-up", false, false, StartAndWait),
      // Installed before, with one profile file altered (the catalogue finds it and has it
      // restored), once terminal services are ready.
      ServiceFlow("start-up with an altered profile", false, false, StartAndWait,
                  [] {
                    laptop::Options options;
                    options.install_pending = false;
                    ServiceLaptop(false, false, options, true);
                    auto bytes = laptop::Profiles()[0].bytes;
                    bytes[150 % bytes.size()] ^= 0x01;
                    sim::PutFile(laptop::ProfilePath(laptop::Profiles()[0]), bytes);
                  }),
      // A machine that does not qualify: the service turns its automatic start into a demand
      // start and stops.
      ServiceFlow("start-up on an unsupported machine", false, false, StartAndWait,
                  [] {
                    laptop::Options options;
                    options.firmware = L"XYZDE12X";
                    ServiceLaptop(false, false, options);
                  }),
      ServiceFlow("logon", true, true,
                  [] {
                    sim::LogOn(1, sim::DefaultAdmin().user_sid, L"admin");
                    sim::SendSessionChange(laptop::kServiceName, WTS_SESSION_LOGON, 1);
                  }),
      ServiceFlow("watch of the apply state", true, false, [] { WriteMachineState(0); }),
      ServiceFlow("user codes", true, false,
                  [] {
                    sim::SendServiceControl(laptop::kServiceName, 254);
                    sim::SendServiceControl(laptop::kServiceName, 255);
                  }),
      ServiceFlow("stop", true, false, [] {}),
  };
  return flows;
}

// ----- The uninstaller ----------------------------------------------------------------------

// Where the final cleanup moves the image: the first numbered name in the account's temporary
// directory.
std::wstring RelocatedImage() {
  WCHAR directory[MAX_PATH] = {};
  if (GetTempPathW(MAX_PATH, directory) == 0) return L"";
  return std::wstring(directory) + L"ufn.000";
}

bool DeviceGone() {
  for (const sim::Device& device : sim::Devices()) {
    if (device.instance_id == laptop::kDeviceInstance) return false;
  }
  return true;
}

// The uninstaller's runs, as the installed program: the exit code is 0 for a run that reached
// its end, whatever each step achieved.
std::vector<Flow> UninstallerFlows() {
  const std::wstring image = installer::kUninstallerImage;
  auto final_cleanup = [image] {
    NewLaptop();
    sim::RemoveDevice(laptop::kDeviceInstance);
    dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue, L"");
    AsLocalSystem(image, L" -checkremoval");
  };
  // The program's image is mapped while it runs, as Windows maps a running program: it can be
  // renamed, not deleted.
  auto run = [image] {
    sim::FileHold mapped = sim::HoldImageOpen(image);
    return dpal::uninstaller::RunUninstallerProcess();
  };
  std::vector<Flow> flows;
  flows.push_back(Flow{"uninstaller device removal (administrator)",
                       [image] {
                         NewLaptop();
                         AsAdministrator(image, L"");
                       },
                       run,
                       [](int code, bool faulted) {
                         EXPECT_EQ(code, 0);
                         if (!faulted) {
                           EXPECT_TRUE(DeviceGone());
                         }
                       },
                       {ERROR_ACCESS_DENIED},
                       nullptr});
  flows.push_back(Flow{"uninstaller final cleanup (LocalSystem -checkremoval)", final_cleanup, run,
                       [image](int code, bool faulted) {
                         EXPECT_EQ(code, 0);
                         const bool moved = sim::FileExists(RelocatedImage());
                         EXPECT_FALSE(moved && sim::FileExists(image))
                             << "the image is in one place at most";
                         if (!faulted) {
                           EXPECT_TRUE(moved);
                           EXPECT_FALSE(sim::TaskExists(installer::kUninstallTask));
                         }
                       },
                       kRegistryErrors, nullptr});
  // With a user who is logged off, whose hive is in its file and holds the package's tree.
  flows.push_back(Flow{"uninstaller final cleanup (a user logged off)",
                       [final_cleanup] {
                         final_cleanup();
                         const std::wstring sid = L"S-1-5-21-1-2-3-1007";
                         sim::CreateUserProfile(sid, L"carol");
                         sim::LogOn(5, sid, L"carol");
                         dpal::test::PutDword(HKEY_USERS, sid + L"\\" + layout::kUserApplyStateKey,
                                              layout::kStateValue, 1);
                         sim::LogOff(5);
                         AsLocalSystem(installer::kUninstallerImage, L" -checkremoval");
                       },
                       run,
                       [image](int code, bool) {
                         EXPECT_EQ(code, 0);
                         EXPECT_NE(sim::FileExists(RelocatedImage()), sim::FileExists(image));
                         EXPECT_FALSE(sim::IsHiveLoaded(HKEY_USERS, L"S-1-5-21-1-2-3-1007"))
                             << "the user's hive goes back to its file";
                       },
                       kRegistryErrors, nullptr});
  flows.push_back(Flow{"uninstaller final cleanup while the device and an owner remain",
                       [image] {
                         NewLaptop();
                         AsLocalSystem(image, L" -checkremoval");
                       },
                       run,
                       [image](int code, bool) {
                         EXPECT_EQ(code, 0);
                         EXPECT_TRUE(sim::FileExists(image)) << "nothing is removed";
                         EXPECT_TRUE(sim::ServiceExists(laptop::kServiceName));
                       },
                       kRegistryErrors, nullptr});
  return flows;
}

// ----- The sweep -------------------------------------------------------------------------------

class CallSiteSweep : public dpal::test::PlatformTest {
 protected:
  void TearDown() override {
    // The service's controllers and the core library's updater live as long as their process,
    // which in the sim is the test's; each run's leak check has already been made.
    KeepLeaksOnPurpose();
    PlatformTest::TearDown();
  }
};

TEST_F(CallSiteSweep, EveryFlowFailsSafelyAtEveryCallSite) {
  const std::string source_dir = DPAL_SOURCE_DIR;
  std::vector<Flow> flows = CoreFlows();
  flows.push_back(WaitFlow());
  for (auto group : {ToolFlows(), UninstallerFlows(), ServiceFlows()}) {
    for (Flow& flow : group) flows.push_back(std::move(flow));
  }
  // A light pass (DPAL_SWEEP_LIGHT set, in the sanitizer presets): memory errors only, and the
  // service's flows left out. Those stop the service while its work is under way, and the sim
  // ends a process while a thread of it may still be inside a platform call, which then reads
  // what the end released: harmless in the plain build, a use after free to the sanitizers.
  const bool light = std::getenv("DPAL_SWEEP_LIGHT") != nullptr;
  if (light) {
    flows.erase(
        std::remove_if(flows.begin(), flows.end(),
                       [](const Flow& flow) { return flow.name.rfind("service ", 0) == 0; }),
        flows.end());
  }

  Watchdog watchdog;
  dpal::test::CallSiteRecorder recorder(source_dir);
  std::map<std::string, uint64_t> calls;
  const auto started = Clock::now();
  // DPAL_SWEEP_FLOW=text sweeps only the flows whose name holds the text (for a closer look).
  const char* only = std::getenv("DPAL_SWEEP_FLOW");
  std::map<std::string, double> flow_seconds;
  for (const Flow& flow : flows) {
    if (only != nullptr && flow.name.find(only) == std::string::npos) continue;
    const auto flow_started = Clock::now();
    std::vector<std::pair<DWORD, bool>> passes = {{ERROR_NOT_ENOUGH_MEMORY, false}};
    if (!light) {
      for (DWORD error : flow.errors) passes.emplace_back(error, false);
    }
    passes.emplace_back(ERROR_NOT_ENOUGH_MEMORY, true);
    for (const auto& [error, permanent] : passes) {
      const std::string pass =
          flow.name + (permanent ? ", permanent" : ", once") + ", error " + std::to_string(error);
      SCOPED_TRACE(pass);
      dpal::test::SweepOptions options;
      options.error = error;
      options.permanent = permanent;
      g_permanent = permanent;
      options.limit = 1000;
      options.kept = flow.kept;
      uint64_t runs = 0;
      options.before_run = [&] {
        watchdog.Arm(pass + ", the run with call " + std::to_string(++runs) + " failing");
        flow.setup();
        // DPAL_SWEEP_TRACE shows each run's calls as they happen (for a closer look at a hang).
        if (std::getenv("DPAL_SWEEP_TRACE") != nullptr) {
          std::fprintf(stderr, "---- run %llu at %.3f\n", static_cast<unsigned long long>(runs),
                       std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
          sim::SetTraceSink([](const sim::Call& call) {
            std::fprintf(stderr, "  [%llu] %s(%ls)\n", static_cast<unsigned long long>(call.thread),
                         call.function.c_str(), call.args.c_str());
          });
        }
      };
      std::string failed_calls;
      options.after_run = [&](uint64_t) {
        const std::vector<sim::FiredFault> fired = sim::FiredFaults();
        failed_calls.clear();
        for (size_t i = 0; i < fired.size() && i < 3; ++i) {
          failed_calls += (i > 0 ? ", " : " (") + fired[i].function;
        }
        if (fired.size() > 3) failed_calls += ", ... " + std::to_string(fired.size()) + " calls";
        if (!fired.empty()) failed_calls += ")";
        g_failed_functions.clear();
        for (const sim::FiredFault& fault : fired) g_failed_functions.insert(fault.function);
        recorder.Add(flow.name, fired);
        watchdog.Disarm();
      };
      const uint64_t made = dpal::test::SweepFaults(
          flow.run,
          [&](int result, uint64_t n, bool faulted) {
            SCOPED_TRACE(::testing::Message()
                         << "call " << n << (faulted ? " failing" : ", clean") << failed_calls);
            flow.check(result, faulted);
          },
          options);
      if (!permanent && error == ERROR_NOT_ENOUGH_MEMORY) calls[flow.name] = made;
      if (HasFatalFailure()) return;
    }
    flow_seconds[flow.name] = std::chrono::duration<double>(Clock::now() - flow_started).count();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  sim::SetProcessIdentity(sim::DefaultAdmin());

  std::vector<std::string> problems;
  auto failed = recorder.Resolve(&problems);
  const dpal::test::SourceCallSites source = dpal::test::ReadSourceCallSites(source_dir);
  for (const std::string& problem : problems) ADD_FAILURE() << problem;
  ASSERT_FALSE(source.failable.empty()) << "no call site found in " << source_dir;

  std::set<dpal::test::CallSite> reached;
  std::printf("Call sites failed per flow (platform calls of the flow's clean run):\n");
  for (const Flow& flow : flows) {
    std::set<dpal::test::CallSite> sites;
    for (const auto& site : failed[flow.name]) sites.insert(dpal::test::SourceSiteOf(source, site));
    reached.insert(sites.begin(), sites.end());
    std::printf("  %3zu  %-64s (%llu calls, %.1f s)\n", sites.size(), flow.name.c_str(),
                static_cast<unsigned long long>(calls[flow.name]), flow_seconds[flow.name]);
  }
  // A failed site that the reading of the source does not find (a call through a pointer that
  // no accessor names, a line the compiler gave elsewhere) still counts, and is listed.
  std::set<dpal::test::CallSite> all = source.failable;
  std::printf("Call sites failed that the source count does not have:\n");
  for (const auto& site : reached) {
    if (all.insert(site).second) std::printf("  %s\n", site.Describe().c_str());
  }
  std::printf("Call sites no flow reached:\n");
  for (const auto& site : all) {
    if (reached.count(site) == 0) std::printf("  %s\n", site.Describe().c_str());
  }
  std::printf("(%zu release call sites, which the sweeps pass over by design)\n",
              source.releases.size());
  if (light) {
    // The sanitizers' builds symbolise their frames differently; the figure is the plain
    // build's.
    std::printf("call-site sweep, light pass: %zu flows, %.1f s\n", flows.size(), seconds);
  } else {
    std::printf("call sites failed: %zu of %zu (%zu flows, %.1f s)\n", reached.size(), all.size(),
                flows.size(), seconds);
  }
}

}  // namespace
