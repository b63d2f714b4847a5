#include "harness/laptop.h"

#include <stdexcept>

#include "common/profile_files.h"
#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "loader/service_host.h"
#include "loader/shared/device_lookup.h"
#include "harness/registry_writer.h"

namespace dpal::laptop {

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("laptop set-up failed: ") + what);
}

// A writer on a key of HKEY_LOCAL_MACHINE, created when missing.
test::RegistryWriter Key(const std::wstring& path) {
  test::RegistryWriter writer;
  Check(writer.Create(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS, "creating a key");
  return writer;
}

void Written(LSTATUS status) { Check(status == ERROR_SUCCESS, "setting a value"); }

// A small but well-formed ICC profile header (128 bytes) followed by a tag-free body that
// tells the profiles apart.
std::vector<uint8_t> ProfileBytes(const std::string& description) {
  std::vector<uint8_t> bytes(128 + description.size(), 0);
  const uint32_t size = static_cast<uint32_t>(bytes.size());
  bytes[0] = static_cast<uint8_t>(size >> 24);
  bytes[1] = static_cast<uint8_t>(size >> 16);
  bytes[2] = static_cast<uint8_t>(size >> 8);
  bytes[3] = static_cast<uint8_t>(size);
  const char* fields = "lcms\x04\x30\x00\x00mntrRGB XYZ ";
  for (int i = 0; i < 20; ++i) bytes[4 + i] = static_cast<uint8_t>(fields[i]);
  bytes[36] = 'a';
  bytes[37] = 'c';
  bytes[38] = 's';
  bytes[39] = 'p';
  for (size_t i = 0; i < description.size(); ++i)
    bytes[128 + i] = static_cast<uint8_t>(description[i]);
  return bytes;
}

}  // namespace

const sim::Certificate& Publisher() {
  static const sim::Certificate publisher = {L"CN=Tarvex DPAL Code Signing", L"CN=Tarvex Root CA",
                                             L"5C3E71A2", L"CN=Tarvex Root CA"};
  return publisher;
}

const std::vector<Profile>& Profiles() {
  static const std::vector<Profile> profiles = {
      {L"QXLCD_Panel_V3_S", 1, ProfileBytes("Tarvex panel, standard colour, version 3")},
      {L"QXLCD_Panel_V1_H", 2, ProfileBytes("Tarvex panel, advanced colour, version 1")},
  };
  return profiles;
}

std::wstring ProfilePath(const Profile& profile) {
  // Named as the service names it, in the colour directory of the machine's system directory.
  WCHAR colour[kPathUnits];
  WCHAR path[kPathUnits];
  Check(ColourDirectoryBelow(sim::SystemDirectory().c_str(), colour) &&
            ProfileFilePath(colour, profile.entry_name.c_str(), path),
        "naming a profile file");
  return path;
}

std::vector<uint8_t> Sha256(const std::vector<uint8_t>& bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::vector<uint8_t> digest(kSha256Bytes);
  DWORD size = kSha256Bytes;
  Check(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
            CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0),
        "hashing");
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return digest;
}

