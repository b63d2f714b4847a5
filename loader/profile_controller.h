// The Profile sub-controller: decides when the per-user program installs, restores or verifies
// the panel's profiles. Once at service start (when a user is active at the console) and at
// every counted logon.
#pragma once

#include "loader/sub_controller.h"
#include "loader/worker_threads.h"

namespace dpal {

class CDPALProfileSubController final : public CAbstractSubController {
 public:
  // Takes the platform gate's answer once, for the life of the process.
  CDPALProfileSubController();
  ~CDPALProfileSubController() override;

  bool IsSupported() override { return supported_; }
  // Starts the start-up run on a detached thread; false when the thread cannot be created.
  bool Start() override;
  // Sets the completion event; false without one or when setting it fails.
  bool Stop() override;
  bool Wait() override { return true; }
  // Logon: starts an install or a verify run, unless the logon follows a logoff. Logoff: marks
  // the next logon as one to leave alone. Anything else: nothing.
  bool OnServiceControl(DWORD control, DWORD event_type) override;

  // The result codes of a work run.
  static constexpr DWORD kSuccess = 0;
  static constexpr DWORD kFailure = 1;
  static constexpr DWORD kNothingDone = 2;

  // The work runs, each on a thread of its own. RunStartup ends by setting the completion event.
  DWORD RunStartup();
  DWORD RunLogonProvision();
  bool RunLogonVerify();
  // Installs when pending (and marks the installation done once accepted); otherwise checks
  // the catalogue and installs, restores or does nothing. `result` becomes kSuccess when a
  // launch was accepted. True when it did.
  bool ProvisionProfiles(bool install_pending, DWORD& result);

 private:
  bool supported_ = false;
  bool logoff_flag_ = false;  // touched only on the dispatcher thread
  WorkerThreads workers_;
};

}  // namespace dpal
