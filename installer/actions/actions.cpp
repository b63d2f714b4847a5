// The MSI's custom actions: what the installer engine cannot do by itself, in the order the
// development installer does it. At install: the software device with its driver package, then
// the two scheduled tasks. At removal: the uninstaller's device-removal run, the withdrawal of
// the installer's owner, and the start of the uninstall task (the final cleanup), which the
// action waits for. Each action writes one line of what it did into the installer's log, and a
// failure ends the action with an error message there (the installer then rolls back).
#include "platform/win32.h"

// The installer engine's interface and the driver installation, which only the custom actions
// use.
#include <msi.h>
#include <msiquery.h>
#include <newdev.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/com.h"
#include "common/handles.h"
#include "common/module.h"
#include "installer/owners.h"
#include "installer/package_items.h"
#include "loader/shared/device_lookup.h"

// MinGW's setupapi.h does not declare it; its import library has it.
extern "C" DECLSPEC_IMPORT BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA,
                                                                 const DEVPROPKEY*, DEVPROPTYPE,
                                                                 const BYTE*, DWORD, DWORD);

namespace {

using Clock = std::chrono::steady_clock;
using dpal::UniqueBstr;
using dpal::UniqueCom;

// The software component device class, which the driver package names.
const GUID kSoftwareComponentClass = {
    0x5c4c3332, 0x344d, 0x483c, {0x87, 0x39, 0x25, 0x9e, 0x93, 0x4c, 0x9c, 0xc8}};

// The two task definitions. The user agent runs the per-user program at every logon, as the
// user who logs on; the uninstall task has no trigger: the installer starts it at removal, and
// it runs the uninstaller as LocalSystem with the switch of the final cleanup.
std::wstring UserAgentTaskXml(const std::wstring& program) {
  return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
         L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
         L"  <Triggers><LogonTrigger><Enabled>true</Enabled></LogonTrigger></Triggers>\n"
         L"  <Principals><Principal id=\"Author\"><GroupId>S-1-5-32-545</GroupId>"
         L"<RunLevel>LeastPrivilege</RunLevel></Principal></Principals>\n"
         L"  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
         L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
         L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
         L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit></Settings>\n"
         L"  <Actions Context=\"Author\"><Exec><Command>\"" +
         program +
         L"\"</Command></Exec></Actions>\n"
         L"</Task>\n";
}

std::wstring UninstallTaskXml(const std::wstring& uninstaller) {
  return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
         L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
         L"  <Principals><Principal id=\"Author\"><UserId>S-1-5-18</UserId>"
         L"<RunLevel>HighestAvailable</RunLevel></Principal></Principals>\n"
         L"  <Settings><AllowStartOnDemand>true</AllowStartOnDemand>"
         L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
         L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
         L"<ExecutionTimeLimit>PT10M</ExecutionTimeLimit></Settings>\n"
         L"  <Actions Context=\"Author\"><Exec><Command>\"" +
         uninstaller +
         L"\"</Command><Arguments>-checkremoval</Arguments></Exec></Actions>\n"
         L"</Task>\n";
}

std::wstring Hex(unsigned long value) {
  WCHAR text[16] = {};
  StringCchPrintfW(text, 16, L"0x%08lX", value);
  return text;
}

// One line in the installer's log.
void Say(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  const std::wstring line = L"TarvexDPAL: " + text;
  MsiRecordSetStringW(record, 0, line.c_str());
  MsiProcessMessage(install, kind, record);
}

UINT Done(MSIHANDLE install, const std::wstring& what) {
  Say(install, INSTALLMESSAGE_INFO, what);
  return ERROR_SUCCESS;
}

UINT Fail(MSIHANDLE install, const std::wstring& what) {
  Say(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK), what);
  return ERROR_INSTALL_FAILURE;
}

// "C:\Program Files\Tarvex\DPAL\<file>", where the package expects its files (the uninstaller
// builds the same path); empty when the Program Files folder cannot be had.
std::wstring Installed(const WCHAR* file) {
  WCHAR program_files[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                              program_files))) {
    return L"";
  }
  return std::wstring(program_files) + L"\\" + dpal::installer::kInstallSubdirectory + L"\\" + file;
}

