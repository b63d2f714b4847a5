// What the outside installer puts on a machine besides the package's own files and keys, named
// once for the development installer (the simulated machine) and the MSI's custom actions (the
// real one): the two scheduled tasks, the installer's own owner in "Owners", and the file names
// of the install directory.
#pragma once

#include "platform/win32.h"

namespace dpal::installer {

// The task folder the package's tasks live in, below the maker's folder "\Tarvex".
inline constexpr const WCHAR kTaskFolder[] = L"\\Tarvex\\DPAL";
// Runs the per-user program at each logon.
inline constexpr const WCHAR kUserAgentTaskPath[] = L"\\Tarvex\\DPAL\\TDPALUserAgent";
// Runs the uninstaller's final cleanup as LocalSystem ("-checkremoval") when the installer
// starts it at removal.
inline constexpr const WCHAR kUninstallTaskPath[] = L"\\Tarvex\\DPAL\\UninstallTask";
// The owner the outside installer registers for the package itself.
inline constexpr const WCHAR kInstallerOwnerName[] = L"TarvexDPALPackage";

// The install directory below the Program Files folder, and the files the installer puts there.
inline constexpr const WCHAR kInstallSubdirectory[] = L"Tarvex\\DPAL";
inline constexpr const WCHAR kServiceFile[] = L"TarvexDPALLoader.exe";
inline constexpr const WCHAR kProfileProgramFile[] = L"TarvexDPALProfile.exe";
inline constexpr const WCHAR kUninstallerFile[] = L"TarvexDPALUninstaller.exe";
// The software device's driver package, as shipped beside the programs.
inline constexpr const WCHAR kDriverPackageFile[] = L"TarvexDPAL.inf";

}  // namespace dpal::installer
