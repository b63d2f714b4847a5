// The package installed into a Wine prefix the way its installer would do it, for driving the
// real service from outside: the service registered with the service control manager and its
// image in Program Files\Tarvex\DPAL, the settings and the catalogue in the registry, the
// profiles in the colour directory, and a machine that qualifies or not (the software device,
// the firmware version). Used by the end-to-end tests and by the benchmark driver.
//
// Every operation answers an empty string on success and otherwise says what failed, so that
// a test can assert on it and a tool can print it.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry_layout.h"
#include "platform/win32.h"
#include "harness/standin_record.h"

namespace dpal::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr const WCHAR* kServiceName = layout::kServiceName;
inline constexpr const WCHAR kHardwareId[] = L"SWC\\VEN_TARVEX&PID_DYNAPANEL_HSA_5C3E71A2B94D";
// Where the software device's instance key is written (below HKLM\...\Enum).
inline constexpr const WCHAR kDeviceInstance[] = L"SWD\\TARVEXDPAL\\DYNAPANEL";

// A firmware version whose prefix the default settings list, and the list itself.
inline constexpr const WCHAR kSupportedFirmware[] = L"T9P1.23.0";
inline constexpr const WCHAR kSupportedPrefixes[] = L"K2A\0T9P\0";  // REG_MULTI_SZ entries

// Builds a Windows path from a build-tree path ("Z:/a/b/c.exe" becomes "Z:\a\b\c.exe").
std::wstring WindowsPath(const char* build_path);

// "C:\Program Files\Tarvex\DPAL", where the service image and the per-user program live.
std::wstring InstallDirectory();
std::wstring InstalledImage();           // ...\TarvexDPALLoader.exe
std::wstring InstalledProfileProgram();  // ...\TarvexDPALProfile.exe
// The system colour directory (system directory + "spool\drivers\color").
std::wstring ColourDirectory();

// Brings the prefix back to a machine without the package: the service stopped (ended by force
// when it does not stop within a few seconds) and deleted, its registry tree, the software
// device and the firmware version removed, and the installed files and profiles deleted.
std::string ResetMachine();

// Copies `image` as the service image (and `profile_program`, when not empty, beside it) into
// the install directory.
std::string InstallFiles(const std::wstring& image, const std::wstring& profile_program = L"");

// Registers the installed image as an own-process service with the given start type.
std::string RegisterService(DWORD start_type, const std::wstring& image = InstalledImage(),
                            const WCHAR* name = kServiceName);

// Stops a service (by force when it does not stop within a few seconds) and deletes it; waits
// until the SCM no longer knows it. Nothing to do when it is not registered.
std::string RemoveService(const WCHAR* name = kServiceName);

// The software device, present, made by writing its instance key with its hardware IDs.
std::string AddSoftwareDevice(const std::wstring& hardware_id = kHardwareId);

// "BIOSVersion" in HKLM\HARDWARE\DESCRIPTION\System\BIOS. That key is rebuilt whenever the
// wineserver starts, so this is written after the server is up (by the program that asks).
std::string SetFirmwareVersion(const std::wstring& text);

// The settings key: "SupportedBIOSPrefix" (REG_MULTI_SZ, entries separated by NULs, or REG_SZ
// when `prefixes_type` says so), "SDRVersion" 3 and "HDRVersion" 1.
std::string WriteSettings(const std::wstring& prefixes = std::wstring(kSupportedPrefixes, 8),
                          DWORD prefixes_type = REG_MULTI_SZ);

// The catalogue with one SDR and one HDR entry of the configured versions, their profile files
// (real ICC profiles) in the colour directory and their SHA-256 digests.
std::string WriteCatalogue();

// A machine that qualifies: device, supported firmware, settings and catalogue.
std::string PrepareQualifyingMachine();

// Sets the machine apply state "State" (REG_DWORD), creating its key as the core library does.
std::string WriteMachineApplyState(DWORD value);

// The install-state key with its "State" (REG_DWORD); 0 asks for an installation of the profiles.
std::string SetInstallState(DWORD value);
// Its "State", or 0xFFFFFFFF when the key or the value is missing.
DWORD InstallState();

// Trusts a root certificate (DER file) for code signing on this machine: adds it to the local
// machine's Root store.
std::string TrustRoot(const std::wstring& der_file);

// One run of the stand-in per-user program, as it recorded it beside itself (field name to
// value: command_line, directory, session, token_session, account, sid).
using StandInRun = standin::Run;

// The runs recorded so far by the stand-in installed beside the service (none when it never ran).
std::vector<StandInRun> StandInRuns();
// The record file, and when it was last written (0 when it does not exist).
std::wstring StandInRecordFile();
ULONGLONG StandInRecordWriteTime();

// Waits until the stand-in has recorded at least `count` runs or the deadline passes; the runs.
std::vector<StandInRun> WaitForStandInRuns(size_t count, milliseconds deadline);

// The service seen through the service control manager.
class Service {
 public:
  // Opens the manager and the service (all access). Check error() before use.
  explicit Service(const WCHAR* name = kServiceName);
  const std::string& error() const { return error_; }
  SC_HANDLE handle() const { return service_.get(); }

  std::string Start();
  // The current status; dwCurrentState 0 when the query failed.
  SERVICE_STATUS_PROCESS Status() const;
  // The configured start type; 0xFFFFFFFF when the query failed.
  DWORD StartType() const;
  std::string SetStartType(DWORD start_type);
  // Sends a control code; the status the SCM answered with goes to `status` when given.
  std::string Control(DWORD code, SERVICE_STATUS* status = nullptr);

  // Polls the status until it is `state` or the deadline passes, as fast as the SCM answers, so
  // that short-lived states are seen where possible. Appends every state seen that differs from
  // the one before it to `seen` (when given) and leaves the last status in `last`.
  bool WaitForState(DWORD state, milliseconds deadline, std::vector<DWORD>* seen = nullptr,
                    SERVICE_STATUS_PROCESS* last = nullptr) const;

 private:
  UniqueScHandle manager_;
  UniqueScHandle service_;
  std::string error_;
};

// "START_PENDING -> RUNNING -> STOPPED" for a list of service states.
std::string DescribeStates(const std::vector<DWORD>& states);

// A program run to its end with its standard output and error captured.
struct Ended {
  DWORD exit_code = 0xdeadbeef;
  std::string output;  // what it wrote to its standard output and error, in order
};

// Runs `image` with `arguments` after its quoted path, its standard output and error going to
// one pipe that is read while it runs (so that a long report cannot fill the pipe); waits at most
// `deadline` for it to end, and ends it otherwise (exit code 0xdead).
Ended RunCapturingOutput(const std::wstring& image, const std::wstring& arguments,
                         milliseconds deadline = milliseconds(60000));

// Narrow text of a wide string (ASCII and Latin-1 only: enough for messages).
std::string Narrow(const std::wstring& text);

}  // namespace dpal::e2e
