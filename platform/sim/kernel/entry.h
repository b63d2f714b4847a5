// The entry hook every simulated function calls first (trace and fault injection), with the
// formatting of its arguments, and the one failure helper of functions whose convention is the
// last error.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

#include "platform/sim/kernel/winbase.h"

namespace sim {

// ----- Failure -------------------------------------------------------------------------------

// The failure of an API function whose convention is the last error: sets the calling thread's
// last error and answers `result`. Every such failure path goes through here.
template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

// ----- Entry hook: trace and faults -----------------------------------------------------------

// A release gives back what another call handed out. The sweeps that fail "any n-th call" pass
// over releases: a release that fails would only turn an injected fault into a leak that no
// caller could have avoided. Named faults can still target them (the call-site sweep fails the
// releases whose failure a caller must meet that way).
enum class CallKind { Use, Release };

// Every simulated function calls Enter first, through SIM_ENTER or SIM_ENTER_RELEASE, which name
// the call after the function itself. It counts and (optionally) records the call, and answers
// the error to fail with when a fault is injected, or 0.
//
// The text of the arguments is made only when something reads it (a recorded trace, a sink, a
// fault rule that looks at the call): most calls are never traced, and formatting every one of
// them would cost more than the call itself.
class ArgsText {
 public:
  template <typename Make>
  explicit ArgsText(const Make& make)
      : make_(&make),
        call_([](const void* m) -> std::wstring { return (*static_cast<const Make*>(m))(); }) {}
  std::wstring operator()() const { return call_(make_); }

 private:
  const void* make_;  // lives until the end of the full expression that calls Enter
  std::wstring (*call_)(const void*);
};
DWORD Enter(const char* function, ArgsText args, CallKind kind = CallKind::Use);
inline DWORD Enter(const char* function, std::wstring args, CallKind kind = CallKind::Use) {
  return Enter(function, ArgsText([&args] { return args; }), kind);
}
#define SIM_ENTER(...) \
  ::sim::Enter(__func__, ::sim::ArgsText([&] { return ::sim::Args(__VA_ARGS__); }))
#define SIM_ENTER_RELEASE(...)                                                      \
  ::sim::Enter(__func__, ::sim::ArgsText([&] { return ::sim::Args(__VA_ARGS__); }), \
               ::sim::CallKind::Release)

// Formats arguments for the trace: strings quoted as text, handles and keys by name, numbers in
// decimal (small) or hex (flags, handles).
std::wstring ArgText(const wchar_t* s);
std::wstring ArgText(HKEY key);
std::wstring ArgText(const void* p);
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
std::wstring ArgText(T value) {
  std::wostringstream out;
  if (value > 4096 || value < 0) {
    out << L"0x" << std::hex << static_cast<uint64_t>(value);
  } else {
    out << static_cast<int64_t>(value);
  }
  return out.str();
}
inline std::wstring Args() { return L""; }
template <typename T, typename... Rest>
std::wstring Args(const T& first, const Rest&... rest) {
  std::wstring text = ArgText(first);
  if constexpr (sizeof...(rest) > 0) text += L", " + Args(rest...);
  return text;
}

}  // namespace sim