bool DevicePresent() {
  dpal::CSoftwareDeviceLookup lookup(dpal::kSoftwareDeviceHardwareId);
  const bool found = lookup.found();
  lookup.ReleaseDeviceLookup();
  return found;
}

// The driver INF the device reports, as the package's lookup reads it; empty when none.
std::wstring DeviceInfPath() {
  dpal::CSoftwareDeviceLookup lookup(dpal::kSoftwareDeviceHardwareId);
  std::wstring path = lookup.found() ? lookup.inf_path() : L"";
  lookup.ReleaseDeviceLookup();
  return path;
}

// The device node: created and registered with its hardware ID, so that it is present. On
// success `set` and `device` designate it.
std::wstring CreateDeviceNode(dpal::UniqueDeviceInfoSet& set, SP_DEVINFO_DATA& device) {
  set.reset(SetupDiCreateDeviceInfoList(&kSoftwareComponentClass, nullptr));
  if (!set) return L"SetupDiCreateDeviceInfoList failed with " + Hex(GetLastError());
  device = {};
  device.cbSize = sizeof(device);
  if (!SetupDiCreateDeviceInfoW(set.get(), L"SoftwareComponent", &kSoftwareComponentClass, nullptr,
                                nullptr, DICD_GENERATE_ID, &device)) {
    return L"SetupDiCreateDeviceInfoW failed with " + Hex(GetLastError());
  }
  // The hardware IDs as a multi-string: the ID, its terminator and the empty entry.
  std::wstring ids = dpal::kSoftwareDeviceHardwareId;
  ids.append(2, L'\0');
  if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE*>(ids.data()),
                                         static_cast<DWORD>(ids.size() * sizeof(WCHAR)))) {
    return L"setting the hardware ID failed with " + Hex(GetLastError());
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device)) {
    return L"registering the device failed with " + Hex(GetLastError());
  }
  return L"";
}

// The Task Scheduler's root folder, reached on COM initialised for the owner's life.
class SchedulerRoot {
 public:
  // Empty on success, else what failed.
  std::wstring Connect() {
    if (!com_.Initialize(COINIT_MULTITHREADED)) {
      return L"COM could not be initialised: " + Hex(com_.result());
    }
    HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITaskService, reinterpret_cast<void**>(service_.Put()));
    if (FAILED(hr)) return L"the Task Scheduler is not available: " + Hex(hr);
    const VARIANT empty = Empty();
    if (FAILED(hr = service_.get()->Connect(empty, empty, empty, empty))) {
      return L"connecting to the Task Scheduler failed: " + Hex(hr);
    }
    if (FAILED(
            hr = service_.get()->GetFolder(UniqueBstr(SysAllocString(L"\\")).get(), root_.Put()))) {
      return L"the Task Scheduler's root folder is not available: " + Hex(hr);
    }
    return L"";
  }
  ITaskFolder* root() const { return root_.get(); }
  // The empty VARIANT the scheduler takes for an argument left out.
  static VARIANT Empty() {
    VARIANT empty;
    VariantInit(&empty);
    return empty;
  }

 private:
  dpal::ComInitialization com_;  // first: ends last
  UniqueCom<ITaskService> service_;
  UniqueCom<ITaskFolder> root_;
};

using UpdateDriverFunction = BOOL(WINAPI*)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

}  // namespace

