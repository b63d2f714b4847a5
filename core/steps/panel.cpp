#include "core/steps/panel.h"

#include <cwchar>
#include <vector>

#include "common/failure_boundary.h"

namespace dpal::core {

namespace {

#if defined(_WIN32)
// The records as Windows lays them out (where WCHAR has four bytes they are larger).
static_assert(sizeof(DISPLAY_DEVICEW) == 840, "DISPLAY_DEVICEW");
static_assert(sizeof(MONITORINFOEXW) == 104, "MONITORINFOEXW");
static_assert(sizeof(DISPLAYCONFIG_SOURCE_DEVICE_NAME) == 84, "source name request");
static_assert(sizeof(DISPLAYCONFIG_TARGET_DEVICE_NAME) == 420, "target name request");
#endif
static_assert(sizeof(DISPLAYCONFIG_PATH_INFO) == 72, "path record");
static_assert(sizeof(DISPLAYCONFIG_MODE_INFO) == 64, "mode record");

constexpr DWORD kAdapterOnDesktop =
    DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE;
constexpr DWORD kMonitorOn = DISPLAY_DEVICE_ACTIVE | DISPLAY_DEVICE_ATTACHED;

// Copies a fixed field of a platform record into a 260-unit buffer. The field's own length
// bounds the read: a field without a terminator (text that did not fit it) fails, and so does
// text that does not fit the buffer.
template <size_t N>
bool CopyField(WCHAR (&out)[kPathUnits], const WCHAR (&field)[N]) {
  size_t length = 0;
  if (FAILED(StringCchLengthW(field, N, &length))) {
    out[0] = L'\0';
    return false;
  }
  return Copy(out, field);
}

DISPLAY_DEVICEW FreshDevice() {
  DISPLAY_DEVICEW device = {};
  device.cb = sizeof(device);
  return device;
}

// How many times the size query and the query are made before the identification gives up: a
// configuration that keeps changing between the two, or a query that keeps answering that the
// arrays are too small, must not hold the caller for ever.
constexpr int kDisplayQueryTries = 5;

// The active paths and modes of a query with these flags, sized afresh while the configuration
// changes between the size query and the query (up to kDisplayQueryTries times). False on any
// other failure, and when the query never fitted.
bool QueryActivePaths(UINT32 flags, std::vector<DISPLAYCONFIG_PATH_INFO>* paths) {
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  for (int attempt = 0; attempt < kDisplayQueryTries; ++attempt) {
    UINT32 path_count = 0;
    UINT32 mode_count = 0;
    if (GetDisplayConfigBufferSizes(flags, &path_count, &mode_count) != ERROR_SUCCESS) {
      return false;
    }
    paths->assign(path_count, DISPLAYCONFIG_PATH_INFO{});
    modes.assign(mode_count, DISPLAYCONFIG_MODE_INFO{});
    const LONG result =
        QueryDisplayConfig(flags, &path_count, paths->data(), &mode_count, modes.data(), nullptr);
    if (result == ERROR_INSUFFICIENT_BUFFER) continue;
    if (result != ERROR_SUCCESS) return false;
    paths->resize(path_count);
    return true;
  }
  paths->clear();
  return false;
}

bool SourceName(const DISPLAYCONFIG_PATH_INFO& path, WCHAR (&out)[kPathUnits]) {
  DISPLAYCONFIG_SOURCE_DEVICE_NAME name = {};
  name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
  name.header.size = sizeof(name);
  name.header.adapterId = path.sourceInfo.adapterId;
  name.header.id = path.sourceInfo.id;
  if (DisplayConfigGetDeviceInfo(&name.header) != ERROR_SUCCESS) return false;
  return CopyField(out, name.viewGdiDeviceName);
}

bool TargetPath(const DISPLAYCONFIG_PATH_INFO& path, WCHAR (&out)[kPathUnits]) {
  DISPLAYCONFIG_TARGET_DEVICE_NAME name = {};
  name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
  name.header.size = sizeof(name);
  name.header.adapterId = path.targetInfo.adapterId;
  name.header.id = path.targetInfo.id;
  if (DisplayConfigGetDeviceInfo(&name.header) != ERROR_SUCCESS) return false;
  return CopyField(out, name.monitorDevicePath);
}

// The active path whose source is the GDI device `gdi_name`, an internal one preferred.
bool FindPathOfSource(const WCHAR* gdi_name, DISPLAYCONFIG_PATH_INFO* chosen) {
  // When the path arrays cannot be had, no path is chosen.
  return ContainFailure(false, [&] {
    std::vector<DISPLAYCONFIG_PATH_INFO> paths;
    if (!QueryActivePaths(QDC_ONLY_ACTIVE_PATHS, &paths) || paths.empty()) return false;
    bool found = false;
    for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
      WCHAR source[kPathUnits];
      if (!SourceName(path, source) || std::wcscmp(source, gdi_name) != 0) continue;
      if (!found || IsInternalTechnology(path.targetInfo.outputTechnology)) *chosen = path;
      found = true;
    }
    return found;
  });
}

}  // namespace

