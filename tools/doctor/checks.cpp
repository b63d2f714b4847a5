// The doctor's checks, each over what the package itself reads. Every call here reads: keys are
// opened with KEY_READ, the service manager and the service with query rights only, files with
// read access, and no hive is loaded.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/com.h"
#include "common/failure_boundary.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "core/steps/colour_steps.h"
#include "core/steps/identity.h"
#include "core/steps/panel.h"
#include "loader/catalogue.h"
#include "loader/integrity.h"
#include "loader/launcher.h"
#include "loader/platform_gate.h"
#include "loader/shared/device_lookup.h"
#include "loader/shared/registry.h"
#include "platform/win32.h"
#include "tools/doctor/doctor.h"
#include "uninstaller/routines.h"

namespace dpal::doctor {

namespace {

// What the package does when the platform gate or the device fails: one sentence, shared.
constexpr char kDemandStart[] = "the service stops at start and switches itself to demand start: ";
constexpr char kInstallAgain[] =
    "the service has the per-user program install the profiles (/i) at its next start or logon "
    "with a user at the console";
constexpr char kRestore[] =
    "the service has the per-user program restore the profiles (/r) at its next start or logon "
    "with a user at the console";

std::string Text(const std::wstring& text) { return Printable(text); }
std::string Text(const WCHAR* text) { return Printable(text == nullptr ? L"" : text); }

std::string Number(unsigned long value) { return std::to_string(value); }

std::string Join(const std::vector<std::wstring>& items, const char* none) {
  if (items.empty()) return none;
  std::string joined;
  for (const std::wstring& item : items) {
    if (!joined.empty()) joined += ", ";
    joined += Text(item);
  }
  return joined;
}

Check Make(const std::string& name, Outcome outcome, std::string value,
           std::string comment = std::string()) {
  Check check;
  check.name = name;
  check.outcome = outcome;
  check.value = std::move(value);
  check.comment = std::move(comment);
  return check;
}

// A read that failed: for lack of rights, or for another reason with its error code.
Check Failed(const std::string& name, const std::string& what, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    return Make(name, Outcome::NoRights, "not read",
                what + ": access denied to this account (an administrator can read it)");
  }
  return Make(name, Outcome::Unreadable, "not read", what + ": error " + Number(error));
}

// Whether root\path opens for reading: nothing when it does, otherwise `absent` for a key that is
// not there, or the check of a read that failed (`what` names the key).
std::optional<Check> UnlessKeyOpens(HKEY root, const WCHAR* path, const std::string& what,
                                    Check absent) {
  UniqueKey key;
  const LONG opened = RegOpenKeyExW(root, path, 0, layout::kReadAccess, key.Put());
  if (opened == ERROR_SUCCESS) return std::nullopt;
  if (opened == ERROR_FILE_NOT_FOUND) return absent;
  return Failed(absent.name, what, static_cast<DWORD>(opened));
}

std::string Hex(const BYTE* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

const char* StartTypeName(DWORD type) {
  switch (type) {
    case SERVICE_AUTO_START: return "auto";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
    default: return "other";
  }
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    default: return "in another state";
  }
}

// The image path out of a service's command line: the quoted part, or the whole line.
std::wstring ImageOf(const WCHAR* command_line) {
  if (command_line == nullptr) return std::wstring();
  std::wstring line = command_line;
  if (!line.empty() && line[0] == L'"') {
    const size_t end = line.find(L'"', 1);
    return end == std::wstring::npos ? std::wstring() : line.substr(1, end - 1);
  }
  return line;
}

Check ServiceCheck(std::wstring& image) {
  const std::string name = "service";
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Failed(name, "the service control manager", GetLastError());
  UniqueScHandle service(OpenServiceW(manager.get(), layout::kServiceName,
                                      SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      return Make(name, Outcome::Problem, "TarvexDPALLoader is not registered",
                  "nothing puts the profiles into effect: the package is not installed");
    }
    return Failed(name, "the service TarvexDPALLoader", error);
  }
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(service.get(), &status)) {
    return Failed(name, "the state of TarvexDPALLoader", GetLastError());
  }
  DWORD needed = 0;
  SetLastError(0);
  if (QueryServiceConfigW(service.get(), nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return Failed(name, "the configuration of TarvexDPALLoader", GetLastError());
  }
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
    return Failed(name, "the configuration of TarvexDPALLoader", GetLastError());
  }
  image = ImageOf(config->lpBinaryPathName);
  std::string value = std::string(StateName(status.dwCurrentState)) + ", start type " +
                      StartTypeName(config->dwStartType) + ", image " + Text(image);
  if (config->dwStartType == SERVICE_DISABLED) {
    return Make(name, Outcome::Problem, value, "the service never starts: it is disabled");
  }
  if (status.dwCurrentState == SERVICE_RUNNING) return Make(name, Outcome::Ok, value);
  if (config->dwStartType == SERVICE_DEMAND_START) {
    return Make(name, Outcome::Problem, value,
                "the service runs only when someone starts it: it switches itself to demand "
                "start when the device or the platform gate fails");
  }
  return Make(name, Outcome::Problem, value,
              "nothing watches the apply state or verifies the profiles until the service runs; "
              "it starts at the next boot");
}

