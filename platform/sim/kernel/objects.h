// Kernel objects and the handle table: what a handle designates, events, and the handles that
// belong to the calling thread's process.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "platform/sim/kernel/winbase.h"

namespace sim {

// What a handle designates, as the leak check counts it. Each object type has one, as a static
// member kKind, so that a new area's kinds need no list here.
struct HandleKind {
  const char* name;             // "event", "key", ...: the leak report's and OpenHandleCount's
  bool closed_by_close_handle;  // false for kinds with a closer of their own (RegCloseKey, ...)
};

struct Object {
  explicit Object(const HandleKind& k) : kind(k) {}
  virtual ~Object() = default;
  const HandleKind& kind;
  // Waitable objects answer these under the machine lock.
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait is satisfied by this object (auto-reset events reset here).
  virtual void Consume() {}
  // Called under the machine lock when a handle to the object is closed.
  virtual void OnHandleClosed(uintptr_t /*handle*/) {}
  // What the blocked-thread query calls the object (WaitedObject::name).
  virtual std::wstring Name() const { return L""; }
};

struct Event : Object {
  static constexpr HandleKind kKind{"event", true};
  Event(bool manual, bool initial) : Object(kKind), manual_reset(manual), signaled(initial) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled; }
  void Consume() override {
    if (!manual_reset) signaled = false;
  }
  std::wstring Name() const override { return name; }
  bool manual_reset;
  bool signaled;
  std::wstring name;
};

// Sets an event and wakes waiters. Caller holds the machine lock.
void SignalLocked(Event& event);

// Adds an object with the access granted to this handle and returns the new handle value. The
// handle belongs to the calling thread's process, whose end closes it. Caller holds the machine
// lock (as for every function here whose name ends in Locked).
uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access = 0x1FFFFF);
// The access granted to a handle (0 when it is not open).
ACCESS_MASK HandleAccessLocked(uintptr_t handle);
// The object of a handle, or null when the handle is not open.
std::shared_ptr<Object> LookupLocked(uintptr_t handle);
// The object of a handle when it is a T, else null.
template <typename T>
std::shared_ptr<T> LookupAsLocked(uintptr_t handle) {
  auto object = LookupLocked(handle);
  if (!object || &object->kind != &T::kKind) return nullptr;
  return std::static_pointer_cast<T>(object);
}
// Removes a handle; false when it was not open.
bool RemoveHandleLocked(uintptr_t handle);
// The closer of kinds that CloseHandle does not close (CloseServiceHandle, ...): removes the
// handle when its object is of one of `kinds`; otherwise false with ERROR_INVALID_HANDLE.
BOOL CloseHandleOfKindsLocked(uintptr_t handle, std::initializer_list<const HandleKind*> kinds);

inline uintptr_t H(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

}  // namespace sim
