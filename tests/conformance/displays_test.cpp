// Display devices, the primary monitor and the display configuration. The conformance part holds
// for any machine (the sim's laptop, Wine's single virtual display); what only the sim can set up
// (clones, a closed lid, a configuration that changes between two calls) is tested below it.
#include <cstddef>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"
#include "tests/support/windows_version.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::test::PlatformTest;
using dpal::test::WindowsMajorVersion;

using dpal::test::kSentinel;

class Displays : public PlatformTest {};

DISPLAY_DEVICEW Fresh() {
  DISPLAY_DEVICEW device = {};
  device.cb = sizeof(device);
  return device;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
  return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return Lower(text).compare(0, prefix.size(), Lower(prefix)) == 0;
}

// The adapters in enumeration order.
std::vector<DISPLAY_DEVICEW> Adapters() {
  std::vector<DISPLAY_DEVICEW> adapters;
  for (DWORD i = 0; i < 32; ++i) {
    DISPLAY_DEVICEW device = Fresh();
    if (!EnumDisplayDevicesW(nullptr, i, &device, EDD_GET_DEVICE_INTERFACE_NAME)) break;
    adapters.push_back(device);
  }
  return adapters;
}

DISPLAY_DEVICEW PrimaryAdapter() {
  for (const DISPLAY_DEVICEW& adapter : Adapters()) {
    const DWORD wanted = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP | DISPLAY_DEVICE_PRIMARY_DEVICE;
    if ((adapter.StateFlags & wanted) == wanted) return adapter;
  }
  ADD_FAILURE() << "no primary adapter";
  return Fresh();
}

struct Configuration {
  LONG result = kSentinel;
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
};

Configuration Query(UINT32 flags) {
  Configuration config;
  UINT32 paths = kSentinel;
  UINT32 modes = kSentinel;
  config.result = GetDisplayConfigBufferSizes(flags, &paths, &modes);
  if (config.result != ERROR_SUCCESS) return config;
  config.paths.resize(paths);
  config.modes.resize(modes);
  config.result =
      QueryDisplayConfig(flags, &paths, config.paths.data(), &modes, config.modes.data(), nullptr);
  config.paths.resize(paths);
  config.modes.resize(modes);
  return config;
}

std::wstring SourceName(const DISPLAYCONFIG_PATH_INFO& path, LONG* result = nullptr) {
  DISPLAYCONFIG_SOURCE_DEVICE_NAME name = {};
  name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
  name.header.size = sizeof(name);
  name.header.adapterId = path.sourceInfo.adapterId;
  name.header.id = path.sourceInfo.id;
  const LONG got = DisplayConfigGetDeviceInfo(&name.header);
  if (result) *result = got;
  return got == ERROR_SUCCESS ? name.viewGdiDeviceName : L"";
}

DISPLAYCONFIG_TARGET_DEVICE_NAME TargetName(const DISPLAYCONFIG_PATH_INFO& path, LONG* result) {
  DISPLAYCONFIG_TARGET_DEVICE_NAME name = {};
  name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
  name.header.size = sizeof(name);
  name.header.adapterId = path.targetInfo.adapterId;
  name.header.id = path.targetInfo.id;
  *result = DisplayConfigGetDeviceInfo(&name.header);
  return name;
}

TEST_F(Displays, AdaptersAreListedUntilTheIndexRunsOut) {
  const std::vector<DISPLAY_DEVICEW> adapters = Adapters();
  ASSERT_FALSE(adapters.empty());
  EXPECT_TRUE(StartsWith(adapters[0].DeviceName, L"\\\\.\\DISPLAY")) << adapters[0].DeviceName;
  DISPLAY_DEVICEW past = Fresh();
  past.StateFlags = kSentinel;
  EXPECT_FALSE(EnumDisplayDevicesW(nullptr, static_cast<DWORD>(adapters.size()), &past, 0));
  EXPECT_FALSE(EnumDisplayDevicesW(nullptr, 1000, &past, 0));
  const DISPLAY_DEVICEW primary = PrimaryAdapter();
  EXPECT_NE(primary.DeviceName[0], L'\0');
}