// The driver package into the driver store and the software device with it. A device already
// present (a repair, a second install) is kept as it is.
extern "C" UINT __stdcall DpalInstallDevice(MSIHANDLE install) {
  if (DevicePresent()) return Done(install, L"the software device is present already");
  const std::wstring inf = Installed(dpal::installer::kDriverPackageFile);
  if (inf.empty()) return Fail(install, L"the Program Files folder is not available");
  WCHAR oem_path[MAX_PATH] = {};
  PWSTR oem_name = nullptr;
  if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, oem_path, MAX_PATH, nullptr,
                        &oem_name)) {
    return Fail(install, L"the driver package " + inf +
                             L" could not be added: SetupCopyOEMInfW "
                             L"failed with " +
                             Hex(GetLastError()));
  }
  dpal::UniqueDeviceInfoSet set;
  SP_DEVINFO_DATA device = {};
  if (std::wstring e = CreateDeviceNode(set, device); !e.empty()) {
    return Fail(install, L"the software device could not be created: " + e);
  }
  // The driver of the package on the new device. Where the system installs none (it leaves the
  // device without its driver INF), the device is given the package's INF as its driver INF.
  dpal::UniqueModule newdev = dpal::LoadSystemLibrary(L"newdev.dll");
  auto update = dpal::ExportOf<UpdateDriverFunction>(newdev, "UpdateDriverForPlugAndPlayDevicesW");
  BOOL restart = FALSE;
  DWORD update_error = ERROR_PROC_NOT_FOUND;
  if (update != nullptr) {
    update_error =
        update(nullptr, dpal::kSoftwareDeviceHardwareId, oem_path, INSTALLFLAG_FORCE, &restart)
            ? ERROR_SUCCESS
            : GetLastError();
  }
  std::wstring how = L"installed on it by the system";
  if (DeviceInfPath().empty()) {
    how = L"set as its driver INF (the system installed none: " + Hex(update_error) + L")";
    const std::wstring name = oem_name != nullptr ? oem_name : L"";
    if (!SetupDiSetDevicePropertyW(set.get(), &device, &DEVPKEY_Device_DriverInfPath,
                                   DEVPROP_TYPE_STRING, reinterpret_cast<const BYTE*>(name.c_str()),
                                   static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)), 0)) {
      return Fail(install,
                  L"the driver could not be installed on the software device "
                  L"(UpdateDriverForPlugAndPlayDevicesW: " +
                      Hex(update_error) + L", the driver INF property: " + Hex(GetLastError()) +
                      L")");
    }
  }
  if (!DevicePresent()) return Fail(install, L"the software device is not present once created");
  return Done(install, L"the software device is present with the driver package " +
                           std::wstring(oem_path) + L", " + how);
}

// The per-user agent's task and the uninstall task, in the package's task folder (created with
// the maker's folder when missing); a task already there is replaced.
extern "C" UINT __stdcall DpalRegisterTasks(MSIHANDLE install) {
  const std::wstring program = Installed(dpal::installer::kProfileProgramFile);
  const std::wstring uninstaller = Installed(dpal::installer::kUninstallerFile);
  if (program.empty()) return Fail(install, L"the Program Files folder is not available");
  SchedulerRoot scheduler;
  if (std::wstring e = scheduler.Connect(); !e.empty()) return Fail(install, e);
  ITaskFolder* root = scheduler.root();
  const VARIANT empty = SchedulerRoot::Empty();
  HRESULT hr = S_OK;
  struct Task {
    const WCHAR* path;
    std::wstring xml;
    TASK_LOGON_TYPE logon;
  };
  const Task tasks[] = {
      {dpal::installer::kUserAgentTaskPath, UserAgentTaskXml(program), TASK_LOGON_GROUP},
      {dpal::installer::kUninstallTaskPath, UninstallTaskXml(uninstaller),
       TASK_LOGON_SERVICE_ACCOUNT},
  };
  for (const Task& task : tasks) {
    UniqueCom<IRegisteredTask> registered;
    hr = root->RegisterTask(UniqueBstr(SysAllocString(task.path)).get(),
                            UniqueBstr(SysAllocString(task.xml.c_str())).get(),
                            TASK_CREATE_OR_UPDATE, empty, empty, task.logon, empty,
                            registered.Put());
    if (FAILED(hr)) {
      return Fail(install,
                  L"the task " + std::wstring(task.path) + L" could not be registered: " + Hex(hr));
    }
  }
  return Done(install, L"the tasks " + std::wstring(dpal::installer::kUserAgentTaskPath) +
                           L" and " + dpal::installer::kUninstallTaskPath + L" are registered");
}

