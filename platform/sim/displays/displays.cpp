// Display devices, monitors and the display configuration: the GDI display devices of the
// graphics adapters with their monitors, the primary monitor, and the display paths with their
// modes, source names and target names.
#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <deque>

#include "platform/sim/displays/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"

namespace sim {

AreaUse& DisplaysUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

namespace {

static_assert(sizeof(DISPLAYCONFIG_PATH_INFO) == 72, "the path record of the SDK");
static_assert(sizeof(DISPLAYCONFIG_MODE_INFO) == 64, "the mode record of the SDK");

struct Displays {
  DisplayTopology topology;
  std::deque<DisplayTopology> pending;  // changes the next queries take, one each
  uintptr_t generation = 0;             // monitor handles of older topologies are invalid
  WindowsVersion version;
};

Displays& D() {
  static Displays* displays = new Displays();
  DisplaysUse().Mark();
  return *displays;
}

bool SameLuid(const LUID& a, const LUID& b) {
  return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// Copies text into a fixed field: terminated when it fits, else the field is filled without a
// terminator (only a set-up that no real display has gets there).
void Field(WCHAR* field, size_t units, const std::wstring& text) {
  const size_t n = std::min(text.size(), units);
  std::wmemcpy(field, text.data(), n);
  if (n < units) field[n] = L'\0';
}

template <size_t N>
void Field(WCHAR (&field)[N], const std::wstring& text) {
  Field(field, N, text);
}

// Monitor handles: the topology's generation and the adapter's index, never a kernel handle.
constexpr uintptr_t kMonitorBase = 0x10000;

HMONITOR MonitorHandle(size_t index) {
  return reinterpret_cast<HMONITOR>(kMonitorBase + (D().generation << 8) + index + 1);
}

const Adapter* AdapterOfMonitorLocked(HMONITOR monitor) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(monitor);
  if (value <= kMonitorBase) return nullptr;
  const uintptr_t rest = value - kMonitorBase;
  if ((rest >> 8) != D().generation || (rest & 0xFF) == 0) return nullptr;
  const size_t index = (rest & 0xFF) - 1;
  const auto& adapters = D().topology.adapters;
  if (index >= adapters.size()) return nullptr;
  const Adapter& adapter = adapters[index];
  if (!(adapter.state_flags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP)) return nullptr;
  return &adapter;
}

const Adapter* AdapterNamedLocked(const std::wstring& gdi_name) {
  for (const Adapter& adapter : D().topology.adapters) {
    if (EqualsNoCase(adapter.gdi_name, gdi_name)) return &adapter;
  }
  return nullptr;
}

const Adapter* SourceLocked(const LUID& luid, UINT32 source_id) {
  for (const Adapter& adapter : D().topology.adapters) {
    if (SameLuid(adapter.luid, luid) && adapter.source_id == source_id) return &adapter;
  }
  return nullptr;
}

// The flags of a query, as the machine's Windows version knows them.
bool ValidQueryFlagsLocked(UINT32 flags) {
  const UINT32 kind = flags & (QDC_ALL_PATHS | QDC_ONLY_ACTIVE_PATHS | QDC_DATABASE_CURRENT);
  const UINT32 rest = flags & ~(QDC_ALL_PATHS | QDC_ONLY_ACTIVE_PATHS | QDC_DATABASE_CURRENT);
  const bool one_kind =
      kind == QDC_ALL_PATHS || kind == QDC_ONLY_ACTIVE_PATHS || kind == QDC_DATABASE_CURRENT;
  if (!one_kind || (rest & ~static_cast<UINT32>(QDC_VIRTUAL_MODE_AWARE | QDC_INCLUDE_HMD)) != 0) {
    return false;
  }
  const WindowsVersion& version = D().version;
  const bool windows10 = version.major >= 10;
  if ((flags & QDC_VIRTUAL_MODE_AWARE) && !windows10) return false;
  if ((flags & QDC_INCLUDE_HMD) && !(windows10 && version.build >= 15063)) return false;
  return true;
}

struct Answer {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
};

DISPLAYCONFIG_MODE_INFO SourceMode(const Adapter& source) {
  DISPLAYCONFIG_MODE_INFO mode = {};
  mode.infoType = DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE;
  mode.id = source.source_id;
  mode.adapterId = source.luid;
  mode.sourceMode.width = static_cast<UINT32>(source.area.right - source.area.left);
  mode.sourceMode.height = static_cast<UINT32>(source.area.bottom - source.area.top);
  mode.sourceMode.pixelFormat = DISPLAYCONFIG_PIXELFORMAT_32BPP;
  mode.sourceMode.position = {source.area.left, source.area.top};
  return mode;
}

DISPLAYCONFIG_MODE_INFO TargetMode(const DisplayPath& path, const Adapter& source) {
  const UINT32 width = static_cast<UINT32>(source.area.right - source.area.left);
  const UINT32 height = static_cast<UINT32>(source.area.bottom - source.area.top);
  DISPLAYCONFIG_MODE_INFO mode = {};
  mode.infoType = DISPLAYCONFIG_MODE_INFO_TYPE_TARGET;
  mode.id = path.target_id;
  mode.adapterId = path.target_adapter;
  DISPLAYCONFIG_VIDEO_SIGNAL_INFO& signal = mode.targetMode.targetVideoSignalInfo;
  signal.activeSize = {width, height};
  signal.totalSize = {width + 280, height + 45};
  signal.pixelRate = static_cast<UINT64>(width + 280) * (height + 45) * 60;
  signal.hSyncFreq = {static_cast<UINT32>(signal.pixelRate), width + 280};
  signal.vSyncFreq = {60, 1};
  signal.videoStandard = 255;
  signal.scanLineOrdering = DISPLAYCONFIG_SCANLINE_ORDERING_PROGRESSIVE;
  return mode;
}

DISPLAYCONFIG_MODE_INFO DesktopMode(const DisplayPath& path, const Adapter& source) {
  const LONG width = source.area.right - source.area.left;
  const LONG height = source.area.bottom - source.area.top;
  DISPLAYCONFIG_MODE_INFO mode = {};
  mode.infoType = DISPLAYCONFIG_MODE_INFO_TYPE_DESKTOP_IMAGE;
  mode.id = path.target_id;
  mode.adapterId = path.target_adapter;
  mode.desktopImageInfo.PathSourceSize = {width, height};
  mode.desktopImageInfo.DesktopImageRegion = {0, 0, width, height};
  mode.desktopImageInfo.DesktopImageClip = {0, 0, width, height};
  return mode;
}

// The paths and modes a query with these flags answers now.
Answer AnswerLocked(UINT32 flags) {
  const bool all = (flags & QDC_ALL_PATHS) != 0;
  const bool virtual_aware = (flags & QDC_VIRTUAL_MODE_AWARE) != 0;
  Answer answer;
  std::vector<const Adapter*> sources;  // one source mode each, in order of first use
  std::vector<UINT32> source_modes;
  for (const DisplayPath& path : D().topology.paths) {
    if (!path.active && !all) continue;
    const Adapter* source = AdapterNamedLocked(path.source);
    if (source == nullptr) continue;
    DISPLAYCONFIG_PATH_INFO info = {};
    info.sourceInfo.adapterId = source->luid;
    info.sourceInfo.id = source->source_id;
    info.targetInfo.adapterId = path.target_adapter;
    info.targetInfo.id = path.target_id;
    info.targetInfo.outputTechnology = path.output_technology;
    info.targetInfo.rotation = DISPLAYCONFIG_ROTATION_IDENTITY;
    info.targetInfo.scaling = DISPLAYCONFIG_SCALING_IDENTITY;
    info.targetInfo.refreshRate = {60000, 1000};
    info.targetInfo.scanLineOrdering = DISPLAYCONFIG_SCANLINE_ORDERING_PROGRESSIVE;
    info.targetInfo.targetAvailable = TRUE;
    if (virtual_aware) info.flags |= DISPLAYCONFIG_PATH_SUPPORT_VIRTUAL_MODE;
    if (!path.active) {
      if (virtual_aware) {
        info.sourceInfo.cloneGroupId = DISPLAYCONFIG_PATH_CLONE_GROUP_INVALID;
        info.sourceInfo.sourceModeInfoIdx = DISPLAYCONFIG_PATH_SOURCE_MODE_IDX_INVALID;
        info.targetInfo.desktopModeInfoIdx = DISPLAYCONFIG_PATH_DESKTOP_IMAGE_IDX_INVALID;
        info.targetInfo.targetModeInfoIdx = DISPLAYCONFIG_PATH_TARGET_MODE_IDX_INVALID;
      } else {
        info.sourceInfo.modeInfoIdx = DISPLAYCONFIG_PATH_MODE_IDX_INVALID;
        info.targetInfo.modeInfoIdx = DISPLAYCONFIG_PATH_MODE_IDX_INVALID;
      }
      answer.paths.push_back(info);
      continue;
    }
    info.flags |= DISPLAYCONFIG_PATH_ACTIVE;
    info.sourceInfo.statusFlags = DISPLAYCONFIG_SOURCE_IN_USE;
    info.targetInfo.statusFlags = DISPLAYCONFIG_TARGET_IN_USE;
    auto known = std::find(sources.begin(), sources.end(), source);
    const size_t group = static_cast<size_t>(known - sources.begin());
    if (known == sources.end()) {
      sources.push_back(source);
      source_modes.push_back(static_cast<UINT32>(answer.modes.size()));
      answer.modes.push_back(SourceMode(*source));
    }
    const UINT32 source_mode = source_modes[group];
    const auto target_mode = static_cast<UINT32>(answer.modes.size());
    answer.modes.push_back(TargetMode(path, *source));
    if (virtual_aware) {
      const auto desktop_mode = static_cast<UINT32>(answer.modes.size());
      answer.modes.push_back(DesktopMode(path, *source));
      info.sourceInfo.cloneGroupId = static_cast<UINT32>(group);
      info.sourceInfo.sourceModeInfoIdx = source_mode;
      info.targetInfo.desktopModeInfoIdx = desktop_mode;
      info.targetInfo.targetModeInfoIdx = target_mode;
    } else {
      info.sourceInfo.modeInfoIdx = source_mode;
      info.targetInfo.modeInfoIdx = target_mode;
    }
    answer.paths.push_back(info);
  }
  return answer;
}

DISPLAYCONFIG_TOPOLOGY_ID TopologyIdLocked(const Answer& answer) {
  size_t active = 0;
  bool one_source = true;
  bool internal = false;
  for (const DISPLAYCONFIG_PATH_INFO& path : answer.paths) {
    if (!(path.flags & DISPLAYCONFIG_PATH_ACTIVE)) continue;
    const DISPLAYCONFIG_PATH_INFO& first = answer.paths.front();
    one_source = one_source && SameLuid(path.sourceInfo.adapterId, first.sourceInfo.adapterId) &&
                 path.sourceInfo.id == first.sourceInfo.id;
    const auto technology = path.targetInfo.outputTechnology;
    internal = technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_INTERNAL ||
               technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EMBEDDED ||
               technology == DISPLAYCONFIG_OUTPUT_TECHNOLOGY_UDI_EMBEDDED;
    ++active;
  }
  if (active > 1) return one_source ? DISPLAYCONFIG_TOPOLOGY_CLONE : DISPLAYCONFIG_TOPOLOGY_EXTEND;
  return internal ? DISPLAYCONFIG_TOPOLOGY_INTERNAL : DISPLAYCONFIG_TOPOLOGY_EXTERNAL;
}

Monitor MakeMonitor(const wchar_t* id, const wchar_t* interface_path, const wchar_t* device_key,
                    int instance) {
  Monitor monitor;
  monitor.interface_path = interface_path;
  monitor.hardware_id = std::wstring(L"MONITOR\\") + id +
                        L"\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\000" +
                        std::to_wstring(instance);
  monitor.device_key = device_key;
  return monitor;
}

Adapter MakeAdapter(int number, const LUID& luid, const std::wstring& name) {
  Adapter adapter;
  adapter.gdi_name = L"\\\\.\\DISPLAY" + std::to_wstring(number);
  adapter.name = name;
  adapter.state_flags = 0;
  adapter.hardware_id = L"PCI\\VEN_8086&DEV_A7A0&SUBSYS_00011D72&REV_04";
  adapter.interface_path =
      L"\\\\?\\PCI#VEN_8086&DEV_A7A0&SUBSYS_00011D72&REV_04#3&11583659&0&10#"
      L"{5b45201d-f2f2-4f3b-85bb-30ff1f953599}";
  adapter.device_key =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Video\\"
      L"{3C2A1E55-4B6D-11EE-9A2B-806E6F6E6963}\\000" +
      std::to_wstring(number - 1);
  adapter.luid = luid;
  adapter.source_id = static_cast<UINT32>(number - 1);
  return adapter;
}

}  // namespace

bool DisplayOfDeviceKeyLocked(const std::wstring& device_key, LUID* adapter, UINT32* source_id) {
  for (const Adapter& source : D().topology.adapters) {
    for (const Monitor& monitor : source.monitors) {
      if (!EqualsNoCase(monitor.device_key, device_key)) continue;
      const DisplayPath* chosen = nullptr;
      for (const DisplayPath& path : D().topology.paths) {
        if (!EqualsNoCase(path.source, source.gdi_name)) continue;
        if (EqualsNoCase(path.monitor_device_path, monitor.interface_path)) {
          chosen = &path;
          break;
        }
        if (chosen == nullptr) chosen = &path;
      }
      if (chosen == nullptr) return false;
      *adapter = chosen->target_adapter;
      *source_id = source.source_id;
      return true;
    }
  }
  return false;
}

namespace {

// The sources of the paths of a display, each once, in path order.
std::vector<const Adapter*> SourcesOfDisplayLocked(const LUID& adapter, UINT32 source_id) {
  std::vector<const Adapter*> sources;
  for (const DisplayPath& path : D().topology.paths) {
    if (!SameLuid(path.target_adapter, adapter)) continue;
    const Adapter* source = AdapterNamedLocked(path.source);
    if (source == nullptr || source->source_id != source_id) continue;
    if (std::find(sources.begin(), sources.end(), source) == sources.end()) {
      sources.push_back(source);
    }
  }
  return sources;
}

}  // namespace

bool DisplayExistsLocked(const LUID& adapter, UINT32 source_id) {
  return !SourcesOfDisplayLocked(adapter, source_id).empty();
}

std::vector<std::wstring> DeviceKeysOfDisplayLocked(const LUID& adapter, UINT32 source_id) {
  std::vector<std::wstring> keys;
  for (const Adapter* source : SourcesOfDisplayLocked(adapter, source_id)) {
    for (const Monitor& monitor : source->monitors) keys.push_back(monitor.device_key);
  }
  return keys;
}

void ResetDisplaysLocked() {
  D().topology = LaptopDisplays();
  D().pending.clear();
  D().version = WindowsVersion();
  ++D().generation;
}

// ----- Test-facing side ----------------------------------------------------------------------

void SetDisplays(const DisplayTopology& topology) {
  Lock lock(MachineLock());
  D().topology = topology;
  ++D().generation;
}

void SetWindowsVersion(const WindowsVersion& version) {
  Lock lock(MachineLock());
  D().version = version;
}

WindowsVersion CurrentWindowsVersion() {
  Lock lock(MachineLock());
  return D().version;
}

DisplayTopology Displays() {
  Lock lock(MachineLock());
  return D().topology;
}

void ChangeDisplaysBeforeNextQuery(const DisplayTopology& topology) {
  Lock lock(MachineLock());
  D().pending.push_back(topology);
}

DisplayTopology LaptopDisplays(const LaptopDisplayOptions& options) {
  const bool external = options.external != ExternalMonitor::None;
  const bool cloned = options.external == ExternalMonitor::Cloned;
  DisplayTopology topology;
  const LUID source_gpu = options.hybrid ? kLaptopDiscreteGpu : kLaptopGpu;
  const wchar_t* source_gpu_name =
      options.hybrid ? L"Tarvex Discrete Graphics" : L"Tarvex Integrated Graphics";
  Adapter panel_source = MakeAdapter(1, source_gpu, source_gpu_name);
  Adapter second_source = MakeAdapter(2, source_gpu, source_gpu_name);
  Monitor panel = MakeMonitor(L"TVX1A2B", kPanelMonitorPath, kPanelDeviceKey, 0);
  Monitor outside = MakeMonitor(L"EXT5678", kExternalMonitorPath, kExternalDeviceKey, 1);

  DisplayPath panel_path;
  panel_path.source = panel_source.gdi_name;
  panel_path.target_adapter = kLaptopGpu;
  panel_path.target_id = 0x1100;
  panel_path.output_technology = options.panel_technology;
  panel_path.monitor_device_path = kPanelMonitorPath;
  panel_path.active = !options.lid_closed;
  DisplayPath outside_path;
  outside_path.source = cloned ? panel_source.gdi_name : second_source.gdi_name;
  outside_path.target_adapter = source_gpu;  // wired to the adapter of its source
  outside_path.target_id = 0x1101;
  outside_path.output_technology = options.both_clones_internal
                                       ? DISPLAYCONFIG_OUTPUT_TECHNOLOGY_INTERNAL
                                       : DISPLAYCONFIG_OUTPUT_TECHNOLOGY_HDMI;
  outside_path.monitor_device_path = kExternalMonitorPath;
  outside_path.monitor_name = L"EXT Monitor 27";

  const bool panel_on = !options.lid_closed;
  const bool outside_primary =
      external && (options.external == ExternalMonitor::Primary || (!panel_on && !cloned));
  if (panel_on) {
    panel_source.state_flags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
    if (!outside_primary) panel_source.state_flags |= DISPLAY_DEVICE_PRIMARY_DEVICE;
    if (cloned && options.external_listed_first) panel_source.monitors.push_back(outside);
    panel_source.monitors.push_back(panel);
    if (cloned && !options.external_listed_first) panel_source.monitors.push_back(outside);
  }
  if (external && !cloned) {
    second_source.state_flags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
    if (outside_primary) {
      second_source.state_flags |= DISPLAY_DEVICE_PRIMARY_DEVICE;
      second_source.area = {0, 0, 2560, 1440};
      panel_source.area = {2560, 0, 2560 + 1920, 1080};
    } else {
      second_source.area = {1920, 0, 1920 + 2560, 1440};
    }
    second_source.monitors.push_back(outside);
  }
  topology.adapters = {panel_source, second_source};
  if (cloned) {
    topology.paths = {outside_path, panel_path};
  } else if (external) {
    topology.paths = {panel_path, outside_path};
  } else {
    topology.paths = {panel_path};
  }
  return topology;
}

DisplayTopology DesktopDisplays(int count) {
  DisplayTopology topology;
  const LUID gpu = {0x0000BEEF, 0};
  for (int i = 0; i < count; ++i) {
    Adapter source = MakeAdapter(i + 1, gpu, L"Desktop Graphics");
    source.state_flags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;
    if (i == 0) source.state_flags |= DISPLAY_DEVICE_PRIMARY_DEVICE;
    source.area = {1920 * i, 0, 1920 * (i + 1), 1080};
    const std::wstring id = L"DSK" + std::to_wstring(1000 + i);
    const std::wstring path = L"\\\\?\\DISPLAY#" + id + L"#5&1a2b3c&0&UID" +
                              std::to_wstring(256 + i) + L"#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
    const std::wstring key =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
        L"{4d36e96e-e325-11ce-bfc1-08002be10318}\\" +
        std::to_wstring(1000 + i).substr(0, 4);
    source.monitors.push_back(MakeMonitor(id.c_str(), path.c_str(), key.c_str(), i));
    topology.adapters.push_back(source);
    DisplayPath display;
    display.source = source.gdi_name;
    display.target_adapter = gpu;
    display.target_id = 0x1100 + static_cast<UINT32>(i);
    display.output_technology = DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EXTERNAL;
    display.monitor_device_path = path;
    display.monitor_name = L"Desktop Monitor " + std::to_wstring(i + 1);
    topology.paths.push_back(display);
  }
  return topology;
}

}  // namespace sim

