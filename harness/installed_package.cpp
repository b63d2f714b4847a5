#include "harness/installed_package.h"

#include <fstream>
#include <iterator>
#include <thread>

#include "common/registry_layout.h"
#include "harness/fixtures.h"
#include "harness/registry_writer.h"

namespace dpal::e2e {

namespace {

constexpr const WCHAR kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum";
// The software component device class.
constexpr const WCHAR kSoftwareComponentClass[] = L"{5c4c3332-344d-483c-8739-259e934c9cc8}";
// The catalogue: one entry of each kind, named with the configured versions.
constexpr const WCHAR kSdrVersion[] = L"3";
constexpr const WCHAR kHdrVersion[] = L"1";
constexpr const WCHAR kSdrEntry[] = L"QXLCD_DynaPanel_V3_S";
constexpr const WCHAR kHdrEntry[] = L"QXLCD_DynaPanel_V1_H";
// The subject text that marks the test roots this file trusts (and removes again).
constexpr const WCHAR kTestRootSubject[] = L"Tarvex DPAL Test Root";

std::string Failed(const std::string& what, DWORD error) {
  return what + " failed with error " + std::to_string(error);
}

std::string Failed(const std::string& what, const std::wstring& object, DWORD error) {
  return Failed(what + " (" + Narrow(object) + ")", error);
}

std::wstring Join(const std::wstring& directory, const std::wstring& name) {
  return directory + L"\\" + name;
}

// One value written through the tests' registry writer into HKEY_LOCAL_MACHINE\key_path,
// created when missing: empty on success, else what failed.
template <typename Set>
std::string Write(const std::wstring& key_path, const WCHAR* name, Set set,
                  DWORD options = REG_OPTION_NON_VOLATILE) {
  test::RegistryWriter key;
  if (LSTATUS status = key.Create(HKEY_LOCAL_MACHINE, key_path, options)) {
    return Failed("RegCreateKeyExW", key_path, status);
  }
  if (LSTATUS status = set(key)) return Failed("RegSetValueExW", name, status);
  return "";
}

std::string SetString(const std::wstring& key, const WCHAR* name, const std::wstring& text,
                      DWORD type = REG_SZ, DWORD options = REG_OPTION_NON_VOLATILE) {
  return Write(
      key, name, [&](test::RegistryWriter& w) { return w.String(name, text, type); }, options);
}

// `entries` holds the strings separated by NULs.
std::string SetMultiString(const std::wstring& key, const WCHAR* name,
                           const std::wstring& entries) {
  return Write(key, name, [&](test::RegistryWriter& w) {
    return w.MultiString(name, test::EntriesOf(entries));
  });
}

std::string SetDword(const std::wstring& key, const WCHAR* name, DWORD value) {
  return Write(key, name, [&](test::RegistryWriter& w) { return w.Dword(name, value); });
}

std::string WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed("CreateFileW", path, GetLastError());
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    return Failed("WriteFile", path, GetLastError());
  }
  return "";
}

std::string MakeDirectory(const std::wstring& path) {
  const int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
  if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS) {
    return Failed("SHCreateDirectoryExW", path, static_cast<DWORD>(result));
  }
  return "";
}

// A program that has just ended (a service process after its last report, a launched program)
// may hold its image a moment longer: a file in use is retried for a few seconds.
std::string RemoveFile(const std::wstring& path) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    if (DeleteFileW(path.c_str())) return "";
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "";
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        Clock::now() > deadline) {
      return Failed("DeleteFileW", path, error);
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
}

// Deletes every file of a directory (not recursing) and the directory itself.
std::string RemoveDirectoryFiles(const std::wstring& directory) {
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(Join(directory, L"*").c_str(), &found);
  std::string error;
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const std::string removed = RemoveFile(Join(directory, found.cFileName));
        if (error.empty()) error = removed;
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  if (!RemoveDirectoryW(directory.c_str())) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && error.empty()) {
      error = Failed("RemoveDirectoryW", directory, code);
    }
  }
  return error;
}

std::string DeleteTree(const std::wstring& key) {
  const LSTATUS status = SHDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return "";
  return Failed("SHDeleteKeyW", key, status);
}

