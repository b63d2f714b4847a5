// The checks of the MSI's tests, run in the prefix the MSI was installed into (tests/wine/msi_test
// drives them between its msiexec runs). Each check prints what it found wrong, one line each,
// and exits with 1 when anything was; 0 when all held.
//
//   msi_checks installed          the installed layout: files, service, keys, catalogue, tasks,
//                                 software device and its driver INF
//   msi_checks trust ROOT.der     trusts the publisher's root on the machine
//   msi_checks running            the service started on a qualifying firmware runs with its
//                                 start type as installed; then the installed core library's
//                                 client and the installed tool against it; the service stopped
//                                 at the end
//   msi_checks product-code       prints the product code the package is installed under
//   msi_checks stand-ins          what Wine cannot run of the removal, done in its place
#include <cstdio>
#include <string>
#include <vector>

#include "common/com.h"
#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "harness/installed_package.h"
#include "installer/package_items.h"
#include "loader/catalogue.h"
#include "loader/shared/device_lookup.h"
#include "loader/shared/registry.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::e2e {
namespace {

using namespace std::chrono_literals;

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::printf("FAIL %s\n", what.c_str());
}

void ExpectEmpty(const std::string& error, const std::string& what) {
  Expect(error.empty(), what + ": " + error);
}

std::wstring Installed(const WCHAR* file) { return InstallDirectory() + L"\\" + file; }

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool HasTask(ITaskFolder* root, const WCHAR* path) {
  UniqueCom<IRegisteredTask> task;
  return SUCCEEDED(root->GetTask(UniqueBstr(SysAllocString(path)).get(), task.Put()));
}

// The Task Scheduler's root folder, on a COM initialisation the caller keeps.
UniqueCom<ITaskFolder> TaskRoot(ComInitialization& com, UniqueCom<ITaskService>& service) {
  UniqueCom<ITaskFolder> root;
  VARIANT empty;
  VariantInit(&empty);
  if (com.Initialize(COINIT_MULTITHREADED) &&
      SUCCEEDED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_ITaskService, reinterpret_cast<void**>(service.Put()))) &&
      SUCCEEDED(service.get()->Connect(empty, empty, empty, empty))) {
    service.get()->GetFolder(UniqueBstr(SysAllocString(L"\\")).get(), root.Put());
  }
  return root;
}