// ----- Win32 ----------------------------------------------------------------------------------

using namespace sim;

extern "C" BOOL WINAPI EnumDisplayDevicesW(LPCWSTR lpDevice, DWORD iDevNum,
                                           PDISPLAY_DEVICEW lpDisplayDevice, DWORD dwFlags) {
  if (DWORD e = Enter(
          __func__, Args(lpDevice, iDevNum, static_cast<const void*>(lpDisplayDevice), dwFlags))) {
    return Fail(e, FALSE);
  }
  if (lpDisplayDevice == nullptr || lpDisplayDevice->cb < offsetof(DISPLAY_DEVICEW, DeviceString)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  const auto& adapters = D().topology.adapters;
  std::wstring name;
  std::wstring text;
  DWORD flags = 0;
  std::wstring id;
  std::wstring key;
  const bool interface_name = (dwFlags & EDD_GET_DEVICE_INTERFACE_NAME) != 0;
  if (lpDevice == nullptr || lpDevice[0] == L'\0') {
    if (iDevNum >= adapters.size()) return FALSE;
    const Adapter& adapter = adapters[iDevNum];
    name = adapter.gdi_name;
    text = adapter.name;
    flags = adapter.state_flags;
    id = interface_name ? adapter.interface_path : adapter.hardware_id;
    key = adapter.device_key;
  } else {
    const Adapter* adapter = AdapterNamedLocked(lpDevice);
    if (adapter == nullptr || iDevNum >= adapter->monitors.size()) return FALSE;
    const Monitor& monitor = adapter->monitors[iDevNum];
    name = adapter->gdi_name + L"\\Monitor" + std::to_wstring(iDevNum);
    text = monitor.name;
    flags = monitor.state_flags;
    id = interface_name ? monitor.interface_path : monitor.hardware_id;
    key = monitor.device_key;
  }
  // Each member is filled when the caller's cb covers it.
  const DWORD cb = lpDisplayDevice->cb;
  auto covers = [cb](size_t offset, size_t size) { return offset + size <= cb; };
  if (covers(offsetof(DISPLAY_DEVICEW, DeviceName), sizeof(lpDisplayDevice->DeviceName))) {
    Field(lpDisplayDevice->DeviceName, name);
  }
  if (covers(offsetof(DISPLAY_DEVICEW, DeviceString), sizeof(lpDisplayDevice->DeviceString))) {
    Field(lpDisplayDevice->DeviceString, text);
  }
  if (covers(offsetof(DISPLAY_DEVICEW, StateFlags), sizeof(DWORD))) {
    lpDisplayDevice->StateFlags = flags;
  }
  if (covers(offsetof(DISPLAY_DEVICEW, DeviceID), sizeof(lpDisplayDevice->DeviceID))) {
    Field(lpDisplayDevice->DeviceID, id);
  }
  if (covers(offsetof(DISPLAY_DEVICEW, DeviceKey), sizeof(lpDisplayDevice->DeviceKey))) {
    Field(lpDisplayDevice->DeviceKey, key);
  }
  return TRUE;
}

extern "C" HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD dwFlags) {
  if (Enter(__func__, Args(static_cast<const void*>(hwnd), dwFlags))) return nullptr;
  // The machine has no windows: every window handle is one that intersects no monitor, so the
  // flags alone decide.
  if (dwFlags != MONITOR_DEFAULTTOPRIMARY && dwFlags != MONITOR_DEFAULTTONEAREST) return nullptr;
  Lock lock(MachineLock());
  const auto& adapters = D().topology.adapters;
  for (size_t i = 0; i < adapters.size(); ++i) {
    const DWORD flags = adapters[i].state_flags;
    if ((flags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) && (flags & DISPLAY_DEVICE_PRIMARY_DEVICE)) {
      return MonitorHandle(i);
    }
  }
  return nullptr;
}

