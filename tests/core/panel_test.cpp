// Identification of the built-in panel: the primary-display procedure (the core library, the
// uninstaller) and the internal-panel procedure (the profile-setting tool), on the simulated
// laptop's set-ups. The first test also runs under Wine, whose one display is external.
#include <cstring>
#include <string>

#include "core/steps/panel.h"
#include "tests/support/platform_test.h"
#include "tests/support/windows_version.h"
#include "tests/support/wine_todo.h"

namespace {

using dpal::core::IdentifyInternalPanel;
using dpal::core::IdentifyPrimaryPanel;
using dpal::core::PanelTarget;
using dpal::test::PlatformTest;

class Panel : public PlatformTest {};

TEST_F(Panel, PrimaryDisplayIsFoundAndTheInternalPanelOnlyWhereThereIsOne) {
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  EXPECT_TRUE(primary.valid);
  EXPECT_EQ(primary.subtype, dpal::core::kStandardDisplayColourMode);
  EXPECT_EQ(primary.profileId, 1u);
  EXPECT_NE(primary.monitor, nullptr);
  EXPECT_NE(primary.deviceKey[0], L'\0');
  EXPECT_NE(primary.path.flags & DISPLAYCONFIG_PATH_ACTIVE, 0u);
  const PanelTarget internal = IdentifyInternalPanel(dpal::core::kExtendedKind);
  EXPECT_EQ(internal.subtype, dpal::core::kExtendedDisplayColourMode);
  if (dpal::test::WindowsMajorVersion() < 10) {
    // Before Windows 10 the virtual-mode-aware query is refused: there is no internal panel.
    EXPECT_FALSE(internal.valid);
    return;
  }
  // Wine refuses the virtual-mode-aware query on Windows 10 too: no internal panel there.
  DPAL_TODO_WINE {
    EXPECT_TRUE(internal.valid);
    EXPECT_STREQ(internal.deviceKey, primary.deviceKey) << "the laptop's panel is primary";
    EXPECT_EQ(internal.monitor, nullptr) << "the internal-panel procedure names no monitor";
  }
}

#if DPAL_SIM

const std::wstring kPanelKey = sim::kPanelDeviceKey;
const std::wstring kExternalKey = sim::kExternalDeviceKey;

void UseDisplays(const sim::LaptopDisplayOptions& options) {
  sim::SetDisplays(sim::LaptopDisplays(options));
}

sim::LaptopDisplayOptions With(sim::ExternalMonitor external) {
  sim::LaptopDisplayOptions options;
  options.external = external;
  return options;
}

uint64_t DisplayCalls() {
  return sim::CallCount("EnumDisplayDevicesW") + sim::CallCount("MonitorFromWindow") +
         sim::CallCount("GetDisplayConfigBufferSizes") + sim::CallCount("QueryDisplayConfig") +
         sim::CallCount("DisplayConfigGetDeviceInfo") + sim::CallCount("GetMonitorInfoW");
}

void ExpectReset(const PanelTarget& target) {
  EXPECT_EQ(target.subtype, CPST_NONE);
  EXPECT_EQ(target.profileId, 0u);
  EXPECT_EQ(target.deviceKey[0], L'\0');
  EXPECT_EQ(target.monitor, nullptr);
  EXPECT_FALSE(target.valid);
  const DISPLAYCONFIG_PATH_INFO zero = {};
  EXPECT_EQ(std::memcmp(&target.path, &zero, sizeof(zero)), 0);
}

TEST_F(Panel, InvalidKindCallsNoDisplayFunction) {
  for (int kind : {0, 3, -1}) {
    sim::ClearTrace();
    ExpectReset(IdentifyPrimaryPanel(kind));
    ExpectReset(IdentifyInternalPanel(kind));
    EXPECT_EQ(DisplayCalls(), 0u) << "kind " << kind;
  }
}

TEST_F(Panel, BuiltInPanelAlone) {
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kExtendedKind);
  ASSERT_TRUE(primary.valid);
  EXPECT_EQ(primary.deviceKey, kPanelKey);
  EXPECT_EQ(primary.path.targetInfo.id, 0x1100u) << "the panel's path";
  EXPECT_EQ(primary.subtype, dpal::core::kExtendedDisplayColourMode);
  const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(internal.valid);
  EXPECT_EQ(internal.deviceKey, kPanelKey);
  EXPECT_EQ(internal.path.targetInfo.id, 0x1100u);
  EXPECT_NE(internal.path.flags & DISPLAYCONFIG_PATH_SUPPORT_VIRTUAL_MODE, 0u)
      << "the path of the virtual-mode-aware query";
}