std::string UntrustTestRoots() {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return Failed("CertOpenStore(Root)", GetLastError());
  for (;;) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(
        store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, kTestRootSubject, nullptr);
    if (found == nullptr) break;
    if (!CertDeleteCertificateFromStore(found)) break;  // frees `found` either way
  }
  CertCloseStore(store, 0);
  return "";
}

}  // namespace

std::string RemoveService(const WCHAR* name) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return Failed("OpenSCManagerW", GetLastError());
  {
    UniqueScHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) {
      const DWORD error = GetLastError();
      return error == ERROR_SERVICE_DOES_NOT_EXIST ? "" : Failed("OpenServiceW", error);
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) &&
        status.dwCurrentState != SERVICE_STOPPED) {
      UniqueHandle process(status.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE,
                                                                 FALSE, status.dwProcessId)
                                                   : nullptr);
      SERVICE_STATUS answered = {};
      ControlService(service.get(), SERVICE_CONTROL_STOP, &answered);
      if (process && WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
      }
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return Failed("DeleteService", GetLastError());
    }
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    // Removed once the last handle to it is closed and its process has ended.
    UniqueScHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return "";
    if (Clock::now() > deadline) return "the service is still registered 10 s after its deletion";
    std::this_thread::sleep_for(milliseconds(20));
  }
}

namespace {

std::string WriteProfile(const std::wstring& entry, DWORD type,
                         const dpal::test::ProfileFixture& profile) {
  const std::wstring key = std::wstring(layout::kCatalogueKey) + L"\\" + entry;
  if (std::string e = SetDword(key, layout::kTypeValue, type); !e.empty()) return e;
  if (std::string e = Write(key, entry.c_str(),
                            [&](test::RegistryWriter& w) {
                              return w.Binary(entry.c_str(), profile.sha256.data(),
                                              profile.sha256.size());
                            });
      !e.empty()) {
    return e;
  }
  return WriteFileBytes(Join(ColourDirectory(), entry + L".icm"), profile.bytes);
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (WCHAR c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

Ended RunCapturingOutput(const std::wstring& image, const std::wstring& arguments,
                         milliseconds deadline) {
  Ended ended;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    ended.output = "CreatePipe failed with " + std::to_string(GetLastError());
    return ended;
  }
  UniqueHandle reader(read_end);
  UniqueHandle writer(write_end);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"" + image + L"\"" + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION created = {};
  if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &created)) {
    ended.output = "CreateProcessW failed with " + std::to_string(GetLastError());
    return ended;
  }
  UniqueHandle process(created.hProcess);
  UniqueHandle thread(created.hThread);
  writer.reset();
  // What is in the pipe now, read without blocking: a process that the program started (Wine
  // starts its desktop process from the first program that needs one) may hold the pipe's write
  // end long after the program ended, so the end of the pipe never says that the program ended.
  auto drain = [&] {
    char buffer[4096];
    DWORD available = 0;
    while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD read = 0;
      const DWORD want = available < sizeof(buffer) ? available : sizeof(buffer);
      if (!ReadFile(reader.get(), buffer, want, &read, nullptr) || read == 0) return;
      ended.output.append(buffer, read);
    }
  };
  const Clock::time_point end = Clock::now() + deadline;
  for (;;) {
    drain();
    if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) break;
    if (Clock::now() >= end) {
      TerminateProcess(process.get(), 0xdead);
      WaitForSingleObject(process.get(), INFINITE);
      break;
    }
  }
  drain();
  GetExitCodeProcess(process.get(), &ended.exit_code);
  return ended;
}

std::wstring WindowsPath(const char* build_path) {
  std::wstring out;
  for (const char* c = build_path; *c; ++c) {
    out.push_back(*c == '/' ? L'\\' : static_cast<WCHAR>(*c));
  }
  return out;
}

std::wstring InstallDirectory() {
  WCHAR program_files[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, program_files);
  return Join(program_files, L"Tarvex\\DPAL");
}

std::wstring InstalledImage() { return Join(InstallDirectory(), L"TarvexDPALLoader.exe"); }

std::wstring InstalledProfileProgram() {
  return Join(InstallDirectory(), L"TarvexDPALProfile.exe");
}

