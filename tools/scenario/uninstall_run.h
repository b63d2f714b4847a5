// The uninstaller's runs as the scenario runner plays them: the package's own routines, each
// step noted (with its result) as it runs, on the run's own thread. Sim build only.
#pragma once

#include <vector>

#include "tools/scenario/timeline.h"
#include "tools/scenario/tracker.h"

namespace dpal::scenario {

// Runs the final-cleanup run (or the device-removal run) through the development installer and
// answers its exit code; the steps' notes, in the order they were made, go to `notes`.
int RunUninstallerNoted(bool final_cleanup, Tracker& tracker, std::vector<Event>* notes);

}  // namespace dpal::scenario
