// The development installer: puts the package on a simulated machine the way the outside
// installer does, on top of the laptop that Provision sets up: the device's driver package, the
// two scheduled tasks, the installed uninstaller file registered as the uninstaller program, and
// one owner in "Owners". Sim build only.
#pragma once

#include <string>

#include "tools/laptop.h"

namespace dpal::installer {

inline const std::wstring kUninstallerImage =
    laptop::kInstallDirectory + L"\\TarvexDPALUninstaller.exe";
inline const std::wstring kUserAgentTask = L"\\Tarvex\\DPAL\\TDPALUserAgent";
inline const std::wstring kUninstallTask = L"\\Tarvex\\DPAL\\UninstallTask";
// The owner the outside installer registers for the package itself.
inline const std::wstring kInstallerOwner = L"TarvexDPALPackage";

// Provision(options), then the outside installer's own items.
void InstallPackage(const laptop::Options& options = laptop::Options());

}  // namespace dpal::installer
