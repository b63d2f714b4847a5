// The call-site sweep's flows of the service: its start-up (also with an altered profile and on
// a machine that does not qualify), a logon, the watch of the apply state, the user codes and
// the stop, each followed by a stop and the end of its process.
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "harness/registry_writer.h"
#include "tests/support/service_settle.h"
#include "tests/sweep/sweep.h"

namespace dpal::test::sweep {

namespace {

namespace laptop = dpal::laptop;
namespace layout = dpal::layout;

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
  // The reports the service tried to make, failed ones included, are one of its lives exactly:
  // none (no control handler), START_PENDING, RUNNING, STOP_PENDING (once or more, for each
  // stop) and STOPPED, or without STOP_PENDING when it stopped by itself (a machine that does not
  // qualify, a RUNNING report that failed, sub-controllers that could not start). A life that
  // did not end (a lost wake-up, a STOPPED report that failed) is the start of one of these.
  std::vector<DWORD> tried;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function != "SetServiceStatus") continue;
    const size_t at = call.args.find(L"state ");
    const DWORD state =
        at == std::wstring::npos ? 0 : std::wcstoul(call.args.c_str() + at + 6, nullptr, 10);
    if (state == SERVICE_STOP_PENDING && !tried.empty() && tried.back() == state) continue;
    tried.push_back(state);
  }
  const std::vector<std::vector<DWORD>> lives = {
      {},
      {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED},
      {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED},
  };
  bool one_of_them = false;
  for (const auto& life : lives) {
    const bool whole = tried == life;
    const bool begun =
        tried.size() <= life.size() && std::equal(tried.begin(), tried.end(), life.begin());
    one_of_them = one_of_them || whole || (!stopped_expected && begun);
  }
  std::string seen;
  for (DWORD state : tried) seen += std::to_string(state) + " ";
  EXPECT_TRUE(one_of_them) << "the service's reports were: " << seen;
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

// The service's work is over, so that each run stops it at the same point: every thread of its
// process (and of every program it launched) waits for something that only the test, or a
// wake-up the platform lost, could bring, or has returned. Without this wait, the stop would cut
// a start-up or logon run off at whatever call it had reached, and the same run would fail
// different call sites each time.
void WaitForTheServicesWork() { sim::WaitUntilSettled(kEffectLimit); }

// Stops the service when it still runs and waits until the stop has had its whole effect.
int StopService() {
  auto exited = [] { return sim::WaitForServiceProcessExit(laptop::kServiceName, 0ms); };
  DWORD sent = ERROR_SERVICE_NOT_ACTIVE;
  if (!exited() && !ServiceMainOver() && !WakeUpLost()) {
    sent = sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP);
    WaitForTheServicesWork();
  }
  if (exited()) return sim::WaitForProcessesToEnd(kEffectLimit) ? kEnded : kHung;
  if (ServiceMainOver()) return kUnreported;
  if (WakeUpLost()) return kWakeUpLost;
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
void ServiceLaptop(bool started, bool logged_off, const laptop::Options& options = {},
                   bool ready_event = false) {
  NewLaptop(options);
  // The service's threads take turns, so that its calls come in the same order in every run.
  sim::UseOrderlyThreads(true);
  if (ready_event) sim::CreateMachineEvent(L"Global\\TermSrvReadyEvent", true, true);
  if (logged_off) sim::LogOff(1);
  sim::RecordTrace(true);
  // A start whose process never connects, or a control that never returns, is given up after
  // 5 s instead of 30.
  sim::SetServiceTimeouts(5s, 5s);
  if (!started) return;
  ASSERT_EQ(sim::StartServiceAsScm(laptop::kServiceName), static_cast<DWORD>(NO_ERROR));
  // The start-up run, with its launch, is the set-up's: its calls are not the run's.
  ASSERT_TRUE(sim::WaitUntilSettled(kEffectLimit)) << "the service did not settle";
  ASSERT_EQ(sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState,
            static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(dpal::test::ServiceSettled()) << "the start-up run or the watch did not begin";
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
                WaitForTheServicesWork();
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
              nullptr};
}

// Through the platform, so that the write itself may fail: the flow then goes on without it.
void WriteMachineState(DWORD value) {
  dpal::test::RegistryWriter writer;
  if (writer.Create(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey) == ERROR_SUCCESS) {
    writer.Dword(layout::kStateValue, value);
  }
}

// Starts the service; the run then waits for its work.
void StartAndWait() { sim::StartServiceAsScm(laptop::kServiceName); }

}  // namespace

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

}  // namespace dpal::test::sweep
