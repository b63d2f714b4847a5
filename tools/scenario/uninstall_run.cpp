#include "tools/scenario/uninstall_run.h"

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "harness/installer.h"
#include "uninstaller/flow.h"
#include "uninstaller/routines.h"

namespace dpal::scenario {

namespace {

// The notes of one run, made on the run's thread.
class NotedRun {
 public:
  explicit NotedRun(Tracker& tracker) : tracker_(tracker) {}

  void Note(const std::string& text) {
    Event event{tracker_.LogSize(), Clock::now(), "uninstall", text};
    std::lock_guard<std::mutex> guard(lock_);
    notes_.push_back(std::move(event));
  }

  std::vector<Event> Take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::move(notes_);
  }

 private:
  Tracker& tracker_;
  std::mutex lock_;
  std::vector<Event> notes_;
};

// The run that goes on. The flow calls its routines through plain function pointers, which carry
// no context: the wrappers below find the run's notes here, for the length of one run.
std::atomic<NotedRun*> g_current_run{nullptr};

void NoteStep(const std::string& text) {
  if (NotedRun* run = g_current_run.load()) run->Note(text);
}

class CurrentRun {
 public:
  explicit CurrentRun(NotedRun* run) { g_current_run.store(run); }
  ~CurrentRun() { g_current_run.store(nullptr); }
  CurrentRun(const CurrentRun&) = delete;
  CurrentRun& operator=(const CurrentRun&) = delete;
};

// Calls one of the package's routines; an exception it raises is noted and goes on to the flow,
// which decides what it ends.
template <typename Result>
Result Guarded(const char* step, Result (*routine)()) {
  try {
    return routine();
  } catch (...) {
    NoteStep(std::string(step) + ": ended by an exception");
    throw;
  }
}

// The package's routines, each noted with its result as it runs.
void StopLoaderServiceNoted() {
  NoteStep("stop the loader service");
  Guarded("stop the loader service", uninstaller::PackageRoutines().stop_loader_service);
}

void RemoveColorProfilesNoted() {
  Guarded("profiles disassociated and uninstalled",
          uninstaller::PackageRoutines().remove_color_profiles);
  NoteStep("profiles disassociated and uninstalled");
}

// A routine that answers whether it did all of its part: "STEP: true" or "STEP: false".
template <bool (*uninstaller::Routines::*Routine)(), const char* kStep>
bool OutcomeNoted() {
  const bool result = Guarded(kStep, uninstaller::PackageRoutines().*Routine);
  NoteStep(std::string(kStep) + (result ? ": true" : ": false"));
  return result;
}

constexpr char kHivesCleaned[] = "users' hives cleaned";
constexpr char kTasksDeleted[] = "scheduled tasks deleted";
constexpr char kFilesDeleted[] = "installed files deleted";
constexpr char kDeviceRemoved[] = "device and driver package removed";

const uninstaller::Routines kNotedRoutines = {
    StopLoaderServiceNoted,
    RemoveColorProfilesNoted,
    OutcomeNoted<&uninstaller::Routines::clean_user_hives, kHivesCleaned>,
    OutcomeNoted<&uninstaller::Routines::delete_scheduled_tasks, kTasksDeleted>,
    OutcomeNoted<&uninstaller::Routines::delete_installed_files, kFilesDeleted>,
    OutcomeNoted<&uninstaller::Routines::remove_device_and_driver_package, kDeviceRemoved>,
};

}  // namespace

int RunUninstallerNoted(bool final_cleanup, Tracker& tracker, std::vector<Event>* notes) {
  NotedRun run(tracker);
  int code = 0;
  {
    CurrentRun current(&run);
    code = final_cleanup ? installer::RunFinalCleanup(kNotedRoutines)
                         : installer::RunDeviceRemoval(kNotedRoutines);
  }
  for (Event& event : run.Take()) notes->push_back(std::move(event));
  return code;
}

}  // namespace dpal::scenario