TEST_F(Displays, MonitorOfThePrimaryAdapterHasItsInterfacePathAndClassKey) {
  const DISPLAY_DEVICEW adapter = PrimaryAdapter();
  DISPLAY_DEVICEW monitor = Fresh();
  ASSERT_TRUE(EnumDisplayDevicesW(adapter.DeviceName, 0, &monitor, EDD_GET_DEVICE_INTERFACE_NAME));
  EXPECT_EQ(std::wstring(monitor.DeviceName), std::wstring(adapter.DeviceName) + L"\\Monitor0");
  const DWORD wanted = DISPLAY_DEVICE_ACTIVE | DISPLAY_DEVICE_ATTACHED;
  EXPECT_EQ(monitor.StateFlags & wanted, wanted) << std::hex << monitor.StateFlags;
  EXPECT_TRUE(StartsWith(monitor.DeviceID, L"\\\\?\\DISPLAY#")) << monitor.DeviceID;
  EXPECT_TRUE(StartsWith(monitor.DeviceKey,
                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                         L"{4d36e96e-e325-11ce-bfc1-08002be10318}\\"))
      << monitor.DeviceKey;

  // Without the flag, DeviceID is the monitor's hardware ID instead of its interface path.
  DISPLAY_DEVICEW plain = Fresh();
  ASSERT_TRUE(EnumDisplayDevicesW(adapter.DeviceName, 0, &plain, 0));
  EXPECT_FALSE(StartsWith(plain.DeviceID, L"\\\\?\\")) << plain.DeviceID;
  EXPECT_STREQ(plain.DeviceKey, monitor.DeviceKey);

  DISPLAY_DEVICEW none = Fresh();
  EXPECT_FALSE(EnumDisplayDevicesW(L"\\\\.\\NOSUCHDISPLAY", 0, &none, 0));
}

TEST_F(Displays, PrimaryMonitorIsTheOneOfThePrimaryAdapter) {
  const DISPLAY_DEVICEW adapter = PrimaryAdapter();
  const HMONITOR monitor = MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
  ASSERT_NE(monitor, nullptr);
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(GetMonitorInfoW(monitor, &info)) << GetLastError();
  EXPECT_EQ(info.dwFlags & MONITORINFOF_PRIMARY, static_cast<DWORD>(MONITORINFOF_PRIMARY));
  EXPECT_STREQ(info.szDevice, adapter.DeviceName);
  EXPECT_EQ(info.rcMonitor.left, 0);
  EXPECT_EQ(info.rcMonitor.top, 0);
  EXPECT_GT(info.rcMonitor.right, 0);

  // The short record has no device name; a record of another size is refused.
  MONITORINFO small = {};
  small.cbSize = sizeof(small);
  EXPECT_TRUE(GetMonitorInfoW(monitor, &small));
  EXPECT_EQ(small.rcMonitor.right, info.rcMonitor.right);
  MONITORINFO odd = {};
  odd.cbSize = sizeof(odd) + 1;
  EXPECT_FALSE(GetMonitorInfoW(monitor, &odd));
}

