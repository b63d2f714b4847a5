// A simulated laptop with the package installed: the software device, a supported firmware,
// the settings, the catalogue with its profile files, the service registered, and the signed
// service image with the signed per-user program beside it. Used by the scenario runner and by
// the tests of the service as a whole. Sim build only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/registry_layout.h"
#include "platform/sim/sim.h"

namespace dpal::laptop {

inline const std::wstring kInstallDirectory = L"C:\\Program Files\\Tarvex\\DPAL";
inline const std::wstring kServiceImage = kInstallDirectory + L"\\TarvexDPALLoader.exe";
inline const std::wstring kProfileProgram = kInstallDirectory + L"\\TarvexDPALProfile.exe";
// The profile-setting tool, which outside callers start.
inline const std::wstring kToolProgram = kInstallDirectory + L"\\SetDPALProfile.exe";
// The core library, as its client loads it (its twelve exports by name).
inline const std::wstring kCoreLibrary = kInstallDirectory + L"\\DPALCore.dll";
inline const std::wstring kServiceName = layout::kServiceName;
inline const std::wstring kDeviceInstance = L"SWD\\TARVEX\\DPAL_0001";
inline const std::wstring kDriverInf = L"oem42.inf";

// The publisher that signs the package, and its root.
const sim::Certificate& Publisher();

struct Options {
  std::wstring firmware = L"ABCDE12X";
  std::vector<std::wstring> prefixes = {L"ABC"};
  bool device_present = true;
  // The device's removal completes only at the next restart (DiUninstallDevice asks for one).
  bool device_removal_waits_for_restart = false;
  bool install_pending = true;  // the install-state key with "State" 0
  bool catalogue = true;        // the catalogue, its versions and intact profile files
  DWORD start_type = SERVICE_AUTO_START;
  // The displays: the built-in panel, and an external monitor when one is connected.
  sim::LaptopDisplayOptions displays;
};

// The laptop itself, which is there before the package: its firmware version and its displays.
void SetUpMachine(const Options& options = Options());

// SetUpMachine, then the package: everything in place on the freshly reset machine; the calling
// process becomes the service's LocalSystem process (threads the service starts act as it).
void Provision(const Options& options = Options());

// The service's program on the simulated machine: each start of the service is a process of its
// own, which begins with nothing of the last start (its controller, factory and reports).
int RunServiceAsNewProcess();

// Makes DPALCore.dll exist beside the service (Provision does it): the core library's twelve
// exports, by name.
void RegisterCoreLibrary();

// The catalogue's profile files: entry name and content.
struct Profile {
  std::wstring entry_name;
  DWORD type;
  std::vector<uint8_t> bytes;
};
const std::vector<Profile>& Profiles();
// Writes a profile's catalogue entry: its "Type" and the SHA-256 of its bytes.
void AddToCatalogue(const Profile& profile);
// Full path of a profile file in the colour directory.
std::wstring ProfilePath(const Profile& profile);

// What the stand-in per-user program records of each run.
struct Run {
  std::wstring switch_text;
  std::wstring current_directory;
  DWORD session_id = 0;
  std::wstring account;
};

// Registers the stand-in per-user program: it records its switch and exits with what
// `exit_code` answers for it (0 when not given).
void InstallStandIn(std::function<DWORD(const Run&)> exit_code = nullptr);
// The switch of a launch of the per-user program ("/i", ...), or empty for another program.
std::wstring SwitchOf(const sim::Launch& launch);
// The switches of every launch so far, in order.
std::vector<std::wstring> Switches();

// SHA-256 of bytes through the machine's CryptoAPI (as the installer would compute it).
std::vector<uint8_t> Sha256(const std::vector<uint8_t>& bytes);

}  // namespace dpal::laptop
