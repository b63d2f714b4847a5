#include "loader/controller.h"

#include "common/failure_boundary.h"
#include "loader/shared/device_lookup.h"
#include "loader/sub_controller_factory.h"

namespace dpal {

namespace {

std::mutex& CreationLock() {
  static std::mutex lock;
  return lock;
}

std::atomic<CDPALMainController*> g_instance{nullptr};
CFactorySubController* g_factory = nullptr;  // guarded by CreationLock()

}  // namespace

CDPALMainController* CDPALMainController::GetInstance() {
  CDPALMainController* instance = g_instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  std::lock_guard<std::mutex> guard(CreationLock());
  instance = g_instance.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    CFactorySubControllerImpl standard;
    CFactorySubController& factory = g_factory != nullptr ? *g_factory : standard;
    instance =
        new CDPALMainController(factory, {SubControllerKind::Profile, SubControllerKind::Update});
    g_instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CDPALMainController::UseFactoryForTesting(CFactorySubController* factory) {
  std::lock_guard<std::mutex> guard(CreationLock());
  g_factory = factory;
}

void CDPALMainController::ForgetInstanceForTesting() {
  std::lock_guard<std::mutex> guard(CreationLock());
  // Forgotten instances stay reachable: threads of the process they served may still use them.
  static std::vector<CDPALMainController*>* forgotten = new std::vector<CDPALMainController*>();
  CDPALMainController* instance = g_instance.exchange(nullptr, std::memory_order_acq_rel);
  if (instance != nullptr) forgotten->push_back(instance);
}

CDPALMainController::CDPALMainController(CFactorySubController& factory,
                                         const std::vector<int>& kinds)
    : kinds_(kinds.begin(), kinds.end()) {
  Populate(factory);
}

void CDPALMainController::Populate(CFactorySubController& factory) {
  // A failure ends the population; whatever was registered stays registered.
  ContainFailure(false, [&] {
    for (int kind : kinds_) {
      if (completion_handles_.size() >= MAXIMUM_WAIT_OBJECTS) break;
      std::unique_ptr<CAbstractSubController> sub(factory.CreateSubController(kind));
      if (!sub) continue;
      HANDLE completion = sub->CompletionEvent();
      if (completion == nullptr || completion == INVALID_HANDLE_VALUE) continue;
      completion_handles_.push_back(completion);
      sub_controllers_.emplace(kind, std::move(sub));
    }
    return true;
  });
}

CDPALMainController::~CDPALMainController() {
  // Sub-controllers go first, in ascending kind order, each closing its own events.
  for (auto& entry : sub_controllers_) entry.second.reset();
  completion_handles_.clear();
  sub_controllers_.clear();
  kinds_.clear();
}

bool CDPALMainController::IsSupported() {
  return ContainFailure(false, [&] {
    CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
    bool supported = false;
    if (lookup.found()) {
      auto it = sub_controllers_.find(SubControllerKind::Profile);
      supported = it != sub_controllers_.end() && it->second && it->second->IsSupported();
    }
    lookup.ReleaseDeviceLookup();
    return supported;
  });
}

bool CDPALMainController::Start() {
  if (sub_controllers_.empty()) return false;
  started_.store(true);
  // A failure ends the visit: the sub-controllers after it are not started.
  const bool running = ContainFailure(false, [&] {
    bool all = true;
    for (auto& entry : sub_controllers_) all = entry.second->Start() && all;
    return all;
  });
  running_.store(running, std::memory_order_release);
  return running;
}

bool CDPALMainController::Stop() {
  return ContainFailure(false, [&] {
    int failures = 0;
    for (auto& entry : sub_controllers_) {
      if (!entry.second->Stop()) ++failures;
    }
    return failures == 0;
  });
}

bool CDPALMainController::OnServiceControl(DWORD control, DWORD event_type) {
  if (sub_controllers_.empty()) return false;
  return ContainFailure(false, [&] {
    int failures = 0;
    for (auto& entry : sub_controllers_) {
      if (!entry.second->OnServiceControl(control, event_type)) ++failures;
    }
    return failures == 0;
  });
}

bool CDPALMainController::Wait() {
  if (sub_controllers_.empty() || completion_handles_.empty() ||
      !running_.load(std::memory_order_acquire)) {
    return false;
  }
  std::vector<HANDLE> handles(completion_handles_.begin(), completion_handles_.end());
  return WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                INFINITE) == WAIT_OBJECT_0;
}

}  // namespace dpal
