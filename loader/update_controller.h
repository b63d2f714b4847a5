// The Update sub-controller: watches the machine apply state and has the per-user program put
// the profiles into effect ("/ss") or take them out ("/rs") when it changes; turns the user
// control codes 254 and 255 into "/su" and "/ss".
#pragma once

#include <memory>

#include "loader/sub_controller.h"
#include "loader/worker_threads.h"

namespace dpal {

inline constexpr DWORD kControlSetUser = 254;   // "/su"
inline constexpr DWORD kControlSetState = 255;  // "/ss"

class CDPALUpdateSubController final : public CAbstractSubController {
 public:
  CDPALUpdateSubController();
  ~CDPALUpdateSubController() override;

  // False without a stop event; otherwise the platform gate, asked now.
  bool IsSupported() override;
  // Starts the watch on a detached thread; false when the thread cannot be created.
  bool Start() override;
  // Sets the stop event and the completion event; true when both were set.
  bool Stop() override;
  bool Wait() override { return true; }
  // 254 launches "/su", 255 launches "/ss" (answering the launcher's result); others: true.
  bool OnServiceControl(DWORD control, DWORD event_type) override;

  // The watch thread's body: 1 at once without a stop event; otherwise watches, then sets the
  // completion event and answers 0, also when a failure of memory or of a thread ended the
  // watch by throwing.
  DWORD ThreadProc();
  // Watches the apply state until the stop event is set (true) or a failure ends the watch
  // (false): arming the notification or waiting failed, or a launch was not accepted.
  bool WatchApplyState(HANDLE stop_event);

 private:
  // The stop event lives in a cell of its own; without the cell the sub-controller does nothing.
  std::unique_ptr<UniqueEvent> stop_event_;
  WorkerThreads workers_;
};

}  // namespace dpal