// The uninstaller's device-removal run, as the administrator who removes the package; it takes
// the software device and its driver package away. The run itself answers 0 whatever it
// achieved: a device still present afterwards (a removal that completes at the next restart)
// is written into the log, and the final cleanup then waits for a later run.
extern "C" UINT __stdcall DpalRunDeviceRemoval(MSIHANDLE install) {
  const std::wstring uninstaller = Installed(dpal::installer::kUninstallerFile);
  if (uninstaller.empty()) return Fail(install, L"the Program Files folder is not available");
  std::wstring command = L"\"" + uninstaller + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created = {};
  if (!CreateProcessW(uninstaller.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &created)) {
    return Fail(install, L"the uninstaller " + uninstaller + L" could not be started: " +
                             Hex(GetLastError()));
  }
  dpal::UniqueHandle process(created.hProcess);
  dpal::UniqueHandle thread(created.hThread);
  if (WaitForSingleObject(process.get(), 5 * 60 * 1000) != WAIT_OBJECT_0) {
    return Fail(install, L"the uninstaller's device-removal run did not end within 5 minutes");
  }
  DWORD exit_code = 0;
  GetExitCodeProcess(process.get(), &exit_code);
  if (exit_code != 0) {
    return Fail(install, L"the uninstaller's device-removal run ended with " + Hex(exit_code));
  }
  if (DevicePresent()) {
    Say(install, INSTALLMESSAGE_WARNING,
        L"the software device is still present after the device-removal run (a restart may "
        L"complete its removal); the final cleanup waits until it is gone");
    return ERROR_SUCCESS;
  }
  return Done(install, L"the device-removal run ended; the software device is gone");
}

// The installer's owner out of "Owners"; other owners stay.
extern "C" UINT __stdcall DpalWithdrawOwner(MSIHANDLE install) {
  if (LSTATUS status = dpal::installer::WithdrawOwner(dpal::installer::kInstallerOwnerName)) {
    return Fail(install, L"the owner " + std::wstring(dpal::installer::kInstallerOwnerName) +
                             L" could not be withdrawn: " + Hex(status));
  }
  return Done(install, L"the owner " + std::wstring(dpal::installer::kInstallerOwnerName) +
                           L" is withdrawn");
}

// Starts the uninstall task and waits until its run has ended: the final cleanup deletes the
// task, and last of all moves the uninstaller's image out of the install directory. A task that
// is gone already means that the final cleanup ran. A run that ends without cleaning up (the
// device still present, another owner registered) leaves the task; after the wait the removal
// goes on with a warning, as the package stays wanted.
extern "C" UINT __stdcall DpalStartUninstallTask(MSIHANDLE install) {
  const std::wstring uninstaller = Installed(dpal::installer::kUninstallerFile);
  if (uninstaller.empty()) return Fail(install, L"the Program Files folder is not available");
  SchedulerRoot scheduler;
  if (std::wstring e = scheduler.Connect(); !e.empty()) return Fail(install, e);
  ITaskFolder* root = scheduler.root();
  const VARIANT empty = SchedulerRoot::Empty();
  HRESULT hr = S_OK;
  const UniqueBstr path(SysAllocString(dpal::installer::kUninstallTaskPath));
  auto task_gone = [&](HRESULT* error) {
    UniqueCom<IRegisteredTask> task;
    *error = root->GetTask(path.get(), task.Put());
    return *error == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
           *error == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  };
  if (task_gone(&hr)) return Done(install, L"the uninstall task is gone: the final cleanup ran");
  {
    UniqueCom<IRegisteredTask> task;
    if (FAILED(hr = root->GetTask(path.get(), task.Put()))) {
      return Fail(install, L"the uninstall task cannot be read: " + Hex(hr));
    }
    UniqueCom<IRunningTask> running;
    if (FAILED(hr = task.get()->Run(empty, running.Put()))) {
      return Fail(install, L"the uninstall task could not be started: " + Hex(hr));
    }
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::minutes(2);
  while (Clock::now() < deadline) {
    if (task_gone(&hr) && GetFileAttributesW(uninstaller.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return Done(install, L"the final cleanup ran");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Say(install, INSTALLMESSAGE_WARNING,
      L"the final cleanup did not run within 2 minutes (the software device is still present, "
      L"or another owner is registered); the package's tasks stay");
  return ERROR_SUCCESS;
}
