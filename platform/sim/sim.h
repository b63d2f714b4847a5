// The side of the simulated Windows that tests and the scenario runner use: set up the machine,
// inject faults, read the trace of platform calls and check that nothing leaked.
// Product code never includes this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/colour/sim_colour.h"
#include "platform/sim/displays/sim_displays.h"
#include "platform/sim/modules/sim_modules.h"
#include "platform/sim/sim_win32.h"

namespace sim {

// ----- The machine --------------------------------------------------------------------------

// Puts the whole machine back to a freshly booted state: an empty registry with HKLM and
// HKEY_USERS (".DEFAULT" and "S-1-5-18" loaded), no files, no open handles, no faults, an empty
// trace and the default identity (an administrator, see DefaultAdmin()).
void Reset();

// ----- Identity -----------------------------------------------------------------------------

inline constexpr const wchar_t* kLocalSystemSid = L"S-1-5-18";

struct Identity {
  std::wstring user_sid;   // e.g. L"S-1-5-21-1000-1000-1000-1001"
  std::wstring user_name;  // e.g. L"alice"
  bool administrator = false;
  DWORD session_id = 0;
  std::wstring image_path;    // full path of the process image
  std::wstring command_line;
  std::wstring current_directory;
};

Identity DefaultAdmin();
Identity LocalSystem(const std::wstring& image_path = L"C:\\Windows\\System32\\svchost.exe");
Identity StandardUser(const std::wstring& sid, const std::wstring& name);

// The identity of the process that threads without one of their own run as. Threads that the
// sim starts itself (a service's main, a launched program) carry their own identity, and
// ProcessIdentity() called on such a thread answers that identity.
void SetProcessIdentity(const Identity& identity);
Identity ProcessIdentity();

// ----- Named objects --------------------------------------------------------------------------

// Creates (or opens) a named event in the machine's namespace, owned by the machine rather than
// by any handle, so that it exists until RemoveMachineEvent. Used for "Global\TermSrvReadyEvent".
void CreateMachineEvent(const std::wstring& name, bool manual_reset, bool signaled);
void SetMachineEvent(const std::wstring& name);
void RemoveMachineEvent(const std::wstring& name);

// ----- Files --------------------------------------------------------------------------------

// The machine's file store: full paths with drive letters and backslashes, case-insensitive.
// After Reset it holds the drive C: with the standard folders (Windows, System32, its colour
// directory, Windows\Temp, INF, Program Files, the default identity's temporary directory).
//
// Creates a file, or replaces the bytes of one (handles open on it then read the new bytes).
// Missing parent directories are created.
void PutFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
// False for a missing file and for a directory.
bool GetFile(const std::wstring& path, std::vector<uint8_t>* bytes);
bool FileExists(const std::wstring& path);
// Removes a file as an administrator's process would, ignoring sharing; a file that is open
// stays visible as deleted (opens fail with ERROR_ACCESS_DENIED) until its last open ends.
void RemoveFile(const std::wstring& path);
// Creates a directory with its missing parents (a new drive letter makes a new volume).
void MakeDirectory(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// The folders the shell reports. The system directory is the Windows directory's "System32";
// setting a folder creates it. Defaults: C:\Windows and C:\Program Files.
void SetWindowsDirectory(const std::wstring& path);
void SetProgramFilesDirectory(const std::wstring& path);
std::wstring WindowsDirectory();
std::wstring SystemDirectory();
std::wstring ProgramFilesDirectory();

struct FileOpen;

// A file held open by another process: it takes part in sharing like any open but is no handle
// of this process, so the leak check does not count it. Released on destruction or Release().
class FileHold {
 public:
  FileHold() = default;
  FileHold(FileHold&& other) noexcept = default;
  FileHold& operator=(FileHold&& other) noexcept;
  ~FileHold();
  // False when the open failed (missing file, sharing conflict); error() says why.
  bool held() const { return open_ != nullptr; }
  DWORD error() const { return error_; }
  void Release();

 private:
  friend FileHold HoldFileOpen(const std::wstring&, DWORD, DWORD);
  friend FileHold HoldImageOpen(const std::wstring&);
  std::shared_ptr<FileOpen> open_;
  DWORD error_ = 0;
};

// Opens an existing file as another process would with CreateFileW(OPEN_EXISTING).
FileHold HoldFileOpen(const std::wstring& path, DWORD desired_access, DWORD share_mode);
// Opens a file as the image of a running program: read and execute access, sharing read and
// delete, mapped. Such a file can be renamed but not written or deleted (ERROR_ACCESS_DENIED).
FileHold HoldImageOpen(const std::wstring& path);

// ----- Registry -----------------------------------------------------------------------------

// Loads an empty hive for a user under HKEY_USERS\<sid>, as a logon does.
void LoadUserHive(const std::wstring& sid);
// Unloads a hive that LoadUserHive loaded, as a logoff does; false while a key handle into it is
// open or when it is not loaded.
bool UnloadUserHive(const std::wstring& sid);
// Whether a hive is mounted at HKEY_USERS\<name> or HKEY_LOCAL_MACHINE\<name> (`root` is one of
// the two): the system's own, users' hives and those RegLoadKeyW loaded.
bool IsHiveLoaded(HKEY root, const std::wstring& name);

// ----- Service control manager --------------------------------------------------------------

// The program of a service's process: it plays the image's entry point, so it calls
// StartServiceCtrlDispatcherW as the real program does, and returns the process's exit code. It
// runs on a thread the SCM starts, as LocalSystem with the service's image path; ServiceMain runs
// on another such thread. Threads the program starts itself act as the process identity
// (SetProcessIdentity), as every thread without one of its own does.
using ServiceProgram = std::function<int()>;

struct ServiceSpec {
  std::wstring name;
  std::wstring display_name;  // empty: the name
  std::wstring image_path;
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  // What QueryServiceConfigW reports; the process runs as LocalSystem whatever it says.
  std::wstring account = L"LocalSystem";
  // Empty: the service has no image to run, and starting it fails with ERROR_FILE_NOT_FOUND.
  ServiceProgram program;
};

// Registers a service with the SCM, as an installer does; a service of that name is
// reconfigured (a running one keeps running). A new service is stopped and never started.
void InstallService(const ServiceSpec& spec);
// Gives a service (one made with CreateServiceW, say) the program its process runs.
bool SetServiceProgram(const std::wstring& name, ServiceProgram program);
bool ServiceExists(const std::wstring& name);
// The start type, or SERVICE_NO_CHANGE when there is no such service.
DWORD ServiceStartType(const std::wstring& name);
bool SetServiceStartType(const std::wstring& name, DWORD start_type);

// Starts a service as the SCM does by itself (at boot, say): no handle, no access check. Waits,
// like StartServiceW, until the process has called StartServiceCtrlDispatcherW and ServiceMain is
// starting, and answers what StartServiceW would fail with, or NO_ERROR. argv[0] of ServiceMain
// is the service name, followed by `args`.
DWORD StartServiceAsScm(const std::wstring& name, const std::vector<std::wstring>& args = {});

// Sends a control as ControlService does, without a handle or access check: NO_ERROR or the
// error ControlService would give (the handler's own error included). `status` (when given)
// receives the status as ControlService fills it.
DWORD SendServiceControl(const std::wstring& name, DWORD control, SERVICE_STATUS* status = nullptr);
// Controls that only the system sends. Like the SCM, these reach only a service that accepts
// them in its last report (ERROR_INVALID_SERVICE_CONTROL otherwise) and is running; they run on
// the dispatcher thread like any control. A session change carries its WTS_* event type and a
// WTSSESSION_NOTIFICATION with the session ID; a power event its PBT_* type and no data.
DWORD SendSessionChange(const std::wstring& name, DWORD event_type, DWORD session_id);
DWORD SendPowerEvent(const std::wstring& name, DWORD event_type);
DWORD SendSystemControl(const std::wstring& name, DWORD control, DWORD event_type,
                        const void* event_data, size_t event_data_size);

// Every status report the service sent with SetServiceStatus since it was installed, in order,
// with all fields as sent.
std::vector<SERVICE_STATUS> ServiceStatusReports(const std::wstring& name);
// The status the SCM holds now, as QueryServiceStatusEx gives it (all zero for no service).
SERVICE_STATUS_PROCESS ServiceStatusNow(const std::wstring& name);
// Waits for the SCM's state of the service to become `state`; false when the time ran out.
bool WaitForServiceState(const std::wstring& name, DWORD state, std::chrono::milliseconds timeout);
// Waits until no process runs for the service; false when the time ran out. The exit code of
// the last process goes to `exit_code`.
bool WaitForServiceProcessExit(const std::wstring& name, std::chrono::milliseconds timeout,
                               int* exit_code = nullptr);
// How long a start waits for the process to connect and a control for the handler to return
// (30 s each, as on Windows, until the next Reset).
void SetServiceTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds control);

// ----- Devices ----------------------------------------------------------------------------------

// A device of the machine's device tree, as SetupAPI enumerates it.
struct Device {
  std::wstring instance_id;                  // e.g. L"SWD\\DPAL\\0001"; the enumerator comes first
  std::vector<std::wstring> hardware_ids;    // empty: the device has no such property
  std::vector<std::wstring> compatible_ids;  // empty: the device has no such property
  bool present = true;                       // installed but not present when false
  GUID class_guid = {};
  std::wstring driver_inf;  // DEVPKEY_Device_DriverInfPath (e.g. L"oem7.inf"); empty: none
};

// Adds a device after the others (enumeration follows the order of adding); a device with the
// same instance ID is replaced where it stands. The tree is empty after Reset.
void AddDevice(const Device& device);
bool RemoveDevice(const std::wstring& instance_id);
bool SetDevicePresent(const std::wstring& instance_id, bool present);
std::vector<Device> Devices();

// ----- Sessions and logons -------------------------------------------------------------------

// After Reset the machine has session 0 (services, no user, WTSDisconnected) and session 1 at the
// console, where the default identity's user (DefaultAdmin()) is logged on (WTSActive).
inline constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

// The session attached to the console; kNoConsoleSession while none is (a session switch).
// A session that does not exist yet is created without a user, at the logon screen.
void SetConsoleSession(DWORD session_id);
// Sets a session's connection state (creating the session when it does not exist).
void SetSessionState(DWORD session_id, WTS_CONNECTSTATE_CLASS state);
// A user logs on in a session: the session becomes active with that user, and the user's hive
// is loaded under HKEY_USERS\<sid> as a logon does (if it is not loaded already).
void LogOn(DWORD session_id, const std::wstring& user_sid, const std::wstring& user_name,
           bool administrator = false);
// The session's user logs off: no user, back at the logon screen (WTSConnected). The hive stays
// loaded while profiles loaded by programs hold it.
void LogOff(DWORD session_id);
// User profiles loaded by LoadUserProfileW and not yet unloaded.
int LoadedProfileCount();

// ----- Processes --------------------------------------------------------------------------------

// What a program started by CreateProcessW or CreateProcessAsUserW sees, and what the machine
// records about each start.
struct Launch {
  std::string function;           // "CreateProcessAsUserW" or "CreateProcessW"
  std::wstring application_name;  // lpApplicationName as passed ("" for none)
  std::wstring image_path;        // the program file that was started
  std::wstring command_line;
  std::wstring current_directory;
  std::wstring desktop;           // lpDesktop, or the parent's desktop when none was given
  DWORD creation_flags = 0;
  DWORD session_id = 0;           // the session of the new process's token
  std::wstring user_sid;          // the new process's token user
  std::wstring user_name;
  bool elevated = false;          // the token is an administrator's full token
  std::vector<std::wstring> environment;  // "NAME=value" entries in block order
  DWORD process_id = 0;

