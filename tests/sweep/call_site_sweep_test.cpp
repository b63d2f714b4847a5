// Every flow of the package with its platform calls failing: each export of the core library,
// each mode of the profile tool, both runs of the uninstaller and the service's start-up, logon,
// watch, user codes and stop, each on a freshly installed laptop. A first pass fails the n-th
// call once (with the errors the flow tells apart), a second keeps failing every call from the
// n-th on. Then each function the flow calls fails for good while every other works, and the
// functions whose callers tell an error apart ("the buffer is too small", "COM security is set
// already") and the releases a caller must meet (a revert, an unload) fail call by call. Every
// run must end, leave nothing behind and answer what the program promises for a failure; a
// failed revert must end the process. The calls that failed are traced back to their call sites in
// the product code, and the test reports how many of the product's call sites the flows failed
// ("call sites failed: N of M") and lists the sites no flow reached.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
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

// ----- The runs --------------------------------------------------------------------------------

// The errors the product tells apart from a plain failure, by the function that answers them:
// "the buffer is too small" of a size query (the expected first answer of a two-call read, or a
// display configuration that changed between the size query and the query), and "COM security
// is set already".
const std::multimap<std::string, DWORD> kToldApart = {
    {"GetTokenInformation", ERROR_INSUFFICIENT_BUFFER},
    {"QueryDisplayConfig", ERROR_INSUFFICIENT_BUFFER},
    {"SetupDiGetDeviceRegistryPropertyW", ERROR_INSUFFICIENT_BUFFER},
    {"QueryServiceConfigW", ERROR_INSUFFICIENT_BUFFER},
    {"CoInitializeSecurity", static_cast<DWORD>(RPC_E_TOO_LATE)},
};

// The releases whose failure the caller must meet: the end of an impersonation, the unload of a
// hive or a user profile. The sweeps of any n-th call pass over releases; these are failed by
// name.
const std::set<std::string> kFailableReleases = {"RevertToSelf", "RegUnLoadKeyW",
                                                 "UnloadUserProfile"};

// The result of a run whose own thread ended in a fail-fast: it never returned.
constexpr int kFailedFast = -0x5A5A;

// What the sweep knows of the run under way.
struct RunState {
  uint64_t runs = 0;
  std::string failed_calls;                  // the first few, for the report
  std::map<std::string, int> failed_counts;  // per function, the calls that failed
  size_t fail_fasts = 0;                     // sim::FailFastThreads() before the run
  bool failed_fast = false;                  // a thread of the run failed fast
  bool run_failed_fast = false;              // the run's own thread did
  size_t trace_from = 0;                     // the run\'s first call in sim::Trace()
};

// Runs the flow on a thread of its own, so that a fail-fast on it (which stops the thread for
// good) ends the run rather than the sweep. The stopped thread is left where it stopped.
int RunOnItsOwnThread(const std::function<int()>& run) {
  struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t thread = 0;
    bool done = false;
    int result = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::thread thread([shared, run] {
    sim::BecomeHostThread();
    {
      std::lock_guard<std::mutex> guard(shared->lock);
      shared->thread = sim::ThreadNumber();
    }
    const int result = run();
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->result = result;
    shared->done = true;
    shared->changed.notify_all();
  });
  auto stopped = [&] {
    const std::vector<uint64_t> ended = sim::FailFastThreads();
    return std::find(ended.begin(), ended.end(), shared->thread) != ended.end();
  };
  std::unique_lock<std::mutex> guard(shared->lock);
  // The watchdog ends a run that does neither.
  while (!shared->done && !(shared->thread != 0 && stopped())) {
    shared->changed.wait_for(guard, 1ms);
  }
  if (!shared->done) {
    guard.unlock();
    thread.detach();
    return kFailedFast;
  }
  guard.unlock();
  thread.join();
  return shared->result;
}