Check DeviceCheck() {
  const std::string name = "device";
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  const bool found = lookup.found();
  const std::string inf = Text(lookup.inf_path());
  lookup.ReleaseDeviceLookup();
  const std::string id = Text(kSoftwareDeviceHardwareId);
  if (!found) {
    return Make(name, Outcome::Problem, id + " is not present",
                std::string(kDemandStart) + "the software device " + id + " is not present");
  }
  return Make(name, Outcome::Ok,
              id + " present, driver INF " + (inf.empty() ? std::string("(none given)") : inf));
}

// Why the gate says no, from its inputs, in the order the gate tests them.
std::string GateRefusal(const std::wstring& firmware, const std::vector<std::wstring>& prefixes) {
  if (firmware.empty()) return "no firmware version (BIOSVersion) could be read";
  const std::string shown = Text(firmware);
  if (firmware.size() < 8) return "firmware " + shown + " has fewer than eight characters";
  if (firmware[6] == L'w' || firmware[6] == L'W') {
    return "firmware " + shown + " has W as its seventh character, which no supported model has";
  }
  if (prefixes.empty()) return "no supported prefix (SupportedBIOSPrefix) is configured";
  return "firmware " + shown + " does not start with " + Join(prefixes, "");
}

Check PlatformGateCheck() {
  const std::string name = "platform-gate";
  const std::wstring firmware =
      ReadStringValue(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue);
  const std::vector<std::wstring> prefixes = ReadMultiStringValue(
      HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSupportedBiosPrefixValue);
  const std::string value = "firmware " + (firmware.empty() ? "(none)" : Text(firmware)) +
                            ", supported prefixes " + Join(prefixes, "(none)");
  if (IsPlatformSupported()) return Make(name, Outcome::Ok, value);
  return Make(name, Outcome::Problem, value, kDemandStart + GateRefusal(firmware, prefixes));
}

Check InstallStateCheck() {
  const std::string name = "install-state";
  if (auto absent =
          UnlessKeyOpens(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, "the install-state key",
                         Make(name, Outcome::NotApplicable, "no installation requested"))) {
    return *absent;
  }
  DWORD state = 0;
  const bool stored =
      ReadDword(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue, &state);
  const std::string shown = stored ? "State " + Number(state) : "no State";
  if (IsInstallPending()) {
    return Make(name, Outcome::Problem, "pending (" + shown + ")",
                "the per-user program installs the profiles (/i) at the next logon at the "
                "console, or at the service's start with a user at the console");
  }
  return Make(name, Outcome::Ok, "done (" + shown + ")");
}

// Why an entry keeps the catalogue from loading, or empty when it loads.
std::string EntryRefusal(const std::wstring& entry) {
  WCHAR key[kPathUnits];
  WCHAR stored[kPathUnits];
  WCHAR base[kPathUnits];
  if (!Format(key, L"%s\\%s", layout::kCatalogueKey, entry.c_str()) ||
      !Copy(stored, entry.c_str())) {
    return "the entry name of " + Number(entry.size()) + " characters does not fit";
  }
  if (!ProfileFileBaseName(stored, base)) return "the entry name is no plain file name";
  BYTE digest[kDigestBytes];
  if (!ReadBinaryValue(HKEY_LOCAL_MACHINE, key, base, digest)) {
    return "the entry has no digest value of at most 34 bytes";
  }
  return std::string();
}

