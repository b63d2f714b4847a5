// The uninstaller as a program: which of its two runs a start is, the gates of the final
// cleanup, the order of its steps with the places where an exception ends only one step, the
// image's move out of the install directory, and the exit codes.
//
// The device-removal run (any account but LocalSystem) removes the software device and its
// driver package. The final-cleanup run (LocalSystem with "-checkremoval") removes everything
// else once the device is gone and no owner is registered; it keeps no state, so it can be run
// again until both hold. Nothing is written to the registry and nothing is shown.
#pragma once

#include <functional>

#include "platform/win32.h"

namespace dpal::uninstaller {

// What a start of the program does, chosen once before anything else.
enum class RunMode : int {
  None = 0,           // a LocalSystem start without the switch: nothing
  FinalCleanup = 1,   // LocalSystem with the switch
  DeviceRemoval = 2,  // any other account
};

// The switch of a final-cleanup run, compared with each whole argument in any letter case.
inline constexpr const WCHAR kCheckRemovalSwitch[] = L"-checkremoval";

// The base name of the image once moved into the temporary directory, and how many numbered
// names ("ufn.000" to "ufn.999") are tried.
inline constexpr const WCHAR kRelocatedBaseName[] = L"ufn";
inline constexpr int kRelocationNames = 1000;

// Chooses the run. A process that is not LocalSystem, or whose account cannot be told, is a
// device-removal run and its command line is not read. LocalSystem gets FinalCleanup when an
// argument after the program name is the switch, None otherwise. False, with `mode` None, when
// a LocalSystem process cannot read or split its command line.
bool SelectRunMode(RunMode* mode);

// The owner gate: true when "Owners" under the service key holds no string. A missing value, a
// value of another type and a failed read count as no owner. Throws only what building the list
// throws (std::bad_alloc, std::length_error).
bool HasNoOwners();

// Moves the running image to the first name from "ufn.000" to "ufn.999" that is free in the
// account's temporary directory (a rename: same volume only, never replacing), and registers the
// moved file for deletion at the next restart. Nothing moves when the image path, the temporary
// directory or the base name cannot be had, or every name is taken; a failed move is not tried
// again under the next name.
void RelocateSelf();

// The routines of routines.h as the runs call them. The runs take them as a table, so that the
// order of the steps and the places where a failure ends a step or the run belong to the flow
// alone.
struct Routines {
  std::function<void()> stop_loader_service;
  std::function<void()> remove_color_profiles;
  std::function<bool()> clean_user_hives;
  std::function<bool()> delete_scheduled_tasks;
  std::function<bool()> delete_installed_files;
  std::function<bool()> remove_device_and_driver_package;
};

// The package's own routines (routines.h).
const Routines& PackageRoutines();

// The cleanup steps in their fixed order, each whatever the earlier ones achieved: stop the
// service; the profiles and then every user's hive, as one step; the scheduled tasks; the
// installed files. A failure the package contains (common/failure_boundary.h: memory, a list or
// string past its limit, ...) inside the profile-and-user step or the task step ends only that
// step; one raised by the other steps leaves this function.
void RunFinalCleanup(const Routines& routines);

// The whole program with the given routines: chooses the run and performs it, and answers the
// exit code. 0 for every run that reaches its end, whatever each step achieved; 1 when a
// contained failure ended a run (the device record is released first).
int RunUninstallerProcess(const Routines& routines);

// The program's entry, with the package's routines: what wWinMain forwards to.
int RunUninstallerProcess();

}  // namespace dpal::uninstaller
