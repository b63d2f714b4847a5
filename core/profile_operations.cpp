#include "core/profile_operations.h"

#include <cstdint>
#include <cwchar>

#include "core/steps/colour_steps.h"
#include "core/steps/panel.h"

namespace dpal::core {

namespace {

constexpr DWORD kLargestCapacity = INT32_MAX;

// Hands a name to the caller's buffer under the export's rules.
int Deliver(const WCHAR (&name)[kPathUnits], DWORD capacity, WCHAR* buffer) {
  if (capacity > kLargestCapacity) {
    buffer[0] = L'\0';
    return 0;
  }
  const size_t length = std::wcslen(name);
  if (length >= capacity) {
    std::wmemcpy(buffer, name, capacity - 1);
    buffer[capacity - 1] = L'\0';
    return 0;
  }
  std::wmemcpy(buffer, name, length + 1);
  return 1;
}

template <typename Read>
int GetDefault(int kind, DWORD capacity, WCHAR* buffer, Read read) {
  if (buffer == nullptr || capacity == 0) return 0;
  const PanelTarget panel = IdentifyPrimaryPanel(kind);
  WCHAR name[kPathUnits];
  if (!read(panel, name)) return 0;
  return Deliver(name, capacity, buffer);
}

int Disassociate(int kind, const WCHAR* name, WCS_PROFILE_MANAGEMENT_SCOPE scope) {
  if (name == nullptr) return 0;
  const PanelTarget panel = IdentifyPrimaryPanel(kind);
  return RemoveDisplayAssociation(panel, scope, name) ? 1 : 0;
}

}  // namespace

int GetDefaultUserProfile(int kind, DWORD capacity, WCHAR* buffer) {
  return GetDefault(kind, capacity, buffer, ReadUserDefault);
}

int GetDefaultSystemProfile(int kind, DWORD capacity, WCHAR* buffer) {
  return GetDefault(kind, capacity, buffer, ReadSystemDefault);
}

int SetDefaultColorProfileToPrimaryMonitor(int kind, const WCHAR* name) {
  if (name == nullptr) return 0;
  const PanelTarget panel = IdentifyPrimaryPanel(kind);
  if (!panel.valid) return 0;
  if (!SetUserDefault(panel, name)) return 0;
  return SetSystemDefault(panel, name) ? 1 : 0;
}

int DisassociateUserColorProfile(int kind, const WCHAR* name) {
  return Disassociate(kind, name, WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER);
}

int DisassociateSystemColorProfile(int kind, const WCHAR* name) {
  return Disassociate(kind, name, WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE);
}

int UninstallICCProfile(int /*kind*/, const WCHAR* name) { return UninstallProfile(name) ? 1 : 0; }

}  // namespace dpal::core