TEST_F(Panel, ExternalPrimaryIsFollowedByThePrimaryProcedureOnly) {
  UseDisplays(With(sim::ExternalMonitor::Primary));
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(primary.valid);
  EXPECT_EQ(primary.deviceKey, kExternalKey);
  EXPECT_EQ(primary.path.targetInfo.outputTechnology, DISPLAYCONFIG_OUTPUT_TECHNOLOGY_HDMI);
  const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(internal.valid);
  EXPECT_EQ(internal.deviceKey, kPanelKey);
}

TEST_F(Panel, ClonesPreferTheLaterInternalPathAndKeepTheFirstListedMonitor) {
  UseDisplays(With(sim::ExternalMonitor::Cloned));  // the external monitor is listed first
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(primary.valid);
  EXPECT_EQ(primary.path.targetInfo.id, 0x1100u) << "the panel's clone path, second in the array";
  EXPECT_EQ(primary.deviceKey, kExternalKey) << "the first active monitor of the source";
  EXPECT_EQ(IdentifyInternalPanel(dpal::core::kStandardKind).deviceKey, kPanelKey);

  // Two internal clone paths: the later one wins although the first is internal too.
  sim::LaptopDisplayOptions both = With(sim::ExternalMonitor::Cloned);
  both.both_clones_internal = true;
  UseDisplays(both);
  EXPECT_EQ(IdentifyPrimaryPanel(dpal::core::kStandardKind).path.targetInfo.id, 0x1100u);
  EXPECT_EQ(IdentifyInternalPanel(dpal::core::kStandardKind).path.targetInfo.id, 0x1101u)
      << "the internal-panel procedure takes the first internal path";

  // With the panel listed first, its key is the one.
  sim::LaptopDisplayOptions panel_first = With(sim::ExternalMonitor::Cloned);
  panel_first.external_listed_first = false;
  UseDisplays(panel_first);
  EXPECT_EQ(IdentifyPrimaryPanel(dpal::core::kStandardKind).deviceKey, kPanelKey);
}

TEST_F(Panel, WithoutAnInternalOutputOnlyThePrimaryProcedureSucceeds) {
  sim::LaptopDisplayOptions lid = With(sim::ExternalMonitor::Extended);
  lid.lid_closed = true;
  UseDisplays(lid);
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(primary.valid);
  EXPECT_EQ(primary.deviceKey, kExternalKey);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);

  // A panel connected by LVDS is not an internal output: the first match stays.
  sim::LaptopDisplayOptions lvds;
  lvds.panel_technology = DISPLAYCONFIG_OUTPUT_TECHNOLOGY_LVDS;
  UseDisplays(lvds);
  EXPECT_TRUE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);

  // Desktop machine: several external monitors, the first primary.
  sim::SetDisplays(sim::DesktopDisplays(3));
  const PanelTarget desktop = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  ASSERT_TRUE(desktop.valid);
  EXPECT_EQ(desktop.path.targetInfo.id, 0x1100u);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
}

TEST_F(Panel, EveryInternalTechnologyMarksThePanel) {
  // Cloned with the external monitor first in the path array: only an internal technology makes
  // the panel's path win in the primary procedure, and the internal procedure needs one at all.
  for (auto technology :
       {DISPLAYCONFIG_OUTPUT_TECHNOLOGY_DISPLAYPORT_EMBEDDED,
        DISPLAYCONFIG_OUTPUT_TECHNOLOGY_UDI_EMBEDDED, DISPLAYCONFIG_OUTPUT_TECHNOLOGY_INTERNAL}) {
    sim::LaptopDisplayOptions cloned = With(sim::ExternalMonitor::Cloned);
    cloned.panel_technology = technology;
    UseDisplays(cloned);
    EXPECT_EQ(IdentifyPrimaryPanel(dpal::core::kStandardKind).path.targetInfo.id, 0x1100u)
        << "technology " << technology;
    const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
    EXPECT_TRUE(internal.valid) << "technology " << technology;
    EXPECT_EQ(internal.deviceKey, kPanelKey) << "technology " << technology;
  }
}

