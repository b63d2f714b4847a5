// Inside the simulated Windows: kernel objects, the handle table, the machine lock, and the
// entry hook every simulated function calls first (trace and fault injection).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/sim.h"
#include "platform/sim/sim_win32.h"

namespace sim {

// One lock guards the whole machine; waits block on one condition variable. The machine is
// small and calls are short, so a single lock keeps every cross-object rule (wait-all, a
// notification setting an event, a handle closed during a wait) simple and correct.
std::mutex& MachineLock();
std::condition_variable& MachineSignal();
using Lock = std::unique_lock<std::mutex>;

// ----- Kernel objects ------------------------------------------------------------------------

enum class Kind {
  Event,
  Key,
  File,
  Token,
  Process,
  Thread,
  ScManager,
  Service,
  DevInfo,
  Other,
};

const char* KindName(Kind kind);

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
  // Waitable objects answer these under the machine lock.
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait is satisfied by this object (auto-reset events reset here).
  virtual void Consume() {}
  // Called under the machine lock when a handle to the object is closed.
  virtual void OnHandleClosed(uintptr_t /*handle*/) {}
};

struct Event : Object {
  Event(bool manual, bool initial) : Object(Kind::Event), manual_reset(manual), signaled(initial) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled; }
  void Consume() override {
    if (!manual_reset) signaled = false;
  }
  bool manual_reset;
  bool signaled;
  std::wstring name;
};

// Sets an event and wakes waiters. Caller holds the machine lock.
void SignalLocked(Event& event);

// ----- Handle table --------------------------------------------------------------------------

// Adds an object with the access granted to this handle and returns the new handle value.
// Caller holds the machine lock.
uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access = 0x1FFFFF);
// The access granted to a handle (0 when it is not open).
ACCESS_MASK HandleAccessLocked(uintptr_t handle);
// The object of a handle, or null when the handle is not open (or of another kind).
std::shared_ptr<Object> LookupLocked(uintptr_t handle);
template <typename T>
std::shared_ptr<T> LookupAsLocked(uintptr_t handle, Kind kind) {
  auto object = LookupLocked(handle);
  if (!object || object->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(object);
}
// Removes a handle; false when it was not open. Caller holds the machine lock.
bool RemoveHandleLocked(uintptr_t handle);

inline uintptr_t H(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

// Named events of the machine's namespace ("Global\..." and plain names share one table).
std::shared_ptr<Event> FindNamedEventLocked(const std::wstring& name);
void AddNamedEventLocked(const std::wstring& name, const std::shared_ptr<Event>& event);

// ----- Entry hook: trace and faults -----------------------------------------------------------

// Every simulated function calls Enter first. It counts and (optionally) records the call, and
// answers the error to fail with when a fault is injected, or 0.
DWORD Enter(const char* function, std::wstring args);

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

// ----- Identity and tokens --------------------------------------------------------------------

struct Token : Object {
  Token() : Object(Kind::Token) {}
  std::wstring user_sid;
  std::wstring user_name;
  bool administrator = false;
  DWORD session_id = 0;
  bool primary = true;
  // Privileges the token holds, by LUID low part, with their enabled state.
  std::map<DWORD, bool> privileges;
};

bool IsSystemSid(const std::wstring& sid);
// The token that the calling thread acts with: its impersonation token, else its process token.
std::shared_ptr<Token> EffectiveTokenLocked();
std::shared_ptr<Token> ProcessTokenLocked();
bool PrivilegeEnabledLocked(const Token& token, const wchar_t* name);
// Counted by the leak check: threads that are impersonating right now.
void SetThreadImpersonationLocked(std::shared_ptr<Token> token);

// ----- Text -----------------------------------------------------------------------------------

std::wstring Upper(const std::wstring& s);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// ----- Files ----------------------------------------------------------------------------------

// Normalises a path for lookup in the file store (upper case, single backslashes).
std::wstring FileKey(const std::wstring& path);
struct FileNode {
  std::wstring path;
  std::vector<uint8_t> bytes;
};
std::map<std::wstring, FileNode>& FilesLocked();

// ----- Memory blocks handed out by the platform -------------------------------------------------

// Blocks that a platform function allocates for its caller and a matching function frees
// (WTS memory, environment blocks). They are counted by the leak check under their kind.
void* AllocateBlockLocked(const char* kind, size_t bytes);
// Frees a block of that kind; false when the pointer is not such a block.
bool FreeBlockLocked(void* block, const char* kind);

// ----- Per-area reset and leak accounting ------------------------------------------------------

// Reset calls each area's reset under the machine lock; the leak check asks each area to count.
// A new area adds its pair here and to the two lists in core.cpp.
void ResetRegistryLocked();
void RegistryLeaksLocked(LeakReport& report);
void ResetSecurityLocked();
void SecurityLeaksLocked(LeakReport& report);

}  // namespace sim
