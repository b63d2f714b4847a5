#include "loader/shared/device_lookup.h"

namespace dpal {

CSoftwareDeviceLookup::CSoftwareDeviceLookup(const WCHAR* hardware_id) {
  device_.cbSize = sizeof(SP_DEVINFO_DATA);
  // The buffers start zero-filled, so the copied ID is followed by the empty entry that ends
  // the multi-string.
  if (Format(hardware_ids_, L"%s", hardware_id)) found_ = FindSoftwareDevice();
}

bool CSoftwareDeviceLookup::PropertyMatches(DWORD property) {
  DWORD type = 0;
  DWORD required = 0;
  if (SetupDiGetDeviceRegistryPropertyW(device_set_.get(), &device_, property, &type, nullptr, 0,
                                        &required) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  UniqueLocalMemory buffer(LocalAlloc(LPTR, required));
  if (!buffer) return false;
  if (!SetupDiGetDeviceRegistryPropertyW(device_set_.get(), &device_, property, &type,
                                         static_cast<BYTE*>(buffer.get()), required, nullptr)) {
    return false;
  }
  // Walk the property's strings up to its empty entry, and never past the bytes received even
  // if the system handed back a list without its final terminator.
  const WCHAR* ids = static_cast<const WCHAR*>(buffer.get());
  const size_t units = required / sizeof(WCHAR);
  for (size_t at = 0; at < units && ids[at] != L'\0';) {
    size_t end = at;
    while (end < units && ids[end] != L'\0') ++end;
    if (end == units) break;  // an unterminated last entry is not compared
    for (const WCHAR* wanted = hardware_ids_; *wanted; wanted += lstrlenW(wanted) + 1) {
      if (lstrcmpiW(ids + at, wanted) == 0) return true;
    }
    at = end + 1;
  }
  return false;
}

bool CSoftwareDeviceLookup::FindSoftwareDevice() {
  device_set_.reset(
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!device_set_) return false;

  bool matched = false;
  for (DWORD index = 0; !matched; ++index) {
    if (!SetupDiEnumDeviceInfo(device_set_.get(), index, &device_)) return false;
    matched = PropertyMatches(SPDRP_HARDWAREID) || PropertyMatches(SPDRP_COMPATIBLEIDS);
  }

  DEVPROPTYPE property_type = 0;
  DWORD required = 0;
  if (SetupDiGetDevicePropertyW(device_set_.get(), &device_, &DEVPKEY_Device_DriverInfPath,
                                &property_type, reinterpret_cast<BYTE*>(inf_name_),
                                sizeof(inf_name_), &required, 0)) {
    WCHAR windows[kPathUnits] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_WINDOWS, nullptr, SHGFP_TYPE_CURRENT, windows))) {
      Format(inf_path_, L"%s\\INF\\%s", windows, inf_name_);
    }
  }
  return true;
}

void CSoftwareDeviceLookup::ReleaseDeviceLookup() { device_set_.reset(); }

}  // namespace dpal