TEST_F(Panel, HybridLaptopsPanelPathCrossesAdapters) {
  sim::LaptopDisplayOptions hybrid = With(sim::ExternalMonitor::Extended);
  hybrid.hybrid = true;
  UseDisplays(hybrid);
  for (const PanelTarget& target : {IdentifyPrimaryPanel(dpal::core::kStandardKind),
                                    IdentifyInternalPanel(dpal::core::kStandardKind)}) {
    ASSERT_TRUE(target.valid);
    EXPECT_EQ(target.deviceKey, kPanelKey);
    EXPECT_EQ(target.path.sourceInfo.adapterId.LowPart, sim::kLaptopDiscreteGpu.LowPart);
    EXPECT_EQ(target.path.targetInfo.adapterId.LowPart, sim::kLaptopGpu.LowPart)
        << "the panel is driven by the integrated adapter";
  }
}

TEST_F(Panel, InternalPanelNeedsTheVirtualModeAwareQueryOfWindows10) {
  sim::SetWindowsVersion({6, 3, 9600});
  sim::ClearTrace();
  const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
  EXPECT_FALSE(internal.valid) << "Windows 8.1 refuses the query";
  EXPECT_EQ(internal.profileId, 0u);
  EXPECT_EQ(sim::CallCount("GetDisplayConfigBufferSizes"), 1u) << "a refusal is not repeated";
  EXPECT_TRUE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid) << "its query is older";
  sim::SetWindowsVersion({10, 0, 10240});
  EXPECT_TRUE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
}

TEST_F(Panel, ConfigurationChangingBetweenSizeAndQueryIsQueriedAgain) {
  sim::ChangeDisplaysBeforeNextQuery(sim::LaptopDisplays(With(sim::ExternalMonitor::Extended)));
  sim::ChangeDisplaysBeforeNextQuery(sim::DesktopDisplays(3));
  sim::ClearTrace();
  const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  EXPECT_TRUE(primary.valid);
  EXPECT_EQ(sim::CallCount("QueryDisplayConfig"), 3u) << "two refused queries, then the answer";
  EXPECT_EQ(sim::CallCount("GetDisplayConfigBufferSizes"), 3u);

  sim::SetDisplays(sim::LaptopDisplays());
  sim::ChangeDisplaysBeforeNextQuery(sim::LaptopDisplays(With(sim::ExternalMonitor::Extended)));
  sim::ClearTrace();
  EXPECT_TRUE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
  EXPECT_EQ(sim::CallCount("QueryDisplayConfig"), 2u);
}

// A query that never fits (it keeps answering that the arrays are too small, or the
// configuration changes before every query) ends the identification as failed after a few
// tries instead of holding the caller.
TEST_F(Panel, QueryThatNeverFitsEndsTheIdentificationAsFailed) {
  sim::FailAlways("QueryDisplayConfig", ERROR_INSUFFICIENT_BUFFER);
  sim::ClearTrace();
  EXPECT_FALSE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
  EXPECT_EQ(sim::CallCount("QueryDisplayConfig"), 10u) << "five tries for each procedure";
  sim::ClearFaults();

  // Each change adds a display, so that every query finds the arrays too small again.
  for (int displays = 2; displays <= 12; ++displays) {
    sim::ChangeDisplaysBeforeNextQuery(sim::DesktopDisplays(displays));
  }
  EXPECT_FALSE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
  EXPECT_TRUE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid)
      << "once the configuration holds still, the primary display is found again";
}

TEST_F(Panel, DeviceKeyTooLongForTheRecordFails) {
  for (size_t length : {127u, 128u, 260u, 300u}) {
    sim::DisplayTopology topology = sim::LaptopDisplays();
    topology.adapters[0].monitors[0].device_key = std::wstring(length, L'K');
    sim::SetDisplays(topology);
    const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
    const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
    const bool fits = length < 128;  // the record's field holds 127 units and a terminator
    EXPECT_EQ(primary.valid, fits) << length;
    EXPECT_EQ(internal.valid, fits) << length;
    if (!fits) {
      EXPECT_EQ(primary.deviceKey[0], L'\0');
    }
  }
}