TEST_F(Displays, ActivePathsWithTheirSourceAndTargetNames) {
  const Configuration config = Query(QDC_ONLY_ACTIVE_PATHS);
  ASSERT_EQ(config.result, ERROR_SUCCESS);
  ASSERT_FALSE(config.paths.empty());
  ASSERT_GE(config.modes.size(), 2u) << "a source and a target mode at least";
  const DISPLAY_DEVICEW adapter = PrimaryAdapter();
  DISPLAY_DEVICEW monitor = Fresh();
  ASSERT_TRUE(EnumDisplayDevicesW(adapter.DeviceName, 0, &monitor, EDD_GET_DEVICE_INTERFACE_NAME));
  bool primary_found = false;
  for (const DISPLAYCONFIG_PATH_INFO& path : config.paths) {
    EXPECT_NE(path.flags & DISPLAYCONFIG_PATH_ACTIVE, 0u);
    EXPECT_LT(path.sourceInfo.modeInfoIdx, config.modes.size());
    EXPECT_LT(path.targetInfo.modeInfoIdx, config.modes.size());
    EXPECT_EQ(config.modes[path.targetInfo.modeInfoIdx].infoType,
              DISPLAYCONFIG_MODE_INFO_TYPE_TARGET);
    LONG result = kSentinel;
    const std::wstring source = SourceName(path, &result);
    EXPECT_EQ(result, ERROR_SUCCESS);
    if (source != adapter.DeviceName) continue;
    primary_found = true;
    const DISPLAYCONFIG_TARGET_DEVICE_NAME target = TargetName(path, &result);
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_TRUE(lstrcmpiW(target.monitorDevicePath, monitor.DeviceID) == 0)
        << target.monitorDevicePath << " / " << monitor.DeviceID;
  }
  EXPECT_TRUE(primary_found) << "a path whose source is the primary adapter";
}

TEST_F(Displays, QueryIntoArraysTooSmallAsksForMore) {
  UINT32 paths = 0;
  UINT32 modes = 0;
  ASSERT_EQ(GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &paths, &modes), ERROR_SUCCESS);
  ASSERT_GE(paths, 1u);
  std::vector<DISPLAYCONFIG_PATH_INFO> path_array(paths);
  std::vector<DISPLAYCONFIG_MODE_INFO> mode_array(modes);
  UINT32 all_paths = paths;
  UINT32 fewer_modes = modes - 1;
  EXPECT_EQ(QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &all_paths, path_array.data(), &fewer_modes,
                               mode_array.data(), nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  if (paths > 1) {
    UINT32 fewer_paths = paths - 1;
    UINT32 all_modes = modes;
    EXPECT_EQ(QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &fewer_paths, path_array.data(), &all_modes,
                                 mode_array.data(), nullptr),
              ERROR_INSUFFICIENT_BUFFER);
  }
  // An empty array is no array at all.
  UINT32 no_paths = 0;
  UINT32 all_modes = modes;
  EXPECT_EQ(QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &no_paths, path_array.data(), &all_modes,
                               mode_array.data(), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(Displays, FlagsAndTopologyIdAreChecked) {
  UINT32 paths = kSentinel;
  UINT32 modes = kSentinel;
  EXPECT_EQ(GetDisplayConfigBufferSizes(0, &paths, &modes), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS | QDC_ALL_PATHS, &paths, &modes),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &paths, &modes), ERROR_SUCCESS);
  std::vector<DISPLAYCONFIG_PATH_INFO> path_array(paths);
  std::vector<DISPLAYCONFIG_MODE_INFO> mode_array(modes);
  DISPLAYCONFIG_TOPOLOGY_ID topology = DISPLAYCONFIG_TOPOLOGY_FORCE_UINT32;
  EXPECT_EQ(QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &paths, path_array.data(), &modes,
                               mode_array.data(), &topology),
            ERROR_INVALID_PARAMETER)
      << "only the database query answers with a topology";
}

