#include "harness/installer.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/registry_layout.h"
#include "harness/registry_writer.h"
#include "installer/owners.h"
#include "uninstaller/flow.h"

namespace dpal::installer {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("installer: ") + what);
}

// The files of the package that are the outside installer's own, as opposed to the installed
// uninstaller file, which the uninstaller deletes itself.
std::vector<std::wstring> OwnFiles() {
  return {laptop::kServiceImage, laptop::kProfileProgram, laptop::kCoreLibrary,
          laptop::kToolProgram};
}

void PutSigned(const std::wstring& path, const char* program) {
  sim::PutFile(path, sim::ProgramBytes(program));
  sim::SignFile(path, laptop::Publisher());
}

void WriteOwners(const std::vector<std::wstring>& owners) {
  test::RegistryWriter service;
  Check(service.Create(HKEY_LOCAL_MACHINE, layout::kServiceKey) == ERROR_SUCCESS &&
            service.MultiString(layout::kOwnersValue, owners) == ERROR_SUCCESS,
        "writing Owners");
}

// Stops the service if it runs and waits for it to stop (10 s at most), then deletes it.
void DeleteLoaderService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  Check(manager != nullptr, "opening the service manager");
  SC_HANDLE service = OpenServiceW(manager, laptop::kServiceName.c_str(),
                                   SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    Check(error == ERROR_SERVICE_DOES_NOT_EXIST, "opening the service");
    return;
  }
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const bool deleted = DeleteService(service) != FALSE;
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  Check(deleted, "deleting the service");
}

}  // namespace

void InstallPackage(const laptop::Options& options) {
  laptop::Provision(options);
  PutSigned(laptop::kCoreLibrary, "DPALCore");
  PutSigned(laptop::kToolProgram, "SetDPALProfile");
  sim::AddDriverPackage(laptop::kDriverInf);
  sim::PutScheduledTask(kUserAgentTask, sim::TaskXml(laptop::kProfileProgram));
  sim::PutScheduledTask(kUninstallTask, sim::TaskXml(kUninstallerImage + L" -checkremoval"));
  PutSigned(kUninstallerImage, "TarvexDPALUninstaller");
  sim::RegisterProgram(kUninstallerImage, [](const sim::Launch&) -> DWORD {
    return static_cast<DWORD>(dpal::uninstaller::RunUninstallerProcess());
  });
  WriteOwners({kInstallerOwner});
}

int RunUninstaller(sim::Identity identity, const std::wstring& arguments,
                   const uninstaller::Routines& routines) {
  identity.image_path = kUninstallerImage;
  identity.command_line = L"\"" + kUninstallerImage + L"\"" + arguments;
  return sim::RunProcess(identity, identity.command_line, [&routines] {
    return dpal::uninstaller::RunUninstallerProcess(routines);
  });
}

int RunDeviceRemoval(const uninstaller::Routines& routines) {
  sim::Identity administrator = sim::DefaultAdmin();
  administrator.user_name = kAdministratorName;
  return RunUninstaller(administrator, L"", routines);
}

int RunFinalCleanup(const uninstaller::Routines& routines) {
  return RunUninstaller(sim::LocalSystem(), L" -checkremoval", routines);
}

void WithdrawOwner() {
  Check(installer::WithdrawOwner(kInstallerOwnerName) == ERROR_SUCCESS, "withdrawing the owner");
}

void RemovePackage() {
  DeleteLoaderService();
  for (const std::wstring& file : OwnFiles()) {
    if (sim::FileExists(file)) Check(DeleteFileW(file.c_str()) != FALSE, "deleting a file");
  }
  // Only an empty directory goes; one that still holds a file stays.
  RemoveDirectoryW(laptop::kInstallDirectory.c_str());
}

}  // namespace dpal::installer