void CatalogueChecks(std::vector<Check>& checks) {
  const std::string name = "catalogue";
  if (auto absent = UnlessKeyOpens(HKEY_LOCAL_MACHINE, layout::kCatalogueKey, "the catalogue key",
                                   Make(name, Outcome::Problem, "no catalogue", kInstallAgain))) {
    checks.push_back(*absent);
    return;
  }
  std::vector<std::wstring> names;
  EnumerateSubKeys(HKEY_LOCAL_MACHINE, layout::kCatalogueKey, names);
  if (names.empty()) {
    checks.push_back(Make(name, Outcome::Problem, "no entries", kInstallAgain));
    return;
  }
  std::vector<ProfileCatalogueEntry> entries;
  if (!LoadProfileCatalogue(names, entries)) {
    for (const std::wstring& entry : names) {
      const std::string refusal = EntryRefusal(entry);
      if (refusal.empty()) continue;
      checks.push_back(Make(name, Outcome::Unreadable,
                            Number(names.size()) + " entries, not loaded",
                            "entry \"" + Text(entry) + "\": " + refusal + "; " + kInstallAgain));
      return;
    }
    checks.push_back(Make(name, Outcome::Unreadable, Number(names.size()) + " entries, not loaded",
                          "an entry could not be read; " + std::string(kInstallAgain)));
    return;
  }
  const std::wstring sdr =
      ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSdrVersionValue);
  const std::wstring hdr =
      ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kHdrVersionValue);
  std::string value = Number(entries.size()) + " entries, SDR version " +
                      (sdr.empty() ? "(none)" : Text(sdr)) + ", HDR version " +
                      (hdr.empty() ? "(none)" : Text(hdr));
  if (!MatchProfileVersions(sdr, hdr, entries)) {
    checks.push_back(Make(name, Outcome::Problem, value,
                          "no SDR entry names version " + Text(sdr) +
                              " or no HDR entry names "
                              "version " +
                              Text(hdr) + "; " + kInstallAgain));
    return;
  }

  // The package's own answer for the whole catalogue, then each file as it found it.
  const CatalogueStatus status = VerifyProfileCatalogue();
  const size_t catalogue_index = checks.size();
  checks.push_back(
      status == CatalogueStatus::Verified
          ? Make(name, Outcome::Ok, value + ", every file intact")
          : Make(name, Outcome::Problem, value + ", a file is missing or altered", kRestore));
  WCHAR colour[kPathUnits];
  if (!GetColourDirectory(colour)) {
    checks[catalogue_index] = Failed(name, "the colour directory", ERROR_PATH_NOT_FOUND);
    return;
  }
  for (const ProfileCatalogueEntry& entry : entries) {
    const std::string file_name = "file:" + Text(entry.entry_name);
    WCHAR path[kPathUnits];
    if (!ProfileFilePath(colour, entry.entry_name, path)) {
      checks.push_back(Make(file_name, Outcome::Problem, "its path does not fit", kRestore));
      continue;
    }
    UniqueFile file(CreateFileW(path, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        checks.push_back(Make(file_name, Outcome::Problem, "missing", kRestore));
      } else {
        checks.push_back(Failed(file_name, Text(path), error));
      }
      continue;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file.get(), &high);
    file.reset();
    const std::string expected = Hex(entry.expected_digest, kSha256Bytes);
    if (size == INVALID_FILE_SIZE || high != 0) {
      checks.push_back(Make(file_name, Outcome::Problem, "of 4 GiB or more, or of no size",
                            std::string("no profile is that large; ") + kRestore));
      continue;
    }
    BYTE digest[kDigestBytes];
    if (!ComputeFileDigest(path, digest)) {
      checks.push_back(Make(file_name, Outcome::Unreadable, Number(size) + " bytes",
                            Text(path) + ": could not be read whole (held open elsewhere?)"));
      continue;
    }
    std::string seen = Number(size) + " bytes, SHA-256 " + Hex(digest, kSha256Bytes);
    if (VerifyFileDigest(path, entry.expected_digest)) {
      checks.push_back(Make(file_name, Outcome::Ok, seen));
    } else {
      checks.push_back(
          Make(file_name, Outcome::Problem, seen + ", the catalogue's " + expected, kRestore));
    }
  }
}