TEST_F(Displays, VirtualModeAwareQuery) {
  const UINT32 flags = QDC_ONLY_ACTIVE_PATHS | QDC_VIRTUAL_MODE_AWARE;
  UINT32 paths = kSentinel;
  UINT32 modes = kSentinel;
  const LONG sizes = GetDisplayConfigBufferSizes(flags, &paths, &modes);
  if (WindowsMajorVersion() < 10) {
    // Windows knows the flag from Windows 10 on; before, both calls refuse it.
    EXPECT_EQ(sizes, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Query(flags).result, ERROR_INVALID_PARAMETER);
    return;
  }
  // Wine gap (8.0): the virtual-mode-aware query is refused, by both calls, also where the
  // prefix reports Windows 10.
  DPAL_TODO_WINE {
    ASSERT_EQ(sizes, ERROR_SUCCESS);
    const Configuration config = Query(flags);
    ASSERT_EQ(config.result, ERROR_SUCCESS);
    ASSERT_FALSE(config.paths.empty());
    for (const DISPLAYCONFIG_PATH_INFO& path : config.paths) {
      EXPECT_NE(path.flags & DISPLAYCONFIG_PATH_SUPPORT_VIRTUAL_MODE, 0u);
      ASSERT_LT(path.targetInfo.targetModeInfoIdx, config.modes.size());
      ASSERT_LT(path.targetInfo.desktopModeInfoIdx, config.modes.size());
      ASSERT_LT(path.sourceInfo.sourceModeInfoIdx, config.modes.size());
      EXPECT_EQ(config.modes[path.targetInfo.targetModeInfoIdx].infoType,
                DISPLAYCONFIG_MODE_INFO_TYPE_TARGET);
      EXPECT_EQ(config.modes[path.targetInfo.desktopModeInfoIdx].infoType,
                DISPLAYCONFIG_MODE_INFO_TYPE_DESKTOP_IMAGE);
      EXPECT_EQ(config.modes[path.sourceInfo.sourceModeInfoIdx].infoType,
                DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE);
    }
  }
}

TEST_F(Displays, DeviceInfoOfAnUnknownSourceOrTargetIsRefused) {
  DISPLAYCONFIG_PATH_INFO nowhere = {};
  nowhere.sourceInfo.adapterId = {0x7777, 0x7777};
  nowhere.targetInfo.adapterId = {0x7777, 0x7777};
  LONG result = kSentinel;
  EXPECT_EQ(SourceName(nowhere, &result), L"");
  EXPECT_NE(result, ERROR_SUCCESS);
  TargetName(nowhere, &result);
  EXPECT_NE(result, ERROR_SUCCESS);
}

#if DPAL_SIM

// ----- What only the sim can set up --------------------------------------------------------------

class SimDisplays : public PlatformTest {};

TEST_F(SimDisplays, ClonedSourceListsBothMonitorsAndHasTwoPaths) {
  sim::LaptopDisplayOptions options;
  options.external = sim::ExternalMonitor::Cloned;
  sim::SetDisplays(sim::LaptopDisplays(options));
  DISPLAY_DEVICEW first = Fresh();
  DISPLAY_DEVICEW second = Fresh();
  ASSERT_TRUE(EnumDisplayDevicesW(L"\\\\.\\DISPLAY1", 0, &first, EDD_GET_DEVICE_INTERFACE_NAME));
  ASSERT_TRUE(EnumDisplayDevicesW(L"\\\\.\\DISPLAY1", 1, &second, EDD_GET_DEVICE_INTERFACE_NAME));
  EXPECT_STREQ(first.DeviceKey, sim::kExternalDeviceKey) << "listed first in this set-up";
  EXPECT_STREQ(second.DeviceKey, sim::kPanelDeviceKey);
  const Configuration config = Query(QDC_ONLY_ACTIVE_PATHS);
  ASSERT_EQ(config.result, ERROR_SUCCESS);
  ASSERT_EQ(config.paths.size(), 2u);
  EXPECT_EQ(config.paths[0].sourceInfo.modeInfoIdx, config.paths[1].sourceInfo.modeInfoIdx)
      << "clones share the source mode";
  EXPECT_EQ(config.modes.size(), 3u);
  EXPECT_EQ(SourceName(config.paths[0]), L"\\\\.\\DISPLAY1");
  EXPECT_EQ(SourceName(config.paths[1]), L"\\\\.\\DISPLAY1");
  EXPECT_EQ(config.paths[1].targetInfo.outputTechnology,
            DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EMBEDDED);
}

