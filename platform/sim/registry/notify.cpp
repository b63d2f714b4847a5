// Change notification of registry keys (RegNotifyChangeKeyValue).
//
// A notification fires once. A change while no notification is armed is not remembered (the
// stricter reading, and Wine's), so a caller that re-arms must re-read what it watches. The filter
// and subtree flag of a handle's first registration stay with the handle; later calls on it only
// re-arm. Arming resets the event. Closing the handle, deleting the key, or the end of the arming
// thread (without REG_NOTIFY_THREAD_AGNOSTIC) signals the event. The synchronous form blocks
// until a change.
//
// REG_NOTIFY_CHANGE_LAST_SET is named after the key's last-write time, which every
// RegSetValueExW sets: a value written again with the data it already has is a change, as
// Windows reports it. Wine reports nothing then.
#include <algorithm>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/waits.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/registry/key_tree.h"

namespace sim {
using namespace keys;  // the key tree's names, shared by the registry's files
}  // namespace sim

namespace sim::keys {

void FireLocked(Registration& registration) {
  for (Armed& armed : registration.armed) SignalLocked(*armed.event);
  registration.armed.clear();
}

// Reports a change of a key to the notifications on it and, for those that watch a subtree, on
// its ancestors.
void NotifyLocked(KeyNode* key, DWORD change) {
  bool self = true;
  for (KeyNode* at = key; at != nullptr; at = at->parent, self = false) {
    for (Registration& registration : at->registrations) {
      if ((registration.filter & change) && (self || registration.subtree)) {
        FireLocked(registration);
      }
    }
  }
}

}  // namespace sim::keys

namespace sim::keys {
namespace {

void FireThreadRegistrationsLocked(uint64_t thread) {
  for (const auto& weak : Registry().watched) {
    auto key = weak.lock();
    if (!key) continue;
    for (Registration& registration : key->registrations) {
      auto& armed = registration.armed;
      for (auto it = armed.begin(); it != armed.end();) {
        if (it->thread == thread && !it->thread_agnostic) {
          SignalLocked(*it->event);
          it = armed.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
}

// Keeps a key in the list that the end of a thread looks through (once, and without keys that
// are gone).
void WatchLocked(const std::shared_ptr<KeyNode>& key) {
  auto& watched = Registry().watched;
  watched.erase(std::remove_if(watched.begin(), watched.end(),
                               [](const std::weak_ptr<KeyNode>& w) { return w.expired(); }),
                watched.end());
  for (const auto& weak : watched) {
    if (weak.lock() == key) return;
  }
  watched.push_back(key);
}

// Signals what a thread armed when the thread ends, as Windows does.
struct ThreadEndWatch {
  uint64_t thread = 0;
  ~ThreadEndWatch() {
    // The sim's own work at the end of a thread, whose process may have ended before it.
    RawLock lock(MachineLock());
    FireThreadRegistrationsLocked(thread);
  }
};

void WatchThreadEnd() {
  thread_local ThreadEndWatch watch;
  watch.thread = ThreadNumber();
}

}  // namespace
}  // namespace sim::keys

namespace sim::keys {

void KeyObject::OnHandleClosed(uintptr_t handle) {
  auto& registrations = node->registrations;
  for (auto it = registrations.begin(); it != registrations.end();) {
    if (it->handle == handle) {
      FireLocked(*it);
      it = registrations.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace sim::keys

namespace sim {

void DescribeRegistryWaitLocked(const std::vector<const Object*>& objects, BlockedThread& thread) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr || &objects[i]->kind != &Event::kKind) continue;
    for (const auto& weak : Registry().watched) {
      auto key = weak.lock();
      if (!key) continue;
      for (const Registration& registration : key->registrations) {
        for (const Armed& armed : registration.armed) {
          if (armed.event.get() == objects[i]) {
            thread.objects[i].notified_keys.push_back(KeyPathLocked(*key));
          }
        }
      }
    }
  }
}

}  // namespace sim

using namespace sim;

extern "C" LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree,
                                                  DWORD dwNotifyFilter, HANDLE hEvent,
                                                  BOOL fAsynchronous) {
  if (DWORD e = SIM_ENTER(hKey, bWatchSubtree, dwNotifyFilter, hEvent, fAsynchronous)) {
    return static_cast<LSTATUS>(e);
  }
  Lock lock(MachineLock());
  Target target;
  if (DWORD e = UseLocked(hKey, KEY_NOTIFY, &target)) return static_cast<LSTATUS>(e);
  if (dwNotifyFilter & ~(kNotifyFilters | REG_NOTIFY_THREAD_AGNOSTIC)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<Event> event;
  if (fAsynchronous) {
    event = LookupAsLocked<Event>(H(hEvent));
    if (!event) return ERROR_INVALID_HANDLE;
    if (!(HandleAccessLocked(H(hEvent)) & EVENT_MODIFY_STATE)) return ERROR_ACCESS_DENIED;
    event->signaled = false;
  } else {
    event = std::make_shared<Event>(true, false);
  }
  KeyNode& key = *target.key;
  auto registration = std::find_if(key.registrations.begin(), key.registrations.end(),
                                   [&](const Registration& r) { return r.handle == H(hKey); });
  if (registration == key.registrations.end()) {
    key.registrations.push_back(
        Registration{H(hKey), dwNotifyFilter & kNotifyFilters, bWatchSubtree != FALSE, {}});
    registration = key.registrations.end() - 1;
  }
  const bool agnostic = (dwNotifyFilter & REG_NOTIFY_THREAD_AGNOSTIC) || !fAsynchronous;
  registration->armed.push_back(Armed{event, ThreadNumber(), agnostic});
  WatchLocked(target.key);
  if (fAsynchronous) {
    if (!agnostic) WatchThreadEnd();
    return ERROR_SUCCESS;
  }
  BlockedWait blocked(__func__, {event}, false);
  while (!event->signaled) {
    MachineSignal().wait(lock);
    StopIfProcessEndedLocked(lock);
  }
  return ERROR_SUCCESS;
}
