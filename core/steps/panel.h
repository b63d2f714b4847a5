// Identification of the laptop's built-in panel in the current display topology. Every colour
// operation identifies the panel afresh; nothing is cached between operations.
#pragma once

#include "common/format.h"
#include "common/profile_files.h"
#include "platform/win32.h"

namespace dpal::core {

// The profile kinds a caller passes, as numbers: the standard (SDR) and the extended (HDR,
// advanced colour) display colour mode. Any other number is no kind.
inline constexpr int kStandardKind = static_cast<int>(ProfileType::Sdr);
inline constexpr int kExtendedKind = static_cast<int>(ProfileType::Hdr);

// The profile subtypes (COLORPROFILESUBTYPE values) of the two modes, held as numbers: the SDK
// headers name the subtypes only up to 6, and their enumeration cannot hold 8.
inline constexpr DWORD kNoSubtype = CPST_NONE;
inline constexpr DWORD kStandardDisplayColourMode = 7;
inline constexpr DWORD kExtendedDisplayColourMode = 8;

// The display that one colour operation works on, in the three forms the colour system needs.
// It owns nothing; partial results of a failed identification stay in it.
struct PanelTarget {
  DWORD subtype = kNoSubtype;         // 7 or 8 once a valid kind was given
  DWORD profileId = 0;                // 1 once the panel's monitor (or path) was found
  WCHAR deviceKey[kPathUnits] = {};   // the monitor's device key
  DISPLAYCONFIG_PATH_INFO path = {};  // the chosen active path, copied whole
  HMONITOR monitor = nullptr;         // the primary monitor (primary-display procedure)
  bool valid = false;                 // the whole procedure succeeded
};

// The subtype a kind selects; false for anything but the two kinds.
bool SubtypeOfKind(int kind, DWORD* subtype);

// Whether an output technology is one of a built-in panel (DisplayPort or UDI embedded, or
// internal); LVDS does not count.
bool IsInternalTechnology(DISPLAYCONFIG_VIDEO_OUTPUT_TECHNOLOGY technology);

// The primary display: the first active attached monitor of the primary adapter gives the
// device key; the active path whose source is the primary monitor is the path, an internal one
// preferred among clones (the last internal match wins, else the first match stays). An invalid
// kind calls no display function. Used by the core library and the uninstaller.
PanelTarget IdentifyPrimaryPanel(int kind);

// The built-in panel whatever is primary: the first active path with an internal output
// technology (virtual-mode-aware query), and the monitor behind exactly that path. No monitor
// handle. Used by the profile-setting tool.
PanelTarget IdentifyInternalPanel(int kind);

}  // namespace dpal::core
