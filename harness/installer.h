// The development installer: plays the outside installer on a simulated machine. At install it
// puts the package there on top of the laptop that Provision sets up (the device's driver
// package, the core library and the tool beside the service, the two scheduled tasks, the
// installed uninstaller file registered as the uninstaller program, and its own owner in
// "Owners"). At uninstall it starts the uninstaller's two runs the way the package expects them
// to be started, withdraws its owner, and takes away what is its own to remove: the service's
// files and the service's registration (which takes the service key, with the settings and the
// catalogue, with it). Sim build only.
#pragma once

#include <string>

#include "platform/sim/sim.h"
#include "harness/laptop.h"
#include "installer/package_items.h"
#include "uninstaller/flow.h"

namespace dpal::installer {

inline const std::wstring kUninstallerImage =
    laptop::kInstallDirectory + L"\\TarvexDPALUninstaller.exe";
inline const std::wstring kUserAgentTask = kUserAgentTaskPath;
inline const std::wstring kUninstallTask = kUninstallTaskPath;
inline const std::wstring kInstallerOwner = kInstallerOwnerName;
// The administrator who starts the device-removal run.
inline const std::wstring kAdministratorName = L"installer";

// Provision(options), then the outside installer's own items.
void InstallPackage(const laptop::Options& options = laptop::Options());

// The uninstaller as its own process with `arguments` after its quoted path, under `identity`
// (whose image becomes the installed uninstaller file); answers the exit code. The run calls
// `routines`: the package's own unless the caller (the scenario runner, which notes each step)
// passes routines that call them.
int RunUninstaller(sim::Identity identity, const std::wstring& arguments,
                   const uninstaller::Routines& routines = uninstaller::PackageRoutines());
// The device-removal run, as an elevated administrator starts it.
int RunDeviceRemoval(const uninstaller::Routines& routines = uninstaller::PackageRoutines());
// The final-cleanup run, as the uninstall task starts it: LocalSystem with "-checkremoval".
int RunFinalCleanup(const uninstaller::Routines& routines = uninstaller::PackageRoutines());

// Takes the installer's owner out of "Owners"; the value stays, holding whatever other owners
// registered (an empty list when there were none).
void WithdrawOwner();

// The outside installer's removal: the service's own files (the service, the per-user program,
// the core library, the tool) and the service's registration, then the install directory when
// nothing is left in it. The service is stopped first if it still runs.
void RemovePackage();

}  // namespace dpal::installer