void Provision(const Options& options) {
  namespace layout = dpal::layout;
  sim::SetProcessIdentity(sim::LocalSystem(kServiceImage));

  if (options.device_present) {
    sim::Device device;
    device.instance_id = kDeviceInstance;
    device.hardware_ids = {kSoftwareDeviceHardwareId};
    device.driver_inf = kDriverInf;
    device.removal_waits_for_restart = options.device_removal_waits_for_restart;
    sim::AddDevice(device);
  }

  SetUpMachine(options);
  Written(
      Key(layout::kSettingsKey).MultiString(layout::kSupportedBiosPrefixValue, options.prefixes));
  if (options.install_pending) Written(Key(layout::kInstallStateKey).Dword(layout::kStateValue, 0));

  if (options.catalogue) {
    test::RegistryWriter settings = Key(layout::kSettingsKey);
    Written(settings.String(layout::kSdrVersionValue, L"3"));
    Written(settings.String(layout::kHdrVersionValue, L"1"));
    for (const Profile& profile : Profiles()) {
      AddToCatalogue(profile);
      sim::PutFile(ProfilePath(profile), profile.bytes);
    }
  }

  sim::TrustRoot(Publisher().root);
  sim::PutFile(kServiceImage, sim::ProgramBytes("TarvexDPALLoader"));
  sim::SignFile(kServiceImage, Publisher());
  sim::PutFile(kProfileProgram, sim::ProgramBytes("TarvexDPALProfile stand-in"));
  sim::SignFile(kProfileProgram, Publisher());

  sim::ServiceSpec spec;
  spec.name = kServiceName;
  spec.display_name = L"Tarvex DPAL Loader";
  spec.image_path = kServiceImage;
  spec.start_type = options.start_type;
  spec.program = RunServiceAsNewProcess;
  sim::InstallService(spec);
  // The service's four sub-controllers live as long as its process, each with its completion
  // event, and so do the signature check's two libraries once a launch has loaded them; anything
  // else its process still holds when it ends is a leak.
  sim::KeepUntilProcessEnd(kServiceImage, {{"event", 4}, {"module", 2}});

  RegisterCoreLibrary();
}

void AddToCatalogue(const Profile& profile) {
  test::RegistryWriter entry =
      Key(std::wstring(dpal::layout::kCatalogueKey) + L"\\" + profile.entry_name);
  Written(entry.Dword(dpal::layout::kTypeValue, profile.type));
  WCHAR base[kPathUnits];
  Check(ProfileFileBaseName(profile.entry_name.c_str(), base), "naming a profile file");
  const std::vector<uint8_t> digest = Sha256(profile.bytes);
  Written(entry.Binary(base, digest.data(), digest.size()));
}

int RunServiceAsNewProcess() {
  dpal::ResetServiceProcessStateForTesting();
  return dpal::RunServiceProcess();
}

void SetUpMachine(const Options& options) {
  Written(Key(dpal::layout::kBiosKey).String(dpal::layout::kBiosVersionValue, options.firmware));
  sim::SetDisplays(sim::LaptopDisplays(options.displays));
}

void RegisterCoreLibrary() {
  auto entry = [](const char* name, auto function) {
    return sim::ModuleExport{name, 0, reinterpret_cast<void (*)()>(function)};
  };
  sim::RegisterModule(
      kCoreLibrary,
      {
          entry("DisassociateSystemColorProfile", &DisassociateSystemColorProfile),
          entry("DisassociateUserColorProfile", &DisassociateUserColorProfile),
          entry("GetDefaultSystemProfile", &GetDefaultSystemProfile),
          entry("GetDefaultUserProfile", &GetDefaultUserProfile),
          entry("IsSystemUser", &IsSystemUser),
          entry("RevertBackToSelf", &RevertBackToSelf),
          entry("SaveCurrentApplyStatus", &SaveCurrentApplyStatus),
          entry("SaveUserProfile", &SaveUserProfile),
          entry("SetDefaultColorProfileToPrimaryMonitor", &SetDefaultColorProfileToPrimaryMonitor),
          entry("StopWaitForUsrUpdate", &StopWaitForUsrUpdate),
          entry("UninstallICCProfile", &UninstallICCProfile),
          entry("WaitForUsrUpdate", &WaitForUsrUpdate),
      });
}

std::wstring SwitchOf(const sim::Launch& launch) {
  const std::wstring prefix = kProfileProgram + L" ";
  if (launch.command_line.compare(0, prefix.size(), prefix) != 0) return std::wstring();
  return launch.command_line.substr(prefix.size());
}

void InstallStandIn(std::function<DWORD(const Run&)> exit_code) {
  sim::RegisterProgram(kProfileProgram, [exit_code](const sim::Launch& launch) -> DWORD {
    Run run{SwitchOf(launch), launch.current_directory, launch.session_id, launch.user_name};
    return exit_code ? exit_code(run) : 0;
  });
}

std::vector<std::wstring> Switches() {
  std::vector<std::wstring> switches;
  for (const sim::Launch& launch : sim::Launches()) switches.push_back(SwitchOf(launch));
  return switches;
}

}  // namespace dpal::laptop
