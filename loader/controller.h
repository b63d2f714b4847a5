// The service's main controller, which fans each operation out to its sub-controllers (and is
// one itself); loader/sub_controller.h has their interface and loader/sub_controller_factory.h
// the factory that makes them by kind.
#pragma once

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "loader/sub_controller.h"
#include "platform/win32.h"

namespace dpal {

class CDPALMainController final : public CAbstractSubController {
 public:
  // The process-wide instance, built with the standard factory on the first call and published
  // only once complete. Throws std::system_error when the creation lock cannot be taken.
  static CDPALMainController* GetInstance();

  // The factory the instance is built with: the standard one unless another is given before the
  // first GetInstance. The service never gives one. The factory must outlive that first call.
  static void UseFactoryForTesting(CFactorySubController* factory);

  // Lets the next GetInstance build a new instance, leaving the current one (never destroyed) to
  // whatever thread still uses it, as a new process begins without an instance. The service
  // never calls this: its instance lives as long as its process.
  static void ForgetInstanceForTesting();

  // Builds a controller from the given factory and kinds (the instance uses Profile, Update).
  CDPALMainController(CFactorySubController& factory, const std::vector<int>& kinds);
  ~CDPALMainController() override;

  // The software device is present and the Profile sub-controller's gate passes.
  bool IsSupported() override;
  // Starts every sub-controller; true when all started. False at once with none registered.
  bool Start() override;
  // Stops every sub-controller; true when none failed (also with none registered).
  bool Stop() override;
  // Blocks until every registered sub-controller has signalled its completion event. False at
  // once when nothing is registered or Start has not succeeded.
  bool Wait() override;
  // Passes both values to every sub-controller; true when none failed, false with none.
  bool OnServiceControl(DWORD control, DWORD event_type) override;

  // True once Start has run (whatever its result), so that a stop request can end the wait.
  bool WasStarted() const { return started_.load(); }

  // How many sub-controllers were registered. The service never asks.
  size_t SubControllerCountForTesting() const { return sub_controllers_.size(); }

 private:
  void Populate(CFactorySubController& factory);

  std::atomic<bool> running_{false};
  std::atomic<bool> started_{false};
  std::list<int> kinds_;
  std::map<int, std::unique_ptr<CAbstractSubController>> sub_controllers_;
  std::vector<HANDLE> completion_handles_;  // not owned: each sub-controller closes its own
};

}  // namespace dpal