void CheckInstalled() {
  for (const WCHAR* file :
       {L"TarvexDPALLoader.exe", L"TarvexDPALProfile.exe", L"DPALCore.dll", L"SetDPALProfile.exe",
        L"TarvexDPALUninstaller.exe", L"TarvexDPAL.inf"}) {
    Expect(Exists(Installed(file)), "installed file " + Narrow(Installed(file)));
  }
  // The service as registered: own process, automatic start, LocalSystem, the installed image.
  Service service;
  ExpectEmpty(service.error(), "opening the service");
  if (service.error().empty()) {
    Expect(service.StartType() == SERVICE_AUTO_START, "the service's start type is automatic");
    Expect(service.Status().dwCurrentState == SERVICE_STOPPED, "the service is not started");
    DWORD needed = 0;
    QueryServiceConfigW(service.handle(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.handle(), config, static_cast<DWORD>(buffer.size()), &needed)) {
      Expect(config->dwServiceType == SERVICE_WIN32_OWN_PROCESS, "an own-process service");
      Expect(config->lpServiceStartName != nullptr &&
                 lstrcmpiW(config->lpServiceStartName, L"LocalSystem") == 0,
             "the service's account is LocalSystem");
      const std::wstring image = config->lpBinaryPathName;
      Expect(image.find(InstalledImage()) != std::wstring::npos,
             "the service's image is " + Narrow(InstalledImage()) + ", not " + Narrow(image));
    } else {
      Expect(false, "QueryServiceConfigW failed with " + std::to_string(GetLastError()));
    }
  }
  // The keys the installer writes for the package, with their types.
  const auto owners =
      ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue);
  Expect(owners == std::vector<std::wstring>{installer::kInstallerOwnerName},
         "\"Owners\" holds the installer's owner alone (" + std::to_string(owners.size()) +
             " entries)");
  Expect(InstallState() == 0, "the install state is 0 (pending)");
  const auto prefixes = ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey,
                                             layout::kSupportedBiosPrefixValue);
  Expect(prefixes == std::vector<std::wstring>{L"K2A", L"T9P"},
         "\"SupportedBIOSPrefix\" is the multi-string K2A, T9P");
  Expect(
      ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSdrVersionValue) == L"3",
      "\"SDRVersion\" is 3");
  Expect(
      ReadStringValue(HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kHdrVersionValue) == L"1",
      "\"HDRVersion\" is 1");
  // The catalogue as the service judges it: entries, versions and every file's digest.
  Expect(VerifyProfileCatalogue() == CatalogueStatus::Verified,
         "the service finds the catalogue and its profile files intact");
  // The two tasks.
  ComInitialization com;
  UniqueCom<ITaskService> scheduler;
  UniqueCom<ITaskFolder> root = TaskRoot(com, scheduler);
  Expect(static_cast<bool>(root), "the Task Scheduler's root folder");
  if (root) {
    Expect(HasTask(root.get(), installer::kUserAgentTaskPath), "the user agent's task");
    Expect(HasTask(root.get(), installer::kUninstallTaskPath), "the uninstall task");
  }
  // The software device, found by the package's own lookup, with its driver INF on disk.
  CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
  Expect(lookup.found(), "the software device is present");
  if (lookup.found()) {
    Expect(lookup.inf_path()[0] != L'\0' && Exists(lookup.inf_path()),
           "the device's driver INF " + Narrow(lookup.inf_path()) + " exists");
  }
  lookup.ReleaseDeviceLookup();
}

// The machine apply-state key exists once a client has written it; the service watches it from
// its start, so the client writes it first.
void CheckRunning() {
  const std::wstring library = Installed(L"DPALCore.dll");
  HMODULE dll = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  Expect(dll != nullptr, "loading " + Narrow(library));
  if (dll == nullptr) return;
  const auto save = reinterpret_cast<decltype(&::SaveCurrentApplyStatus)>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "SaveCurrentApplyStatus")));
  Expect(save != nullptr, "SaveCurrentApplyStatus is exported");
  if (save == nullptr) return;
  Expect(save(3, 0) == 1, "SaveCurrentApplyStatus(3, 0) before the start");

  ExpectEmpty(SetFirmwareVersion(kSupportedFirmware), "writing the firmware version");
  Service service;
  ExpectEmpty(service.error(), "opening the service");
  if (!service.error().empty()) return;
  ExpectEmpty(service.Start(), "starting the service");
  Expect(service.WaitForState(SERVICE_RUNNING, 20s), "the service runs");
  // One that does not qualify (no device, an unsupported firmware, no settings) stops within
  // milliseconds of RUNNING and turns itself to demand start; one still running well after has
  // started its watch of the apply state.
  Expect(!service.WaitForState(SERVICE_STOPPED, 1500ms), "the service keeps running");
  Expect(service.StartType() == SERVICE_AUTO_START, "the start type stays automatic");

  // The machine's apply state on and off through the installed core library: the service
  // launches the installed per-user program with the switch of each change.
  const std::wstring program = InstalledProfileProgram();
  for (DWORD state : {1u, 0u}) {
    const size_t before = StandInRuns().size();
    Expect(save(3, state) == 1, "SaveCurrentApplyStatus(3, " + std::to_string(state) + ")");
    const auto runs = WaitForStandInRuns(before + 1, 20s);
    const std::wstring expected = program + (state == 1 ? L" /ss" : L" /rs");
    Expect(
        runs.size() == before + 1 && runs.back().at("command_line") == expected,
        "the service launched " + Narrow(expected) + " (" + std::to_string(runs.size()) + " runs)");
  }
  // The user's apply state too, so that the user's tree exists for the removal.
  Expect(save(2, 0) == 1, "SaveCurrentApplyStatus(2, 0)");
  FreeLibrary(dll);

  // The installed tool: with both apply states off its base verification has nothing to do.
  const Ended tool =
      RunCapturingOutput(Installed(L"SetDPALProfile.exe"),
                         L" /baseverify 1 QXLCD_DynaPanel_V4_S.icm QXLCD_DynaPanel_V3_S.icm", 60s);
  Expect(tool.exit_code == 0 && tool.output.empty(),
         "the installed tool's /baseverify with both states off exits with 0 (" +
             std::to_string(tool.exit_code) + ")");
  ExpectEmpty(service.Control(SERVICE_CONTROL_STOP), "stopping the service");
  Expect(service.WaitForState(SERVICE_STOPPED, 20s), "the service stopped");
}

