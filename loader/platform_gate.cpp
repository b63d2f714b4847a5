#include "loader/platform_gate.h"

#include <string>
#include <vector>

#include "common/failure_boundary.h"
#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/shared/registry.h"

namespace dpal {

namespace {

constexpr size_t kMinimumFirmwareLength = 8;
constexpr size_t kFirmwareMarkerIndex = 6;
constexpr size_t kPrefixLength = 3;

WCHAR FoldAscii(WCHAR c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c;
}

}  // namespace

bool IsPlatformSupported() {
  return ContainFailure(false, [] {
    const std::wstring firmware =
        ReadStringValue(HKEY_LOCAL_MACHINE, layout::kBiosKey, layout::kBiosVersionValue);
    if (firmware.size() < kMinimumFirmwareLength) return false;
    // Firmware whose seventh character is 'w' is never supported, whatever the list says.
    if (FoldAscii(firmware[kFirmwareMarkerIndex]) == L'w') return false;
    const std::vector<std::wstring> prefixes = ReadMultiStringValue(
        HKEY_LOCAL_MACHINE, layout::kSettingsKey, layout::kSupportedBiosPrefixValue);
    if (prefixes.empty()) return false;
    const std::wstring prefix = firmware.substr(0, kPrefixLength);
    for (const std::wstring& entry : prefixes) {
      if (lstrcmpiW(prefix.c_str(), entry.c_str()) == 0) return true;
    }
    return false;
  });
}

bool IsInstallPending() {
  return ContainFailure(false, [] {
    {
      UniqueKey key;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, 0, layout::kReadAccess,
                        key.Put()) != ERROR_SUCCESS) {
        return false;
      }
    }
    return ReadDwordValue(HKEY_LOCAL_MACHINE, layout::kInstallStateKey, layout::kStateValue) == 0;
  });
}

bool MarkInstallDone() {
  return ContainFailure(false,
                        [] { return SetDwordFlag(layout::kInstallStateKey, layout::kStateValue); });
}

}  // namespace dpal