TEST_F(SimDisplays, OlderWindowsRefusesTheFlagsItDoesNotKnow) {
  UINT32 paths = kSentinel;
  UINT32 modes = kSentinel;
  const UINT32 hmd = QDC_ONLY_ACTIVE_PATHS | QDC_INCLUDE_HMD;
  sim::SetWindowsVersion({6, 3, 9600});
  EXPECT_EQ(Query(QDC_ONLY_ACTIVE_PATHS | QDC_VIRTUAL_MODE_AWARE).result, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetDisplayConfigBufferSizes(hmd, &paths, &modes), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Query(QDC_ONLY_ACTIVE_PATHS).result, ERROR_SUCCESS);
  sim::SetWindowsVersion({10, 0, 14393});  // version 1607: virtual modes, but no HMD yet
  EXPECT_EQ(Query(QDC_ONLY_ACTIVE_PATHS | QDC_VIRTUAL_MODE_AWARE).result, ERROR_SUCCESS);
  EXPECT_EQ(GetDisplayConfigBufferSizes(hmd, &paths, &modes), ERROR_INVALID_PARAMETER);
  sim::SetWindowsVersion({10, 0, 15063});
  EXPECT_EQ(GetDisplayConfigBufferSizes(hmd, &paths, &modes), ERROR_SUCCESS);
}

TEST_F(SimDisplays, HybridPanelPathCrossesAdapters) {
  sim::LaptopDisplayOptions options;
  options.hybrid = true;
  sim::SetDisplays(sim::LaptopDisplays(options));
  const Configuration config = Query(QDC_ONLY_ACTIVE_PATHS);
  ASSERT_EQ(config.result, ERROR_SUCCESS);
  ASSERT_EQ(config.paths.size(), 1u);
  const DISPLAYCONFIG_PATH_INFO& path = config.paths[0];
  EXPECT_EQ(path.sourceInfo.adapterId.LowPart, sim::kLaptopDiscreteGpu.LowPart);
  EXPECT_EQ(path.targetInfo.adapterId.LowPart, sim::kLaptopGpu.LowPart);
  EXPECT_EQ(config.modes[path.sourceInfo.modeInfoIdx].adapterId.LowPart,
            sim::kLaptopDiscreteGpu.LowPart);
  EXPECT_EQ(config.modes[path.targetInfo.modeInfoIdx].adapterId.LowPart, sim::kLaptopGpu.LowPart);
  EXPECT_EQ(SourceName(path), L"\\\\.\\DISPLAY1");
  LONG result = kSentinel;
  EXPECT_STREQ(TargetName(path, &result).monitorDevicePath, sim::kPanelMonitorPath);
  EXPECT_EQ(result, ERROR_SUCCESS);
  // Each half of the path is named by its own adapter.
  DISPLAYCONFIG_PATH_INFO swapped = path;
  swapped.targetInfo.adapterId = path.sourceInfo.adapterId;
  swapped.sourceInfo.adapterId = path.targetInfo.adapterId;
  TargetName(swapped, &result);
  EXPECT_EQ(result, ERROR_INVALID_PARAMETER);
  SourceName(swapped, &result);
  EXPECT_EQ(result, ERROR_INVALID_PARAMETER);
}