Check MachineApplyStateCheck() {
  const std::string name = "machine-apply-state";
  if (auto absent = UnlessKeyOpens(
          HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, "the machine's apply state",
          Make(name, Outcome::NotApplicable, "not set: nothing switched the profiles off"))) {
    return *absent;
  }
  DWORD state = 0;
  if (!ReadDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, &state)) {
    return Make(name, Outcome::NotApplicable, "no State of type DWORD");
  }
  if (state == 1) return Make(name, Outcome::Ok, "1 (on)");
  if (state == 0) {
    return Make(name, Outcome::Problem, "0 (off)",
                "a client of the core library switched the profiles off for the machine; the "
                "service ran the per-user program with /rs and does so at every change to 0");
  }
  return Make(name, Outcome::NotApplicable, Number(state) + " (neither on nor off)");
}

// The SID of the user whose profile directory (last part of "ProfileImagePath") is the name.
std::wstring SidOfUser(const std::wstring& user) {
  std::vector<std::wstring> sids;
  EnumerateSubKeys(HKEY_LOCAL_MACHINE, layout::kProfileListKey, sids);
  for (const std::wstring& sid : sids) {
    if (sid.compare(0, lstrlenW(layout::kUserSidPrefix), layout::kUserSidPrefix) != 0) continue;
    WCHAR key[kPathUnits];
    if (!Format(key, L"%s\\%s", layout::kProfileListKey, sid.c_str())) continue;
    WCHAR directory[kPathUnits] = {};
    DWORD bytes = sizeof(directory) - sizeof(WCHAR);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, layout::kProfileImagePathValue,
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, directory,
                     &bytes) != ERROR_SUCCESS) {
      continue;
    }
    const std::wstring path = directory;
    const size_t slash = path.find_last_of(L'\\');
    const std::wstring leaf = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (lstrcmpiW(leaf.c_str(), user.c_str()) == 0) return sid;
  }
  return std::wstring();
}

// The user's apply state and recorded profiles in his loaded hive; his SID from the profile list
// unless it is known.
Check UserCheck(const std::string& name, const std::wstring& user, std::wstring sid = L"") {
  if (sid.empty()) sid = SidOfUser(user);
  const std::string who = Text(user);
  if (sid.empty()) {
    return Make(name, Outcome::Unreadable, who,
                "no profile of that user in the machine's profile list");
  }
  const std::string shown = who + " (" + Text(sid) + ")";
  if (auto absent = UnlessKeyOpens(
          HKEY_USERS, sid.c_str(), "the hive of " + who,
          Make(name, Outcome::NotApplicable,
               shown + ": not logged on, his hive is not loaded (the doctor loads none)"))) {
    return *absent;
  }
  WCHAR state_key[kPathUnits];
  WCHAR markers_key[kPathUnits];
  if (!Format(state_key, L"%s\\%s", sid.c_str(), layout::kUserApplyStateKey) ||
      !Format(markers_key, L"%s\\%s", sid.c_str(), layout::kProfileMarkerKey)) {
    return Make(name, Outcome::Unreadable, shown, "his key paths do not fit");
  }
  DWORD state = 0;
  const bool stored = ReadDword(HKEY_USERS, state_key, layout::kStateValue, &state);
  std::vector<std::wstring> markers;
  EnumerateSubKeys(HKEY_USERS, markers_key, markers);
  std::vector<std::wstring> recorded;
  for (const std::wstring& marker : markers) {
    WCHAR marker_key[kPathUnits];
    DWORD type = 0;
    const bool typed = Format(marker_key, L"%s\\%s", markers_key, marker.c_str()) &&
                       ReadDword(HKEY_USERS, marker_key, layout::kTypeValue, &type);
    recorded.push_back(typed ? marker + L" (Type " + std::to_wstring(type) + L")" : marker);
  }
  const std::string value = shown + ": apply state " +
                            (stored ? Number(state) : std::string("not set")) +
                            ", recorded profiles " + Join(recorded, "none");
  if (stored && state == 0) {
    return Make(name, Outcome::Problem, value,
                "the profiles are switched off for this user: the tool's /baseverify leaves his "
                "default alone until his apply state is 1 again");
  }
  return Make(name, Outcome::Ok, value);
}

