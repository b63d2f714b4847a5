// What every sub-controller of the service is: the interface the main controller fans each
// operation out to, the kinds under which sub-controllers are made, and the factory interface
// that makes them. The sub-controllers include this and nothing of the main controller.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

// The kinds under which sub-controllers are made, stored and visited (ascending order). The
// factory takes a kind as an int; the names are scoped so that they meet no other "Profile".
namespace SubControllerKind {
inline constexpr int Profile = 1;
inline constexpr int Update = 2;
}  // namespace SubControllerKind

class CAbstractSubController {
 public:
  // Creates the completion event: unnamed, auto-reset, not signalled. A failure leaves it null,
  // which the main controller treats as "do not register".
  CAbstractSubController();
  virtual ~CAbstractSubController();
  CAbstractSubController(const CAbstractSubController&) = delete;
  CAbstractSubController& operator=(const CAbstractSubController&) = delete;

  virtual bool IsSupported() = 0;
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual bool Wait() = 0;
  virtual bool OnServiceControl(DWORD control, DWORD event_type) = 0;

  // Signalled when the sub-controller's work is over; the main controller waits for it.
  HANDLE CompletionEvent() const { return completion_event_.get(); }

 protected:
  UniqueEvent completion_event_;
};

class CFactorySubController {
 public:
  // A new sub-controller of the kind, owned by the caller, or null for a kind it does not make.
  virtual CAbstractSubController* CreateSubController(int kind) = 0;

 protected:
  ~CFactorySubController() = default;
};

}  // namespace dpal