std::wstring ColourDirectory() {
  WCHAR system[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system);
  return Join(system, L"spool\\drivers\\color");
}

std::string ResetMachine() {
  std::string error = RemoveService();
  auto keep_first = [&error](const std::string& e) {
    if (error.empty()) error = e;
  };
  // The SCM deletes the service key with the service; whatever else was written there (a test
  // that wrote settings without registering) goes here.
  keep_first(DeleteTree(layout::kServiceKey));
  keep_first(DeleteTree(std::wstring(kEnumKey) + L"\\SWD\\TARVEXDPAL"));
  {
    UniqueKey bios;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kBiosKey, 0, KEY_SET_VALUE, bios.Put()) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(bios.get(), layout::kBiosVersionValue);
    }
  }
  keep_first(UntrustTestRoots());
  keep_first(RemoveDirectoryFiles(InstallDirectory()));
  keep_first(RemoveFile(Join(ColourDirectory(), std::wstring(kSdrEntry) + L".icm")));
  keep_first(RemoveFile(Join(ColourDirectory(), std::wstring(kHdrEntry) + L".icm")));
  return error;
}

std::string InstallFiles(const std::wstring& image, const std::wstring& profile_program) {
  if (std::string e = MakeDirectory(InstallDirectory()); !e.empty()) return e;
  if (!CopyFileW(image.c_str(), InstalledImage().c_str(), FALSE)) {
    return Failed("CopyFileW", image, GetLastError());
  }
  if (!profile_program.empty() &&
      !CopyFileW(profile_program.c_str(), InstalledProfileProgram().c_str(), FALSE)) {
    return Failed("CopyFileW", profile_program, GetLastError());
  }
  return "";
}

std::string RegisterService(DWORD start_type, const std::wstring& image, const WCHAR* name) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return Failed("OpenSCManagerW", GetLastError());
  const std::wstring command = L"\"" + image + L"\"";
  UniqueScHandle service(CreateServiceW(
      manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start_type,
      SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return Failed("CreateServiceW", GetLastError());
  return "";
}

std::string AddSoftwareDevice(const std::wstring& hardware_id) {
  const std::wstring key = std::wstring(kEnumKey) + L"\\" + kDeviceInstance;
  if (std::string e = SetMultiString(key, L"HardwareID", hardware_id); !e.empty()) return e;
  return SetString(key, L"ClassGUID", kSoftwareComponentClass);
}

std::string SetFirmwareVersion(const std::wstring& text) {
  // HARDWARE is volatile: a key created below it must be volatile too.
  return SetString(layout::kBiosKey, layout::kBiosVersionValue, text, REG_SZ, REG_OPTION_VOLATILE);
}

std::string WriteSettings(const std::wstring& prefixes, DWORD prefixes_type) {
  const std::wstring key = layout::kSettingsKey;
  std::string e =
      prefixes_type == REG_MULTI_SZ
          ? SetMultiString(key, layout::kSupportedBiosPrefixValue, prefixes)
          : SetString(key, layout::kSupportedBiosPrefixValue, prefixes.c_str(), prefixes_type);
  if (!e.empty()) return e;
  if (e = SetString(key, layout::kSdrVersionValue, kSdrVersion); !e.empty()) return e;
  return SetString(key, layout::kHdrVersionValue, kHdrVersion);
}

std::string WriteCatalogue() {
  try {
    if (std::string e = MakeDirectory(ColourDirectory()); !e.empty()) return e;
    if (std::string e = WriteProfile(kSdrEntry, 1, dpal::test::SdrProfile()); !e.empty()) return e;
    return WriteProfile(kHdrEntry, 2, dpal::test::HdrProfile());
  } catch (const std::exception& e) {
    return std::string("reading the profile fixtures: ") + e.what();
  }
}

std::string PrepareQualifyingMachine() {
  if (std::string e = AddSoftwareDevice(); !e.empty()) return e;
  if (std::string e = SetFirmwareVersion(kSupportedFirmware); !e.empty()) return e;
  if (std::string e = WriteSettings(); !e.empty()) return e;
  return WriteCatalogue();
}

std::string WriteMachineApplyState(DWORD value) {
  return SetDword(layout::kMachineApplyStateKey, layout::kStateValue, value);
}

std::string SetInstallState(DWORD value) {
  return SetDword(layout::kInstallStateKey, layout::kStateValue, value);
}

DWORD InstallState() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue,
                   RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0xFFFFFFFF;
  }
  return value;
}