// The user logged on at the console: empty when there is none.
bool ConsoleUserName(std::wstring& user, DWORD& error) {
  const DWORD session = WTSGetActiveConsoleSessionId();
  if (session == 0xFFFFFFFF) return true;
  UniqueWtsMemory<WCHAR> name;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, name.Put(),
                                   &bytes)) {
    error = GetLastError();
    return false;
  }
  if (name && bytes >= sizeof(WCHAR)) {
    user.assign(name.get(), bytes / sizeof(WCHAR));
    user.resize(lstrlenW(user.c_str()));
  }
  return true;
}

Check ConsoleUserCheck() {
  const std::string name = "console-user";
  std::wstring user;
  DWORD error = 0;
  if (!ConsoleUserName(user, error)) return Failed(name, "the console session's user", error);
  if (user.empty()) return Make(name, Outcome::NotApplicable, "nobody is logged on at the console");
  // The session's token names the user exactly; only LocalSystem may have it, and anyone else
  // finds the user by the name of his profile directory.
  std::wstring sid;
  core::ReadConsoleUserSid(&sid);
  return UserCheck(name, user, sid);
}

std::string DefaultText(bool read, const WCHAR* name) {
  if (!read) return "none";
  return Text(name);
}

Check PanelCheck() {
  const std::string name = "panel";
  const core::PanelTarget primary = core::IdentifyPrimaryPanel(core::kStandardKind);
  const core::PanelTarget internal = core::IdentifyInternalPanel(core::kStandardKind);
  const bool primary_is_panel =
      primary.valid && core::IsInternalTechnology(primary.path.targetInfo.outputTechnology);
  std::string value;
  if (primary_is_panel && internal.valid && lstrcmpiW(primary.deviceKey, internal.deviceKey) == 0) {
    value = "the built-in panel is the primary display, " + Text(primary.deviceKey);
  } else {
    value = "primary display " +
            (primary.valid ? Text(primary.deviceKey) : std::string("not identified")) +
            ", built-in panel " +
            (internal.valid ? Text(internal.deviceKey) : std::string("not identified"));
  }
  if (primary.valid) {
    // The panel's current defaults, as the core library reads them for its clients.
    const core::PanelTarget extended = core::IdentifyPrimaryPanel(core::kExtendedKind);
    WCHAR text[kPathUnits];
    const bool system_sdr = core::ReadSystemDefault(primary, text);
    value += "; machine defaults sdr " + DefaultText(system_sdr, text);
    const bool system_hdr = extended.valid && core::ReadSystemDefault(extended, text);
    value += ", hdr " + DefaultText(system_hdr, text);
    const bool user_sdr = core::ReadUserDefault(primary, text);
    value += "; user defaults sdr " + DefaultText(user_sdr, text);
    const bool user_hdr = extended.valid && core::ReadUserDefault(extended, text);
    value += ", hdr " + DefaultText(user_hdr, text);
  }
  if (!internal.valid) {
    return Make(name, Outcome::Problem, value,
                "no active display is the built-in panel (lid closed, or the panel off): the "
                "profile-setting tool finds no panel and changes nothing");
  }
  if (!primary_is_panel) {
    return Make(name, Outcome::Problem, value,
                "the built-in panel is not the primary display: the core library sets and reads "
                "the defaults of the primary display instead");
  }
  return Make(name, Outcome::Ok, value);
}

Check ProfileProgramCheck(const std::wstring& service_image) {
  const std::string name = "profile-program";
  const size_t slash = service_image.find_last_of(L'\\');
  if (service_image.empty() || slash == std::wstring::npos) {
    return Make(name, Outcome::NotApplicable, "the service's image is not known");
  }
  const std::wstring path = service_image.substr(0, slash + 1) + kProfileProgramFile;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return Failed(name, Text(path), error);
    }
    return Make(name, Outcome::Problem, Text(path) + " is missing",
                "the service can start no per-user program: nothing is installed, restored or "
                "switched");
  }
  VerifiedProgram program;
  if (!VerifyProgramFileAgainst(path.c_str(), service_image.c_str(), program)) {
    return Make(name, Outcome::Problem, Text(path) + " fails the integrity check",
                "the service never starts it: its signature does not verify with a trusted "
                "chain, or its signer is not the service's");
  }
  return Make(name, Outcome::Ok, Text(path) + " passes the integrity check");
}

