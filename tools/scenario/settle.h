// The wait after each command: until the service has finished what the command set off, or the
// deadline passes. Sim build only.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include "tools/scenario.h"
#include "tools/scenario/timeline.h"
#include "tools/scenario/tracker.h"

namespace dpal::scenario {

// What must hold, besides the service being quiet, before the next command.
struct Wanted {
  bool no_work = false;        // every work run has ended (after a stop)
  std::set<uint64_t> watches;  // the watches at the start of the command
};

// The service's watches of the apply state that still run.
std::set<uint64_t> LiveWatches(Tracker& tracker);

struct SettleContext {
  Tracker& tracker;
  Timeline& timeline;
  int workers_before = 0;  // work runs of the service left from before the play
  std::chrono::milliseconds deadline{10000};
};

// Whether the service has finished what the last command set off; when not, `busy` says why.
bool Settled(const SettleContext& context, const Wanted& wanted, std::string* busy);

// Waits until Settled(). At the deadline: flushes the timeline, says what was still busy, and
// answers false.
bool Settle(const SettleContext& context, const Step& step, const Wanted& wanted,
            const std::wstring& console_user_sid);

}  // namespace dpal::scenario
