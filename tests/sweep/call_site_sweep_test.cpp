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
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_sweep.h"
#include "tests/support/platform_test.h"
#include "tests/sweep/call_sites.h"
#include "tests/sweep/sweep.h"

namespace {

using namespace dpal::test::sweep;

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
    for (DWORD error : flow.errors) passes.emplace_back(error, false);
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
  if (reached.empty()) {
    // In the sanitizers' builds the failed calls are not traced back to the product's lines
    // (their frames symbolise differently): no figure rather than a wrong one.
    std::printf(
        "call sites failed: not traced to the product's lines in this build (%zu flows, "
        "%.1f s)\n",
        flows.size(), seconds);
  } else {
    std::printf("call sites failed: %zu of %zu (%zu flows, %.1f s)\n", reached.size(), all.size(),
                flows.size(), seconds);
  }
  // The service's flows, which run in every build (the sanitizers' included), and how many of
  // them this run swept.
  // them this run swept, with the platform calls of the flows' clean runs: a figure that every
  // build gives alike, where the sanitizers' builds cannot trace every call to its line.
  size_t service_flows = 0;
  size_t service_swept = 0;
  uint64_t swept_calls = 0;
  for (const Flow& flow : flows) {
    swept_calls += calls[flow.name];
    if (flow.name.rfind("service ", 0) != 0) continue;
    ++service_flows;
    if (calls[flow.name] > 0) ++service_swept;
  }
  std::printf("service flows swept: %zu of %zu, %llu calls in all\n", service_swept, service_flows,
              static_cast<unsigned long long>(swept_calls));
}

}  // namespace