Check ScheduledTasksCheck() {
  const std::string name = "scheduled-tasks";
  ComInitialization com;
  if (!com.Initialize(COINIT_MULTITHREADED)) {
    return Failed(name, "COM", static_cast<DWORD>(com.result()));
  }
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) {
    return Failed(name, "COM security", static_cast<DWORD>(security));
  }
  UniqueCom<ITaskService> service;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                              reinterpret_cast<void**>(service.Put())))) {
    return Make(name, Outcome::Unreadable, "not read", "the Task Scheduler is not available");
  }
  VARIANT empty;
  VariantInit(&empty);
  const HRESULT connected = service.get()->Connect(empty, empty, empty, empty);
  if (FAILED(connected)) {
    return Failed(
        name, "the Task Scheduler",
        connected == E_ACCESSDENIED ? ERROR_ACCESS_DENIED : static_cast<DWORD>(connected));
  }
  UniqueBstr root_path(SysAllocString(L"\\"));
  UniqueCom<ITaskFolder> root;
  if (!root_path || FAILED(service.get()->GetFolder(root_path.get(), root.Put()))) {
    return Make(name, Outcome::Unreadable, "not read", "the Task Scheduler's root folder");
  }
  std::string value;
  bool missing = false;
  for (const WCHAR* task : uninstaller::kPackageTasks) {
    UniqueBstr path(SysAllocString(task));
    UniqueCom<IRegisteredTask> registered;
    const HRESULT found = path ? root.get()->GetTask(path.get(), registered.Put()) : E_OUTOFMEMORY;
    if (found == E_ACCESSDENIED) return Failed(name, "the task " + Text(task), ERROR_ACCESS_DENIED);
    if (!value.empty()) value += ", ";
    value += Text(task) + (SUCCEEDED(found) ? " registered" : " missing");
    missing = missing || FAILED(found);
  }
  if (missing) {
    return Make(name, Outcome::Problem, value,
                "the installer registers the tasks; a missing task does not run (without "
                "UninstallTask the final cleanup does not follow an uninstall)");
  }
  return Make(name, Outcome::Ok, value);
}

Check OwnersCheck() {
  const std::vector<std::wstring> owners =
      ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue);
  if (owners.empty()) {
    return Make("owners", Outcome::Ok, "none: the final cleanup may run once the device is gone");
  }
  return Make("owners", Outcome::Ok,
              Join(owners, "") + ": the final cleanup waits until they withdraw");
}

// A check made inside the package's failure boundary: a failure it contains makes it unreadable.
template <typename Work>
void Contained(std::vector<Check>& checks, const std::string& name, Work&& work) {
  const bool made = ContainFailure(false, [&] {
    work();
    return true;
  });
  if (!made) {
    checks.push_back(Make(name, Outcome::Unreadable, "not read",
                          "the check ran out of memory or past a length limit"));
  }
}

}  // namespace

Report Examine(const Options& options) {
  Report report;
  std::vector<Check>& checks = report.checks;
  std::wstring image;
  Contained(checks, "service", [&] { checks.push_back(ServiceCheck(image)); });
  Contained(checks, "device", [&] { checks.push_back(DeviceCheck()); });
  Contained(checks, "platform-gate", [&] { checks.push_back(PlatformGateCheck()); });
  Contained(checks, "install-state", [&] { checks.push_back(InstallStateCheck()); });
  Contained(checks, "catalogue", [&] { CatalogueChecks(checks); });
  Contained(checks, "machine-apply-state", [&] { checks.push_back(MachineApplyStateCheck()); });
  Contained(checks, "console-user", [&] { checks.push_back(ConsoleUserCheck()); });
  for (const std::wstring& user : options.users) {
    const std::string name = "user:" + Text(user);
    Contained(checks, name, [&] { checks.push_back(UserCheck(name, user)); });
  }
  Contained(checks, "panel", [&] { checks.push_back(PanelCheck()); });
  Contained(checks, "profile-program", [&] { checks.push_back(ProfileProgramCheck(image)); });
  Contained(checks, "scheduled-tasks", [&] { checks.push_back(ScheduledTasksCheck()); });
  Contained(checks, "owners", [&] { checks.push_back(OwnersCheck()); });
  return report;
}

}  // namespace dpal::doctor
