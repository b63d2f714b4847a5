#include "tools/scenario/uninstall_run.h"

#include <functional>
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

// Calls one of the package's routines; an exception it raises is noted and goes on to the flow,
// which decides what it ends.
template <typename Result>
Result Guarded(NotedRun& run, const char* step, const std::function<Result()>& routine) {
  try {
    return routine();
  } catch (...) {
    run.Note(std::string(step) + ": ended by an exception");
    throw;
  }
}

// A routine that answers whether it did all of its part, noted as "STEP: true" or "STEP: false".
std::function<bool()> OutcomeNoted(NotedRun& run, const char* step,
                                   const std::function<bool()>& routine) {
  return [&run, step, &routine] {
    const bool result = Guarded(run, step, routine);
    run.Note(std::string(step) + (result ? ": true" : ": false"));
    return result;
  };
}

// The package's routines, each noted with its result as it runs.
uninstaller::Routines NotedRoutines(NotedRun& run) {
  const uninstaller::Routines& package = uninstaller::PackageRoutines();
  uninstaller::Routines noted;
  noted.stop_loader_service = [&run, &package] {
    run.Note("stop the loader service");
    Guarded(run, "stop the loader service", package.stop_loader_service);
  };
  noted.remove_color_profiles = [&run, &package] {
    Guarded(run, "profiles disassociated and uninstalled", package.remove_color_profiles);
    run.Note("profiles disassociated and uninstalled");
  };
  noted.clean_user_hives = OutcomeNoted(run, "users' hives cleaned", package.clean_user_hives);
  noted.delete_scheduled_tasks =
      OutcomeNoted(run, "scheduled tasks deleted", package.delete_scheduled_tasks);
  noted.delete_installed_files =
      OutcomeNoted(run, "installed files deleted", package.delete_installed_files);
  noted.remove_device_and_driver_package = OutcomeNoted(run, "device and driver package removed",
                                                        package.remove_device_and_driver_package);
  return noted;
}

}  // namespace

int RunUninstallerNoted(bool final_cleanup, Tracker& tracker, std::vector<Event>* notes) {
  NotedRun run(tracker);
  const uninstaller::Routines routines = NotedRoutines(run);
  const int code =
      final_cleanup ? installer::RunFinalCleanup(routines) : installer::RunDeviceRemoval(routines);
  for (Event& event : run.Take()) notes->push_back(std::move(event));
  return code;
}

}  // namespace dpal::scenario
