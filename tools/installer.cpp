#include "tools/installer.h"

#include <stdexcept>

#include "common/registry_layout.h"
#include "tests/support/registry_writer.h"
#include "uninstaller/flow.h"

namespace dpal::installer {

void InstallPackage(const laptop::Options& options) {
  laptop::Provision(options);
  sim::AddDriverPackage(laptop::kDriverInf);
  sim::PutScheduledTask(kUserAgentTask, sim::TaskXml(laptop::kProfileProgram));
  sim::PutScheduledTask(kUninstallTask, sim::TaskXml(kUninstallerImage + L" -checkremoval"));
  sim::PutFile(kUninstallerImage, sim::ProgramBytes("TarvexDPALUninstaller"));
  sim::SignFile(kUninstallerImage, laptop::Publisher());
  sim::RegisterProgram(kUninstallerImage, [](const sim::Launch&) -> DWORD {
    return static_cast<DWORD>(dpal::uninstaller::RunUninstallerProcess());
  });
  test::RegistryWriter service;
  if (service.Create(HKEY_LOCAL_MACHINE, layout::kServiceKey) != ERROR_SUCCESS ||
      service.MultiString(layout::kOwnersValue, {kInstallerOwner}) != ERROR_SUCCESS)
    throw std::runtime_error("installer: writing Owners failed");
}

}  // namespace dpal::installer