// What the removal needs that Wine cannot run, done here in its place, and the test's own file:
//  - the device-removal run with the device present (DiUninstallDevice aborts under Wine): the
//    device node and its driver INF go;
//  - the final cleanup as LocalSystem (no process is LocalSystem under Wine, nor can Wine run a
//    task): of what it removes, the scheduled tasks and the users' keys are not the MSI's own;
//  - the stand-in per-user program's record beside it.
void StandIns() {
  std::wstring inf;
  {
    CSoftwareDeviceLookup lookup(kSoftwareDeviceHardwareId);
    Expect(lookup.found(), "the software device is present before the removal");
    if (lookup.found()) {
      inf = lookup.inf_path();
      SP_DEVINFO_DATA device = lookup.device();
      Expect(SetupDiCallClassInstaller(DIF_REMOVE, lookup.device_set(), &device) != FALSE,
             "removing the device node");
    }
    lookup.ReleaseDeviceLookup();
  }
  if (!inf.empty()) {
    Expect(DeleteFileW(inf.c_str()) != FALSE, "deleting " + Narrow(inf));
    std::wstring pnf = inf.substr(0, inf.size() - 3) + L"pnf";
    DeleteFileW(pnf.c_str());
  }
  Expect(uninstaller::DeleteScheduledTasks(), "the final cleanup's task step");
  Expect(uninstaller::CleanUserHives(), "the final cleanup's user step");
  DeleteFileW(StandInRecordFile().c_str());
}

// The product code the installer engine registered the package under, from its entry among
// the installed programs ("DisplayName" Tarvex DPAL); empty when there is none.
std::wstring ProductCode() {
  constexpr const WCHAR kUninstallKey[] =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  std::vector<std::wstring> names;
  EnumerateSubKeys(HKEY_LOCAL_MACHINE, kUninstallKey, names);
  for (const std::wstring& name : names) {
    if (ReadStringValue(HKEY_LOCAL_MACHINE, std::wstring(kUninstallKey) + L"\\" + name,
                        L"DisplayName") == L"Tarvex DPAL") {
      return name;
    }
  }
  return L"";
}

}  // namespace
}  // namespace dpal::e2e

int wmain(int argc, wchar_t** argv) {
  using namespace dpal::e2e;
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"trust" && argc > 2) {
    ExpectEmpty(TrustRoot(argv[2]), "trusting the publisher's root");
  } else if (command == L"installed") {
    CheckInstalled();
  } else if (command == L"running") {
    // One process: Wine ends a service shortly after the last ordinary process has ended.
    CheckRunning();
  } else if (command == L"product-code") {
    const std::wstring code = ProductCode();
    if (code.empty()) return 1;
    std::printf("%s\n", Narrow(code).c_str());
  } else if (command == L"stand-ins") {
    StandIns();
  } else {
    std::printf(
        "usage: msi_checks trust ROOT.der | installed | running | product-code | stand-ins\n");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