bool SubtypeOfKind(int kind, DWORD* subtype) {
  switch (kind) {
    case kStandardKind: *subtype = kStandardDisplayColourMode; return true;
    case kExtendedKind: *subtype = kExtendedDisplayColourMode; return true;
    default: return false;
  }
}

bool IsInternalTechnology(DISPLAYCONFIG_VIDEO_OUTPUT_TECHNOLOGY technology) {
  return technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EMBEDDED ||
         technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_UDI_EMBEDDED ||
         technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_INTERNAL;
}

PanelTarget IdentifyPrimaryPanel(int kind) {
  PanelTarget target;
  if (!SubtypeOfKind(kind, &target.subtype)) return target;

  // The primary adapter: attached to the desktop and primary.
  WCHAR adapter_name[kPathUnits] = {};
  bool adapter_found = false;
  for (DWORD i = 0;; ++i) {
    DISPLAY_DEVICEW adapter = FreshDevice();
    if (!EnumDisplayDevicesW(nullptr, i, &adapter, EDD_GET_DEVICE_INTERFACE_NAME)) break;
    if ((adapter.StateFlags & kAdapterOnDesktop) != kAdapterOnDesktop) continue;
    if (!CopyField(adapter_name, adapter.DeviceName)) return target;
    adapter_found = true;
    break;
  }
  if (!adapter_found) return target;

  // Its first active, attached monitor gives the device key.
  bool monitor_found = false;
  for (DWORD j = 0;; ++j) {
    DISPLAY_DEVICEW monitor = FreshDevice();
    if (!EnumDisplayDevicesW(adapter_name, j, &monitor, EDD_GET_DEVICE_INTERFACE_NAME)) break;
    if ((monitor.StateFlags & kMonitorOn) != kMonitorOn) continue;
    if (!CopyField(target.deviceKey, monitor.DeviceKey)) return target;
    monitor_found = true;
    break;
  }
  if (!monitor_found) return target;
  target.profileId = 1;

  target.monitor = MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
  if (target.monitor == nullptr) return target;
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(target.monitor, &info)) return target;
  WCHAR gdi_name[kPathUnits];
  if (!CopyField(gdi_name, info.szDevice)) return target;

  target.valid = FindPathOfSource(gdi_name, &target.path);
  return target;
}

PanelTarget IdentifyInternalPanel(int kind) {
  PanelTarget target;
  if (!SubtypeOfKind(kind, &target.subtype)) return target;

  const bool found = ContainFailure(false, [&] {
    std::vector<DISPLAYCONFIG_PATH_INFO> paths;
    if (!QueryActivePaths(QDC_ONLY_ACTIVE_PATHS | QDC_VIRTUAL_MODE_AWARE, &paths)) return false;
    for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
      if (!IsInternalTechnology(path.targetInfo.outputTechnology)) continue;
      target.path = path;
      return true;
    }
    return false;
  });
  if (!found) return target;

  WCHAR source[kPathUnits];
  if (!SourceName(target.path, source)) return target;
  WCHAR monitor_path[kPathUnits];
  if (!TargetPath(target.path, monitor_path)) return target;
  target.profileId = 1;

  // The monitor behind exactly that path: the one whose interface path is the target's.
  for (DWORD j = 0;; ++j) {
    DISPLAY_DEVICEW monitor = FreshDevice();
    if (!EnumDisplayDevicesW(source, j, &monitor, EDD_GET_DEVICE_INTERFACE_NAME)) break;
    if ((monitor.StateFlags & kMonitorOn) != kMonitorOn) continue;
    WCHAR interface_path[kPathUnits];
    if (!CopyField(interface_path, monitor.DeviceID) ||
        lstrcmpW(interface_path, monitor_path) != 0) {
      continue;
    }
    target.valid = CopyField(target.deviceKey, monitor.DeviceKey);
    break;
  }
  return target;
}

}  // namespace dpal::core
