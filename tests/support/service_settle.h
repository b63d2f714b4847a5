// When the service on the simulated laptop has settled after its start: its start-up run has
// looked at the console session and its watch of the apply state is armed, so that what a test
// does next comes after both. Read from the trace (sim::RecordTrace must be on from before the
// start). Sim build only.
#pragma once

#if !defined(_WIN32)

#include <string>

#include "platform/sim/sim.h"

namespace dpal::test {

// The watch has opened the apply-state key (or found it missing) for the first time; from then
// on it sees every change.
inline bool WatchStarted() {
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "RegOpenKeyExW" && call.args.find(L"DPAL\\State") != std::wstring::npos) {
      return true;
    }
  }
  return false;
}

// The start-up run has read the console's state once the thread that asked for it has freed the
// answer.
inline bool SessionChecked() {
  uint64_t asking_thread = 0;
  for (const sim::Call& call : sim::Trace()) {
    if (call.function == "WTSQuerySessionInformationW") asking_thread = call.thread;
    if (call.function == "WTSFreeMemory" && asking_thread != 0 && call.thread == asking_thread) {
      return true;
    }
  }
  return false;
}

inline bool ServiceSettled() { return SessionChecked() && WatchStarted(); }

}  // namespace dpal::test

#endif
