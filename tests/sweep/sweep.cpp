// The call-site sweep's freshly installed laptop and the identities its flows run as.
#include "tests/sweep/sweep.h"

#include "common/registry_layout.h"
#include "harness/installer.h"

namespace dpal::test::sweep {

namespace layout = dpal::layout;

const std::vector<DWORD> kRegistryErrors = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED};

bool g_permanent = false;
std::set<std::string> g_failed_functions;

std::wstring ConsoleUser() { return sim::DefaultAdmin().user_sid; }
std::wstring UserDefault() { return sim::DefaultColourProfile(ConsoleUser(), kPanel, kStandard); }
namespace {

std::wstring LocalSystemsOwnDefault() {
  return sim::DefaultColourProfile(sim::kLocalSystemSid, kPanel, kStandard);
}

bool SidComparisonFailed() { return g_failed_functions.count("EqualSid") != 0; }

}  // namespace

bool UserDefaultIs(const std::wstring& name) {
  return UserDefault() == name || (SidComparisonFailed() && LocalSystemsOwnDefault() == name);
}
bool LocalSystemsOwnDefaultUntouched() {
  return SidComparisonFailed() || LocalSystemsOwnDefault().empty();
}
std::wstring MachineDefault() { return sim::DefaultColourProfile(L"", kPanel, kStandard); }

void NewLaptop(dpal::laptop::Options options) {
  sim::Reset();
  dpal::installer::InstallPackage(options);
  dpal::laptop::InstallStandIn();
  for (const std::wstring& name : {kBase, kNew}) sim::InstallColourProfile(name);
  sim::SetDefaultColourProfile(ConsoleUser(), kPanel, kStandard, 1, kBase);
  sim::SetDefaultColourProfile(L"", kPanel, kStandard, 1, kBase);
}

namespace {

sim::Identity Program(sim::Identity identity, const std::wstring& image,
                      const std::wstring& arguments) {
  identity.image_path = image;
  identity.command_line = L"\"" + image + L"\"" + arguments;
  return identity;
}

}  // namespace

void AsLocalSystem(const std::wstring& image, const std::wstring& arguments) {
  sim::Identity system = sim::LocalSystem(image);
  system.session_id = 1;
  sim::SetProcessIdentity(Program(system, image, arguments));
}
void AsAdministrator(const std::wstring& image, const std::wstring& arguments) {
  sim::SetProcessIdentity(Program(sim::DefaultAdmin(), image, arguments));
}

DWORD ReadState(HKEY root, const std::wstring& key) {
  DWORD value = 0xFFFFFFFF;
  DWORD size = sizeof value;
  if (RegGetValueW(root, key.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return 0xFFFFFFFF;
  }
  return value;
}
std::wstring UserStateKey() { return ConsoleUser() + L"\\" + layout::kUserApplyStateKey; }

}  // namespace dpal::test::sweep