// Takes off the leak report what the run could not give back: a hive or a user profile whose
// unload failed stays loaded (the caller has nothing else to try), and a fail-fast of the run's
// own thread ended the work with all it held (the end of a process releases everything).
void TakeOffWhatTheRunCouldNotRelease(const RunState& state, sim::LeakReport& leaks) {
  if (state.run_failed_fast) {
    leaks = sim::LeakReport();
    return;
  }
  auto failed = [&](const std::string& function) {
    auto found = state.failed_counts.find(function);
    return found == state.failed_counts.end() ? 0 : found->second;
  };
  // Each failed unload excuses one loaded hive or profile (and the profile's root key, which the
  // unload would have closed), wherever it is still held: on the machine, or by a process that
  // ended holding it.
  int hives = failed("RegUnLoadKeyW");
  int profiles = failed("UnloadUserProfile");
  int root_keys = profiles;
  auto excuse = [](int& excused, int& count) {
    const int taken = std::min(excused, count);
    excused -= taken;
    count -= taken;
  };
  auto excuse_in = [&](std::map<std::string, int>& items, const std::string& item, int& excused) {
    auto found = items.find(item);
    if (found == items.end()) return;
    excuse(excused, found->second);
    if (found->second == 0) items.erase(found);
  };
  excuse(hives, leaks.loaded_hives);
  excuse(profiles, leaks.loaded_profiles);
  excuse_in(leaks.open_handles, "key", root_keys);
  for (sim::ProcessLeftovers& ended : leaks.held_at_process_end) {
    excuse_in(ended.items, "loaded hive", hives);
    excuse_in(ended.items, "loaded profile", profiles);
    excuse_in(ended.items, "key", root_keys);
  }
  auto& ended = leaks.held_at_process_end;
  ended.erase(std::remove_if(ended.begin(), ended.end(),
                             [](const sim::ProcessLeftovers& held) { return held.items.empty(); }),
              ended.end());
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
  Watchdog watchdog;
  dpal::test::CallSiteRecorder recorder(source_dir);
  std::map<std::string, uint64_t> calls;
  const auto started = Clock::now();
  // DPAL_SWEEP_FLOW=text sweeps only the flows whose name holds the text (for a closer look).
  const char* only = std::getenv("DPAL_SWEEP_FLOW");
  std::map<std::string, double> flow_seconds;
  const dpal::test::PlatformFunctions platform = dpal::test::ReadPlatformFunctions(source_dir);
  for (const Flow& flow : flows) {
    if (only != nullptr && flow.name.find(only) == std::string::npos) continue;
    const auto flow_started = Clock::now();
    // The platform functions the flow's clean run calls, for the passes that aim at one of them.
    std::set<std::string> called;
    RunState state;
    auto options_for = [&](const std::string& pass, DWORD error, bool permanent) {
      dpal::test::SweepOptions options;
      options.error = error;
      options.permanent = permanent;
      options.limit = 1000;
      options.kept = [&flow, &state](sim::LeakReport& leaks) {
        if (flow.kept) flow.kept(leaks);
        TakeOffWhatTheRunCouldNotRelease(state, leaks);
      };
      options.before_run = [&, pass, permanent] {
        g_permanent = permanent;
        watchdog.Arm(pass + ", run " + std::to_string(++state.runs));
        flow.setup();
        // The trace from here on is the run's (the set-up's reset cleared what came before; a
        // flow's set-up may have turned the recording on for itself, and it stays on).
        state.trace_from = sim::Trace().size();
        if (called.empty()) sim::RecordTrace(true);
        state.fail_fasts = sim::FailFastThreads().size();
        // DPAL_SWEEP_TRACE shows each run's calls as they happen (for a closer look at a hang).
        if (std::getenv("DPAL_SWEEP_TRACE") != nullptr) {
          std::fprintf(stderr, "---- run %llu at %.3f\n",
                       static_cast<unsigned long long>(state.runs),
                       std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
          sim::SetTraceSink([](const sim::Call& call) {
            std::fprintf(stderr, "  [%llu] %s(%ls)\n", static_cast<unsigned long long>(call.thread),
                         call.function.c_str(), call.args.c_str());
          });
        }
      };
      options.after_run = [&](uint64_t) {
        const std::vector<sim::FiredFault> fired = sim::FiredFaults();
        state.failed_calls.clear();
        for (size_t i = 0; i < fired.size() && i < 3; ++i) {
          state.failed_calls += (i > 0 ? ", " : " (") + fired[i].function;
        }
        if (fired.size() > 3) {
          state.failed_calls += ", ... " + std::to_string(fired.size()) + " calls";
        }
        if (!fired.empty()) state.failed_calls += ")";
        g_failed_functions.clear();
        state.failed_counts.clear();
        for (const sim::FiredFault& fault : fired) {
          g_failed_functions.insert(fault.function);
          ++state.failed_counts[fault.function];
        }
        state.failed_fast = sim::FailFastThreads().size() > state.fail_fasts;
        if (fired.empty() && called.empty()) {
          const std::vector<sim::Call> trace = sim::Trace();
          for (size_t i = state.trace_from; i < trace.size(); ++i) {
            const sim::Call& call = trace[i];
            if (platform.failable.count(call.function) != 0 ||
                kFailableReleases.count(call.function) != 0) {
              called.insert(call.function);
            }
          }
        }
        recorder.Add(flow.name, fired);
        watchdog.Disarm();
      };
      return options;
    };
    auto run = [&] { return RunOnItsOwnThread(flow.run); };
    auto check = [&](int result, uint64_t n, bool faulted) {
      state.run_failed_fast = result == kFailedFast;
      SCOPED_TRACE(::testing::Message()
                   << "run " << n << (faulted ? " failing" : ", clean") << state.failed_calls);
      // A failed revert ends the process at once: the run's own thread never returns, or the
      // service's process ends. A thread that carried on would act as the user it impersonated.
      if (g_failed_functions.count("RevertToSelf") != 0) {
        EXPECT_TRUE(state.failed_fast) << "a thread carried on after its revert failed";
        // The process that failed fast answers nothing more: its outcome is its end.
        if (state.failed_fast) return;
      }
      if (result == kFailedFast) {
        EXPECT_EQ(g_failed_functions.count("RevertToSelf"), 1u)
            << "the run's thread failed fast without a failed revert";
        return;
      }
      flow.check(result, faulted);
    };

    std::vector<std::pair<DWORD, bool>> passes = {{ERROR_NOT_ENOUGH_MEMORY, false}};
    for (DWORD error : flow.errors) passes.emplace_back(error, false);
    passes.emplace_back(ERROR_NOT_ENOUGH_MEMORY, true);
    for (const auto& [error, permanent] : passes) {
      const std::string pass =
          flow.name + (permanent ? ", permanent" : ", once") + ", error " + std::to_string(error);
      SCOPED_TRACE(pass);
      const uint64_t made =
          dpal::test::SweepFaults(run, check, options_for(pass, error, permanent));
      if (!permanent && error == ERROR_NOT_ENOUGH_MEMORY) calls[flow.name] = made;
      if (HasFatalFailure()) return;
    }

    // One function failing for good while every other works, with each error its callers tell
    // apart; and each call of a function that answers such an error failing with it once.
    for (const std::string& function : called) {
      std::vector<DWORD> errors = {ERROR_NOT_ENOUGH_MEMORY};
      for (auto [it, end] = kToldApart.equal_range(function); it != end; ++it) {
        errors.push_back(it->second);
      }
      for (DWORD error : errors) {
        const std::string pass =
            flow.name + ", " + function + " for good, error " + std::to_string(error);
        SCOPED_TRACE(pass);
        const dpal::test::SweepOptions options = options_for(pass, error, true);
        if (dpal::test::RunWithFaults(
                run, check, options, 1, [&] { sim::FailAlways(function, error); },
                function + " failing for good") == dpal::test::RunOutcome::Failed) {
          return;
        }
        if (error == ERROR_NOT_ENOUGH_MEMORY && kFailableReleases.count(function) == 0) continue;
        for (uint64_t n = 1; n <= options.limit; ++n) {
          const auto outcome = dpal::test::RunWithFaults(
              run, check, options_for(pass, error, false), n,
              [&] { sim::FailNth(function, n, error); },
              "call " + std::to_string(n) + " of " + function + " failing");
          if (outcome == dpal::test::RunOutcome::Failed) return;
          if (outcome == dpal::test::RunOutcome::Clean) break;
        }
      }
    }
    flow_seconds[flow.name] = std::chrono::duration<double>(Clock::now() - flow_started).count();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  sim::SetProcessIdentity(sim::DefaultAdmin());

  std::vector<std::string> problems;
  auto failed = recorder.Resolve(&problems);
  dpal::test::SourceCallSites source = dpal::test::ReadSourceCallSites(source_dir);
  // The releases failed by name count among the sites that can fail.
  for (auto it = source.releases.begin(); it != source.releases.end();) {
    if (kFailableReleases.count(it->function) != 0) {
      source.failable.insert(*it);
      it = source.releases.erase(it);
    } else {
      ++it;
    }
  }
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
    // DPAL_SWEEP_SITES lists each flow's sites (to compare two runs).
    if (std::getenv("DPAL_SWEEP_SITES") != nullptr) {
      for (const auto& site : sites) std::printf("       %s\n", site.Describe().c_str());
    }
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
  std::printf("(%zu other release call sites, which the sweeps pass over by design)\n",
              source.releases.size());
  // Every build traces the failed calls to the same lines, the sanitizers' included.
  EXPECT_FALSE(reached.empty()) << "no failed call was traced to a line of the product";
  std::printf("call sites failed: %zu of %zu (%zu flows, %.1f s)\n", reached.size(), all.size(),
              flows.size(), seconds);
  // The service's flows, which run in every build (the sanitizers' included), how many of them
  // this run swept, and the platform calls of the flows' clean runs.
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