TEST_F(SimDisplays, ClosedLidLeavesOnlyTheExternalMonitor) {
  sim::LaptopDisplayOptions options;
  options.external = sim::ExternalMonitor::Extended;
  options.lid_closed = true;
  sim::SetDisplays(sim::LaptopDisplays(options));
  const Configuration active = Query(QDC_ONLY_ACTIVE_PATHS);
  ASSERT_EQ(active.paths.size(), 1u);
  EXPECT_EQ(active.paths[0].targetInfo.outputTechnology, DISPLAYCONFIG_OUTPUT_TECHNOLOGY_HDMI);
  EXPECT_EQ(SourceName(active.paths[0]), L"\\\\.\\DISPLAY2");
  const Configuration all = Query(QDC_ALL_PATHS);
  ASSERT_EQ(all.paths.size(), 2u) << "the panel's path stays, inactive";
  EXPECT_EQ(all.paths[0].flags & DISPLAYCONFIG_PATH_ACTIVE, 0u);
  EXPECT_EQ(all.paths[0].sourceInfo.modeInfoIdx, DISPLAYCONFIG_PATH_MODE_IDX_INVALID);
  EXPECT_STREQ(PrimaryAdapter().DeviceName, L"\\\\.\\DISPLAY2");

  // Closed without an external monitor, nothing is on: there is no primary monitor.
  options.external = sim::ExternalMonitor::None;
  sim::SetDisplays(sim::LaptopDisplays(options));
  EXPECT_EQ(MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY), nullptr);
  EXPECT_TRUE(Query(QDC_ONLY_ACTIVE_PATHS).paths.empty());
}

TEST_F(SimDisplays, ConfigurationThatGrowsBetweenSizeAndQueryAsksForMore) {
  UINT32 paths = 0;
  UINT32 modes = 0;
  ASSERT_EQ(GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &paths, &modes), ERROR_SUCCESS);
  ASSERT_EQ(paths, 1u);
  sim::LaptopDisplayOptions options;
  options.external = sim::ExternalMonitor::Extended;
  sim::ChangeDisplaysBeforeNextQuery(sim::LaptopDisplays(options));
  std::vector<DISPLAYCONFIG_PATH_INFO> path_array(paths);
  std::vector<DISPLAYCONFIG_MODE_INFO> mode_array(modes);
  EXPECT_EQ(QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &paths, path_array.data(), &modes,
                               mode_array.data(), nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  const Configuration again = Query(QDC_ONLY_ACTIVE_PATHS);
  EXPECT_EQ(again.result, ERROR_SUCCESS);
  EXPECT_EQ(again.paths.size(), 2u) << "the change stays";
}

TEST_F(SimDisplays, MonitorHandleOfAnEarlierTopologyIsInvalid) {
  const HMONITOR before = MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
  ASSERT_NE(before, nullptr);
  sim::SetDisplays(sim::LaptopDisplays());
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  SetLastError(kSentinel);
  EXPECT_FALSE(GetMonitorInfoW(before, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MONITOR_HANDLE));
}

TEST_F(SimDisplays, TextTooLongForItsFieldIsNotTerminated) {
  sim::DisplayTopology topology = sim::LaptopDisplays();
  topology.adapters[0].monitors[0].device_key = std::wstring(300, L'K');
  sim::SetDisplays(topology);
  DISPLAY_DEVICEW monitor = Fresh();
  ASSERT_TRUE(EnumDisplayDevicesW(L"\\\\.\\DISPLAY1", 0, &monitor, 0));
  size_t length = 0;
  EXPECT_FALSE(SUCCEEDED(StringCchLengthW(monitor.DeviceKey, 128, &length)))
      << "the whole field is key, with no terminator";
  EXPECT_EQ(monitor.DeviceKey[127], L'K');
}

TEST_F(SimDisplays, RecordsShorterThanTheirSizeGetOnlyWhatFits) {
  DISPLAY_DEVICEW device = {};
  device.cb = offsetof(DISPLAY_DEVICEW, StateFlags) + sizeof(DWORD);
  device.DeviceKey[0] = L'?';
  ASSERT_TRUE(EnumDisplayDevicesW(nullptr, 0, &device, 0));
  EXPECT_STREQ(device.DeviceName, L"\\\\.\\DISPLAY1");
  EXPECT_EQ(device.DeviceKey[0], L'?') << "beyond cb nothing is written";
  device.cb = 4;
  EXPECT_FALSE(EnumDisplayDevicesW(nullptr, 0, &device, 0));
}

#endif  // DPAL_SIM

}  // namespace