extern "C" BOOL WINAPI GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  if (DWORD e = Enter(__func__,
                      Args(static_cast<const void*>(hMonitor), static_cast<const void*>(lpmi)))) {
    return Fail(e, FALSE);
  }
  if (lpmi == nullptr ||
      (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != sizeof(MONITORINFOEXW))) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  Lock lock(MachineLock());
  const Adapter* adapter = AdapterOfMonitorLocked(hMonitor);
  if (adapter == nullptr) return Fail(ERROR_INVALID_MONITOR_HANDLE, FALSE);
  const bool primary = (adapter->state_flags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
  lpmi->rcMonitor = adapter->area;
  lpmi->rcWork = adapter->area;
  if (primary) lpmi->rcWork.bottom -= 48;  // the taskbar
  lpmi->dwFlags = primary ? MONITORINFOF_PRIMARY : 0;
  if (lpmi->cbSize == sizeof(MONITORINFOEXW)) {
    Field(static_cast<MONITORINFOEXW*>(lpmi)->szDevice, adapter->gdi_name);
  }
  return TRUE;
}

extern "C" LONG WINAPI GetDisplayConfigBufferSizes(UINT32 flags, UINT32* numPathArrayElements,
                                                   UINT32* numModeInfoArrayElements) {
  if (DWORD e = Enter(__func__, Args(flags, static_cast<const void*>(numPathArrayElements),
                                     static_cast<const void*>(numModeInfoArrayElements)))) {
    return static_cast<LONG>(e);
  }
  Lock lock(MachineLock());
  if (!ValidQueryFlagsLocked(flags) || numPathArrayElements == nullptr ||
      numModeInfoArrayElements == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const Answer answer = AnswerLocked(flags);
  *numPathArrayElements = static_cast<UINT32>(answer.paths.size());
  *numModeInfoArrayElements = static_cast<UINT32>(answer.modes.size());
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI QueryDisplayConfig(UINT32 flags, UINT32* numPathArrayElements,
                                          DISPLAYCONFIG_PATH_INFO* pathArray,
                                          UINT32* numModeInfoArrayElements,
                                          DISPLAYCONFIG_MODE_INFO* modeInfoArray,
                                          DISPLAYCONFIG_TOPOLOGY_ID* currentTopologyId) {
  if (DWORD e = Enter(__func__, Args(flags, numPathArrayElements ? *numPathArrayElements : 0u,
                                     static_cast<const void*>(pathArray),
                                     numModeInfoArrayElements ? *numModeInfoArrayElements : 0u,
                                     static_cast<const void*>(modeInfoArray),
                                     static_cast<const void*>(currentTopologyId)))) {
    return static_cast<LONG>(e);
  }
  Lock lock(MachineLock());
  if (!ValidQueryFlagsLocked(flags) || numPathArrayElements == nullptr || pathArray == nullptr ||
      numModeInfoArrayElements == nullptr || modeInfoArray == nullptr ||
      *numPathArrayElements == 0 || *numModeInfoArrayElements == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  // Only the persistence database answers with a topology id, and it must be asked for one.
  const bool database = (flags & QDC_DATABASE_CURRENT) != 0;
  if (database != (currentTopologyId != nullptr)) return ERROR_INVALID_PARAMETER;
  if (!D().pending.empty()) {
    D().topology = D().pending.front();
    D().pending.pop_front();
    ++D().generation;
  }
  const Answer answer = AnswerLocked(flags);
  if (*numPathArrayElements < answer.paths.size() ||
      *numModeInfoArrayElements < answer.modes.size()) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::copy(answer.paths.begin(), answer.paths.end(), pathArray);
  std::copy(answer.modes.begin(), answer.modes.end(), modeInfoArray);
  *numPathArrayElements = static_cast<UINT32>(answer.paths.size());
  *numModeInfoArrayElements = static_cast<UINT32>(answer.modes.size());
  if (database) *currentTopologyId = TopologyIdLocked(answer);
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI DisplayConfigGetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER* requestPacket) {
  if (DWORD e =
          Enter(__func__, requestPacket == nullptr
                              ? Args(static_cast<const void*>(requestPacket))
                              : Args(static_cast<int>(requestPacket->type), requestPacket->size,
                                     requestPacket->adapterId.LowPart, requestPacket->id))) {
    return static_cast<LONG>(e);
  }
  if (requestPacket == nullptr) return ERROR_INVALID_PARAMETER;
  Lock lock(MachineLock());
  switch (requestPacket->type) {
    case DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME: {
      if (requestPacket->size < sizeof(DISPLAYCONFIG_SOURCE_DEVICE_NAME)) {
        return ERROR_INSUFFICIENT_BUFFER;
      }
      const Adapter* source = SourceLocked(requestPacket->adapterId, requestPacket->id);
      if (source == nullptr) return ERROR_INVALID_PARAMETER;
      auto* name = reinterpret_cast<DISPLAYCONFIG_SOURCE_DEVICE_NAME*>(requestPacket);
      Field(name->viewGdiDeviceName, source->gdi_name);
      return ERROR_SUCCESS;
    }
    case DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME: {
      if (requestPacket->size < sizeof(DISPLAYCONFIG_TARGET_DEVICE_NAME)) {
        return ERROR_INSUFFICIENT_BUFFER;
      }
      for (const DisplayPath& path : D().topology.paths) {
        if (!SameLuid(path.target_adapter, requestPacket->adapterId) ||
            path.target_id != requestPacket->id) {
          continue;
        }
        auto* name = reinterpret_cast<DISPLAYCONFIG_TARGET_DEVICE_NAME*>(requestPacket);
        name->flags.value = 0;
        name->flags.friendlyNameFromEdid = path.monitor_name.empty() ? 0 : 1;
        name->flags.edidIdsValid = 1;
        name->outputTechnology = path.output_technology;
        name->edidManufactureId = 0x5856;
        name->edidProductCodeId = static_cast<UINT16>(path.target_id);
        name->connectorInstance = 1;
        Field(name->monitorFriendlyDeviceName, path.monitor_name);
        Field(name->monitorDevicePath, path.monitor_device_path);
        return ERROR_SUCCESS;
      }
      return ERROR_INVALID_PARAMETER;
    }
    default:
      // Preferred modes and adapter names are not modelled.
      return ERROR_NOT_SUPPORTED;
  }
}