TEST_F(Panel, PartialResultsStayWhenThePathSearchFails) {
  sim::FailAlways("GetDisplayConfigBufferSizes", ERROR_GEN_FAILURE);
  const PanelTarget target = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  EXPECT_FALSE(target.valid);
  EXPECT_EQ(target.deviceKey, kPanelKey);
  EXPECT_EQ(target.profileId, 1u);
  EXPECT_NE(target.monitor, nullptr) << "the disassociation looks at the monitor";
  const DISPLAYCONFIG_PATH_INFO zero = {};
  EXPECT_EQ(std::memcmp(&target.path, &zero, sizeof(zero)), 0);

  sim::ClearFaults();
  sim::FailAlways("GetMonitorInfoW", ERROR_INVALID_MONITOR_HANDLE);
  const PanelTarget no_info = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  EXPECT_FALSE(no_info.valid);
  EXPECT_NE(no_info.monitor, nullptr);
}

TEST_F(Panel, NoPrimaryAdapterOrMonitorFails) {
  sim::DisplayTopology topology = sim::LaptopDisplays();
  topology.adapters[0].monitors[0].state_flags = DISPLAY_DEVICE_ATTACHED;  // not active
  sim::SetDisplays(topology);
  EXPECT_FALSE(IdentifyPrimaryPanel(dpal::core::kStandardKind).valid);
  EXPECT_FALSE(IdentifyInternalPanel(dpal::core::kStandardKind).valid);
  // A monitor listed first that is active but not attached (here with the panel's interface
  // path) is passed over by both procedures.
  topology = sim::LaptopDisplays();
  sim::Monitor detached = topology.adapters[0].monitors[0];
  detached.device_key = kExternalKey;
  detached.state_flags = DISPLAY_DEVICE_ACTIVE;
  topology.adapters[0].monitors.insert(topology.adapters[0].monitors.begin(), detached);
  sim::SetDisplays(topology);
  EXPECT_EQ(IdentifyPrimaryPanel(dpal::core::kStandardKind).deviceKey, kPanelKey);
  EXPECT_EQ(IdentifyInternalPanel(dpal::core::kStandardKind).deviceKey, kPanelKey);
  topology = sim::LaptopDisplays();
  topology.adapters[0].state_flags = DISPLAY_DEVICE_ATTACHED_TO_DESKTOP;  // not primary
  topology.adapters[0].monitors[0].state_flags = DISPLAY_DEVICE_ACTIVE | DISPLAY_DEVICE_ATTACHED;
  sim::SetDisplays(topology);
  const PanelTarget none = IdentifyPrimaryPanel(dpal::core::kStandardKind);
  EXPECT_FALSE(none.valid);
  EXPECT_EQ(none.profileId, 0u);
}

TEST_F(Panel, EveryFailingCallEndsTheSearchCleanly) {
  for (auto setup : {sim::ExternalMonitor::None, sim::ExternalMonitor::Cloned}) {
    UseDisplays(With(setup));
    for (uint64_t n = 1;; ++n) {
      ASSERT_LT(n, 200u) << "the identification never ran without a fault";
      sim::ClearFaults();
      sim::FailNthAny(n, ERROR_GEN_FAILURE);
      const PanelTarget primary = IdentifyPrimaryPanel(dpal::core::kStandardKind);
      const bool fired = sim::FaultsFired() > 0;
      sim::ClearFaults();
      sim::FailNthAny(n, ERROR_GEN_FAILURE);
      const PanelTarget internal = IdentifyInternalPanel(dpal::core::kStandardKind);
      const bool fired_internal = sim::FaultsFired() > 0;
      sim::ClearFaults();
      if (!fired) {
        EXPECT_TRUE(primary.valid);
      }
      if (!fired_internal) {
        EXPECT_TRUE(internal.valid);
      }
      // A fault on a skippable call (the source name of another path) may still give an
      // answer; a valid answer is always a whole one.
      if (primary.valid) {
        EXPECT_TRUE(primary.path.targetInfo.id == 0x1100u || primary.path.targetInfo.id == 0x1101u)
            << n;
        EXPECT_NE(primary.deviceKey[0], L'\0') << n;
      }
      if (internal.valid) {
        EXPECT_EQ(internal.deviceKey, kPanelKey) << n;
      }
      if (!fired && !fired_internal) break;
    }
  }
}

#endif  // DPAL_SIM

}  // namespace
