// The test side of the simulated displays: the adapters with their monitors, the display paths
// and the ready-made set-ups of a laptop's panel and an external monitor. Included from sim.h.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/displays/winuser.h"

namespace sim {

// A monitor of a GDI display device, as the second level of EnumDisplayDevicesW lists it.
struct Monitor {
  std::wstring name = L"Generic PnP Monitor";  // DeviceString
  DWORD state_flags = DISPLAY_DEVICE_ACTIVE | DISPLAY_DEVICE_ATTACHED;
  std::wstring interface_path;  // DeviceID with EDD_GET_DEVICE_INTERFACE_NAME
  std::wstring hardware_id;     // DeviceID without it
  // DeviceKey. A key that does not fit the record's 128 units (no real monitor has one) fills
  // the field without a terminator: what a caller that reads it unbounded runs past.
  std::wstring device_key;
};

// A GDI display device ("\\.\DISPLAYn"): one source of a graphics adapter, with its monitors.
struct Adapter {
  std::wstring gdi_name;  // DeviceName, e.g. L"\\\\.\\DISPLAY1"
  std::wstring name;      // DeviceString: the graphics adapter's name
  DWORD state_flags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
  std::wstring interface_path;  // DeviceID with EDD_GET_DEVICE_INTERFACE_NAME
  std::wstring hardware_id;     // DeviceID without it
  std::wstring device_key;
  LUID luid = {};                  // the graphics adapter
  UINT32 source_id = 0;            // the source on that adapter
  RECT area = {0, 0, 1920, 1080};  // the desktop area of the source
  std::vector<Monitor> monitors;
};

// A display path from a source (named by its adapter entry's GDI name) to a target.
struct DisplayPath {
  std::wstring source;  // the gdi_name of an Adapter
  LUID target_adapter = {};
  UINT32 target_id = 0;
  DISPLAYCONFIG_VIDEO_OUTPUT_TECHNOLOGY output_technology = DISPLAYCONFIG_OUTPUT_TECHNOLOGY_HDMI;
  std::wstring monitor_device_path;  // the target name's monitorDevicePath
  std::wstring monitor_name;         // the target name's monitorFriendlyDeviceName
  bool active = true;
};

struct DisplayTopology {
  std::vector<Adapter> adapters;   // in enumeration order
  std::vector<DisplayPath> paths;  // in the order QueryDisplayConfig lists them
};

// The version of Windows the machine runs. What the display configuration accepts depends on it:
// QDC_VIRTUAL_MODE_AWARE from Windows 10 (major version 10) on, QDC_INCLUDE_HMD from Windows 10
// version 1703 (build 15063) on; an older Windows refuses the flag with ERROR_INVALID_PARAMETER,
// in GetDisplayConfigBufferSizes and QueryDisplayConfig alike. After Reset: Windows 11 (10.0,
// build 22631), which has the colour system's display association functions too.
struct WindowsVersion {
  DWORD major = 10;
  DWORD minor = 0;
  DWORD build = 22631;
};
void SetWindowsVersion(const WindowsVersion& version);
WindowsVersion CurrentWindowsVersion();

// The topology every display function answers from. After Reset: LaptopDisplays() (the
// built-in panel alone). Monitor handles of an earlier topology are invalid afterwards.
void SetDisplays(const DisplayTopology& topology);
DisplayTopology Displays();
// The configuration changes while a caller holds the sizes GetDisplayConfigBufferSizes gave
// it: the next QueryDisplayConfig first takes this topology (as if a monitor came or went),
// then answers. Several changes queue up, one per later QueryDisplayConfig.
void ChangeDisplaysBeforeNextQuery(const DisplayTopology& topology);

// Ready-made set-ups of a laptop: its built-in panel on "\\.\DISPLAY1" (panel technology,
// DisplayPort embedded by default) and, optionally, an external HDMI monitor.
enum class ExternalMonitor {
  None,
  Extended,  // on "\\.\DISPLAY2"; the panel stays primary
  Primary,   // on "\\.\DISPLAY2", made primary
  Cloned,    // on the panel's source: two paths from "\\.\DISPLAY1"
};
struct LaptopDisplayOptions {
  ExternalMonitor external = ExternalMonitor::None;
  bool lid_closed = false;  // the panel is off; with an external monitor, that one is primary
  DISPLAYCONFIG_VIDEO_OUTPUT_TECHNOLOGY panel_technology =
      DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EMBEDDED;
  // Cloned only: which monitor the panel's source lists first.
  bool external_listed_first = true;
  // Cloned only: the external monitor's path is internal too (two internal clone paths; the
  // external one comes first in the path array).
  bool both_clones_internal = false;
  // A hybrid-graphics laptop: the panel's source (and an extended monitor's) is on the discrete
  // graphics adapter, while the panel's target stays on the integrated one that drives it, so
  // the panel's path is a cross-adapter path.
  bool hybrid = false;
};
DisplayTopology LaptopDisplays(const LaptopDisplayOptions& options = LaptopDisplayOptions());
// Names of the laptop's monitors in those set-ups.
inline constexpr const wchar_t* kPanelDeviceKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    L"{4d36e96e-e325-11ce-bfc1-08002be10318}\\0000";
inline constexpr const wchar_t* kExternalDeviceKey =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    L"{4d36e96e-e325-11ce-bfc1-08002be10318}\\0001";
inline constexpr const wchar_t* kPanelMonitorPath =
    L"\\\\?\\DISPLAY#TVX1A2B#4&1d2c3b4a&0&UID8388688#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
inline constexpr const wchar_t* kExternalMonitorPath =
    L"\\\\?\\DISPLAY#EXT5678#5&2e3f4a5b&0&UID4352#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
// The graphics adapter of the laptop (the integrated one, which drives the panel), and the
// discrete one of the hybrid set-up.
inline constexpr LUID kLaptopGpu = {0x0000D1A5, 0};
inline constexpr LUID kLaptopDiscreteGpu = {0x0000D15C, 0};

// A desktop machine with `count` external monitors side by side, the first primary (for
// measuring how identification grows with the number of displays).
DisplayTopology DesktopDisplays(int count);

}  // namespace sim
