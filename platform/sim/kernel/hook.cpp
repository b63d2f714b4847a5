// The entry hook every simulated function calls first: the count and trace of platform calls,
// the trace sink, and fault injection.
#include <execinfo.h>

#include <map>
#include <vector>

#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"

namespace sim {
namespace {

struct FaultRule {
  enum class Mode { Always, Nth, Predicate, NthAny, FromNthAny } mode;
  std::string function;
  uint64_t remaining = 0;  // for Nth and NthAny: calls left before the one that fails
  std::function<bool(const Call&)> predicate;
  DWORD error = 0;
  bool spent = false;
};

// Trace and faults have a lock of their own, so that the hook never needs the machine lock.
struct HookState {
  std::mutex lock;
  std::vector<FaultRule> rules;
  uint64_t fired = 0;
  std::vector<FiredFault> fired_calls;  // since the last ClearFaults
  bool recording = false;
  std::vector<Call> trace;
  std::map<std::string, uint64_t> counts;
  uint64_t total = 0;
  std::function<void(const Call&)> sink;
};

HookState& Hooks() {
  static HookState* hooks = new HookState();  // never destroyed: detached threads may call late
  return *hooks;
}

}  // namespace

DWORD Enter(const char* function, ArgsText args, CallKind kind) {
  // A thread whose process has ended makes no more calls: it stops here, before the call counts.
  StopIfProcessEnded();
  HookState& hooks = Hooks();
  Call call{function, std::wstring(), ThreadNumber()};
  bool formatted = false;
  const auto described = [&]() -> const Call& {
    if (!formatted) {
      call.args = args();
      formatted = true;
    }
    return call;
  };
  std::function<void(const Call&)> sink;
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(hooks.lock);
    ++hooks.total;
    ++hooks.counts[call.function];
    for (FaultRule& rule : hooks.rules) {
      if (rule.spent) continue;
      bool fire = false;
      switch (rule.mode) {
        case FaultRule::Mode::Always: fire = rule.function == call.function; break;
        case FaultRule::Mode::Predicate:
          fire = rule.function == call.function && rule.predicate(described());
          break;
        case FaultRule::Mode::Nth:
          if (rule.function == call.function && --rule.remaining == 0) {
            fire = true;
            rule.spent = true;
          }
          break;
        case FaultRule::Mode::NthAny:
          if (kind != CallKind::Release && --rule.remaining == 0) {
            fire = true;
            rule.spent = true;
          }
          break;
        case FaultRule::Mode::FromNthAny:
          if (kind != CallKind::Release) {
            if (rule.remaining > 1) {
              --rule.remaining;
            } else {
              fire = true;
            }
          }
          break;
      }
      if (fire && error == 0) {
        error = rule.error;
        ++hooks.fired;
      }
    }
    if (error != 0) {
      // The stack of the failed call, innermost first, for the call-site report: the frames
      // above the simulated function name its caller.
      FiredFault fault{call.function, std::vector<void*>(kFiredFaultFrames)};
      fault.frames.resize(static_cast<size_t>(
          backtrace(fault.frames.data(), static_cast<int>(fault.frames.size()))));
      hooks.fired_calls.push_back(std::move(fault));
    }
    if (hooks.recording) hooks.trace.push_back(described());
    sink = hooks.sink;
  }
  if (sink) sink(described());
  return error;
}

std::wstring ArgText(const wchar_t* s) {
  if (s == nullptr) return L"NULL";
  return L"\"" + std::wstring(s) + L"\"";
}

std::wstring ArgText(HKEY key) {
  switch (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key))) {
    case 0x80000000u: return L"HKCR";
    case 0x80000001u: return L"HKCU";
    case 0x80000002u: return L"HKLM";
    case 0x80000003u: return L"HKU";
    default: return ArgText(static_cast<const void*>(key));
  }
}

std::wstring ArgText(const void* p) {
  if (p == nullptr) return L"NULL";
  std::wostringstream out;
  out << L"0x" << std::hex << reinterpret_cast<uintptr_t>(p);
  return out.str();
}

void FailAlways(const std::string& function, DWORD error) {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.push_back({FaultRule::Mode::Always, function, 0, nullptr, error});
}

void FailNth(const std::string& function, uint64_t n, DWORD error) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.push_back({FaultRule::Mode::Nth, function, n, nullptr, error});
}

void FailIf(const std::string& function, std::function<bool(const Call&)> predicate, DWORD error) {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.push_back({FaultRule::Mode::Predicate, function, 0, std::move(predicate), error});
}

void FailNthAny(uint64_t n, DWORD error) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.push_back({FaultRule::Mode::NthAny, "", n, nullptr, error});
}

void FailFromNthAny(uint64_t n, DWORD error) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.push_back({FaultRule::Mode::FromNthAny, "", n, nullptr, error});
}

void ClearFaults() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().rules.clear();
  Hooks().fired = 0;
  Hooks().fired_calls.clear();
}

uint64_t FaultsFired() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  return Hooks().fired;
}

std::vector<FiredFault> FiredFaults() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  return Hooks().fired_calls;
}

void RecordTrace(bool on) {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().recording = on;
}

std::vector<Call> Trace() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  return Hooks().trace;
}

void ClearTrace() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().trace.clear();
  Hooks().counts.clear();
  Hooks().total = 0;
}

uint64_t CallCount() {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  return Hooks().total;
}

uint64_t CallCount(const std::string& function) {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  auto it = Hooks().counts.find(function);
  return it == Hooks().counts.end() ? 0 : it->second;
}

void SetTraceSink(std::function<void(const Call&)> sink) {
  std::lock_guard<std::mutex> guard(Hooks().lock);
  Hooks().sink = std::move(sink);
}

void ResetHooks() {
  ClearFaults();
  ClearTrace();
  RecordTrace(false);
  SetTraceSink(nullptr);
}

}  // namespace sim
