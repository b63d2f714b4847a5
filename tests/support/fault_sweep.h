// The sweep of a flow's failure paths, as the sim's fault injection allows it: the flow runs with
// its first platform call failing, then with its second failing, and so on, until a run meets
// no fault (every call it made succeeded, so it ran to its end). After every run the leak check
// must be clean. A second kind of sweep keeps the fault: every call from the n-th on fails. Sim
// build only: in the windows build the header declares nothing.
#pragma once

#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sim/sim.h"

namespace dpal::test {

struct SweepOptions {
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;  // what the failing call answers
  uint64_t limit = 100;  // runs after which a sweep that met a fault every time fails
  // False: only the n-th call fails (sim::FailNthAny). True: every call from the n-th on fails,
  // a fault that does not go away (sim::FailFromNthAny).
  bool permanent = false;
  // Called after each run while its faults are still recorded (sim::FiredFaults), with n.
  std::function<void(uint64_t n)> after_run;
  // Called before each run, before its fault is armed: the flow's own set-up, whose calls count
  // for no run.
  std::function<void()> before_run;
  // Takes off the leak report what the flow keeps on purpose (an object that lives as long as
  // its process), before the report is checked.
  std::function<void(sim::LeakReport& report)> kept;
};

enum class RunOutcome { Faulted, Clean, Failed };

// One run of a flow as every sweep makes it: the set-up, the faults that `arm()` puts in, the
// run, its check and the leak check. `fault` names the faults for a report ("call 3 failing").
// Faulted when a fault fired, Clean when none did, Failed when the run leaked or a fatal failure
// ended it.
template <typename Run, typename Check, typename Arm>
RunOutcome RunWithFaults(Run& run, Check& check, const SweepOptions& options, uint64_t n, Arm arm,
                         const std::string& fault) {
  sim::ClearFaults();
  if (options.before_run) options.before_run();
  arm();
  auto result = run();
  const bool faulted = sim::FaultsFired() > 0;
  if (options.after_run) options.after_run(n);
  sim::ClearFaults();
  check(result, n, faulted);
  sim::LeakReport leaks = sim::Leaks();
  if (options.kept) options.kept(leaks);
  if (!leaks.Clean()) {
    ADD_FAILURE() << (faulted ? "with " + fault : "the clean run")
                  << " left behind: " << leaks.Describe();
    return RunOutcome::Failed;
  }
  if (::testing::Test::HasFatalFailure()) return RunOutcome::Failed;
  return faulted ? RunOutcome::Faulted : RunOutcome::Clean;
}

// `run()` performs the flow once and answers its result; `check(result, n, faulted)` then checks
// that result, where n is the number of the call that was made to fail and `faulted` says whether
// the flow reached it (false only for the last, clean run). Fails the test when a run leaks,
// when the flow made no platform call at all (the sweep would try nothing), or when `limit` runs
// all met a fault. Answers the number of calls the flow makes (its faulted runs), 0 on failure.
template <typename Run, typename Check>
uint64_t SweepFaults(Run run, Check check, const SweepOptions& options = SweepOptions()) {
  for (uint64_t n = 1; n <= options.limit; ++n) {
    const RunOutcome outcome = RunWithFaults(
        run, check, options, n,
        [&] {
          if (options.permanent) {
            sim::FailFromNthAny(n, options.error);
          } else {
            sim::FailNthAny(n, options.error);
          }
        },
        "call " + std::to_string(n) + " failing");
    if (outcome == RunOutcome::Failed) return 0;
    if (outcome == RunOutcome::Clean) {
      if (n == 1) ADD_FAILURE() << "the flow made no platform call: the sweep tried nothing";
      return n - 1;
    }
  }
  ADD_FAILURE() << "the flow still met a fault in each of " << options.limit
                << " runs: it never ran clean (raise the limit, or look for a loop)";
  return 0;
}

}  // namespace dpal::test

#endif
