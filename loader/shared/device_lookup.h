// Finds the package's software device among the present devices and the full path of its
// driver package's INF file. The service builds one for every IsSupported call; the uninstaller
// keeps the set and element to remove the device (like all of loader/shared/, it includes nothing
// of the service).
#pragma once

#include "common/format.h"
#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

// The hardware ID the package's installer gives its software device.
inline constexpr const WCHAR kSoftwareDeviceHardwareId[] =
    L"SWC\\VEN_TARVEX&PID_DYNAPANEL_HSA_5C3E71A2B94D";

class CSoftwareDeviceLookup {
 public:
  // Runs the lookup once. found() is false when the ID does not fit or nothing matched.
  explicit CSoftwareDeviceLookup(const WCHAR* hardware_id);
  ~CSoftwareDeviceLookup() = default;
  CSoftwareDeviceLookup(const CSoftwareDeviceLookup&) = delete;
  CSoftwareDeviceLookup& operator=(const CSoftwareDeviceLookup&) = delete;

  // Enumerates the present devices of all classes; true on the first device whose hardware IDs,
  // or else compatible IDs, contain the searched ID (whole string, any case). After a match the
  // element designates the device and the INF fields are filled where the system gives them.
  bool FindSoftwareDevice();

  // Destroys the device information set; the element is meaningless afterwards.
  void ReleaseDeviceLookup();

  bool found() const { return found_; }
  // Full path of the driver INF ("<Windows>\INF\<name>"); empty when the device has no driver
  // INF property or the Windows directory was not available.
  const WCHAR* inf_path() const { return inf_path_; }
  const WCHAR* inf_name() const { return inf_name_; }
  HDEVINFO device_set() const { return device_set_.get(); }
  const SP_DEVINFO_DATA& device() const { return device_; }

 private:
  bool PropertyMatches(DWORD property);

  bool found_ = false;
  WCHAR hardware_ids_[kPathUnits] = {};  // a one-entry multi-string
  WCHAR inf_path_[kPathUnits] = {};
  WCHAR inf_name_[kPathUnits] = {};
  UniqueDeviceInfoSet device_set_;
  SP_DEVINFO_DATA device_ = {};
};

}  // namespace dpal