std::string TrustRoot(const std::wstring& der_file) {
  std::ifstream in(Narrow(der_file), std::ios::binary);
  if (!in) return "cannot read " + Narrow(der_file);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return Failed("CertOpenStore(Root)", GetLastError());
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  return added ? "" : Failed("CertAddEncodedCertificateToStore", der_file, error);
}

std::wstring StandInRecordFile() { return Join(InstallDirectory(), L"TarvexDPALProfile.record"); }

ULONGLONG StandInRecordWriteTime() {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(StandInRecordFile().c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

std::vector<StandInRun> StandInRuns() {
  std::string bytes;
  {
    UniqueFile file(CreateFileW(StandInRecordFile().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      bytes.append(buffer, read);
    }
  }
  return standin::ParseRecord(bytes);
}

std::vector<StandInRun> WaitForStandInRuns(size_t count, milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    std::vector<StandInRun> runs = StandInRuns();
    if (runs.size() >= count || Clock::now() > end) return runs;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

Service::Service(const WCHAR* name) {
  manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager_) {
    error_ = Failed("OpenSCManagerW", GetLastError());
    return;
  }
  service_.reset(OpenServiceW(manager_.get(), name, SERVICE_ALL_ACCESS));
  if (!service_) error_ = Failed("OpenServiceW", GetLastError());
}

std::string Service::Start() {
  if (StartServiceW(service_.get(), 0, nullptr)) return "";
  return Failed("StartServiceW", GetLastError());
}

SERVICE_STATUS_PROCESS Service::Status() const {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
    status = {};
  }
  return status;
}

DWORD Service::StartType() const {
  DWORD needed = 0;
  if (QueryServiceConfigW(service_.get(), nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return 0xFFFFFFFF;
  }
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service_.get(), config, needed, &needed)) return 0xFFFFFFFF;
  return config->dwStartType;
}

std::string Service::SetStartType(DWORD start_type) {
  if (ChangeServiceConfigW(service_.get(), SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return "";
  }
  return Failed("ChangeServiceConfigW", GetLastError());
}

std::string Service::Control(DWORD code, SERVICE_STATUS* status) {
  SERVICE_STATUS answered = {};
  if (!ControlService(service_.get(), code, &answered)) {
    return Failed("ControlService(" + std::to_string(code) + ")", GetLastError());
  }
  if (status != nullptr) *status = answered;
  return "";
}

bool Service::WaitForState(DWORD state, milliseconds deadline, std::vector<DWORD>* seen,
                           SERVICE_STATUS_PROCESS* last) const {
  const auto start = Clock::now();
  const auto end = start + deadline;
  // Polled without a pause at first, to catch states that last only milliseconds; a state that
  // has held for a while is then polled every few milliseconds.
  const auto fast_until = start + milliseconds(500);
  DWORD previous = 0;
  for (;;) {
    const SERVICE_STATUS_PROCESS status = Status();
    if (last != nullptr) *last = status;
    if (status.dwCurrentState != previous) {
      previous = status.dwCurrentState;
      if (seen != nullptr && (seen->empty() || seen->back() != previous)) seen->push_back(previous);
    }
    if (status.dwCurrentState == state) return true;
    const auto now = Clock::now();
    if (now > end) return false;
    if (now > fast_until) std::this_thread::sleep_for(milliseconds(5));
  }
}

std::string DescribeStates(const std::vector<DWORD>& states) {
  std::string out;
  for (DWORD state : states) {
    if (!out.empty()) out += " -> ";
    switch (state) {
      case SERVICE_STOPPED: out += "STOPPED"; break;
      case SERVICE_START_PENDING: out += "START_PENDING"; break;
      case SERVICE_STOP_PENDING: out += "STOP_PENDING"; break;
      case SERVICE_RUNNING: out += "RUNNING"; break;
      case 0: out += "(query failed)"; break;
      default: out += std::to_string(state); break;
    }
  }
  return out.empty() ? "(none)" : out;
}

}  // namespace dpal::e2e