  // The value of an environment variable (names are case-insensitive); empty when it is unset.
  std::wstring Variable(const std::wstring& name) const;
};

// What a program does when started: runs on a thread of its own as the new process (its token,
// image, command line and directory; GetCommandLine-like data is in the Launch), and returns the
// exit code. A program that throws ends with the exit code 0xE06D7363, as an uncaught C++
// exception ends a Windows process.
using Program = std::function<DWORD(const Launch&)>;

// Registers what starting a program file does (the path is case-insensitive). Starting a file
// that exists but has no program registered fails with ERROR_BAD_EXE_FORMAT.
void RegisterProgram(const std::wstring& image_path, Program program);
// Every start so far, in order.
std::vector<Launch> Launches();
// Waits until at least `count` starts have been recorded; false when the time ran out first.
bool WaitForLaunches(size_t count, std::chrono::milliseconds timeout);
// Waits until every started program has ended; false when the time ran out first.
bool WaitForProcessesToEnd(std::chrono::milliseconds timeout);

// ----- Signatures and trust -----------------------------------------------------------------------

// A code-signing certificate as the signature check sees it.
struct Certificate {
  std::wstring subject;  // e.g. L"CN=Tarvex Test Signing"
  std::wstring issuer;   // the name of the certificate that issued it
  std::wstring serial;   // hexadecimal, most significant digit first, e.g. L"3A01"
  std::wstring root;     // the root certificate its chain ends in
};

// Signs a file as a signing tool does (signing again replaces the signature): the signature,
// with the certificate and a digest of the file's bytes, is embedded in the file, so it travels
// with copies and renames, and a file whose bytes change afterwards no longer matches its digest.
// A file without a signature is an unsigned program to WinVerifyTrust (TRUST_E_NOSIGNATURE) when
// its bytes start with "MZ", as ProgramBytes makes them, and no subject it knows
// (TRUST_E_SUBJECT_FORM_UNKNOWN) otherwise. Nothing happens when the file does not exist.
void SignFile(const std::wstring& path, const Certificate& signer);
std::vector<uint8_t> ProgramBytes(const std::string& tag = "");
// Roots in the machine's trusted root store. After Reset no root is trusted.
void TrustRoot(const std::wstring& root);
void DistrustRoot(const std::wstring& root);

// ----- Fault injection ------------------------------------------------------------------------

// A call as the fault injector and the trace see it: the function name and its arguments as
// text (for example L"HKLM, SYSTEM\\CurrentControlSet, 0, 0x20019").
struct Call {
  std::string function;
  std::wstring args;
  uint64_t thread = 0;
};

// Makes a platform function fail with `error` (the function's own failure convention: a
// returned LSTATUS, FALSE with the last error, a null handle, ...).
void FailAlways(const std::string& function, DWORD error);
// Fails only the n-th call (1-based) counted from now.
void FailNth(const std::string& function, uint64_t n, DWORD error);
// Fails every call for which the predicate is true.
void FailIf(const std::string& function, std::function<bool(const Call&)> predicate, DWORD error);
// Fails the n-th (1-based) platform call of any name, counted from now. Used by the sweeps that
// fail every call of a flow in turn.
void FailNthAny(uint64_t n, DWORD error);  // releases (CloseHandle, RegCloseKey, ...) are not counted
void ClearFaults();
// How many faults have fired since the last ClearFaults.
uint64_t FaultsFired();

// ----- Trace ----------------------------------------------------------------------------------

// Every platform call is counted; with recording on, each is also kept with its arguments.
void RecordTrace(bool on);
std::vector<Call> Trace();
void ClearTrace();
uint64_t CallCount();
// Number of calls of one function since the last ClearTrace (counted whether or not recording).
uint64_t CallCount(const std::string& function);
// Called for every platform call as it happens (for the scenario runner's --trace).
void SetTraceSink(std::function<void(const Call&)> sink);

// ----- Leak accounting ------------------------------------------------------------------------

struct LeakReport {
  std::map<std::string, int> open_handles;  // by kind, e.g. "event", "key", "token"
  int local_allocations = 0;
  int loaded_hives = 0;       // hives loaded by RegLoadKeyW and not unloaded
  int loaded_profiles = 0;    // user profiles loaded and not unloaded
  int impersonating_threads = 0;
  bool Clean() const;
  std::string Describe() const;
};

LeakReport Leaks();

// Handles that a test deliberately keeps (machine-owned objects are never counted).
int OpenHandleCount(const std::string& kind);

}  // namespace sim
