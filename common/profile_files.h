// The package's profile files: their kinds, their digests, and how a catalogue entry names its
// file. The service installs and checks the files under these names and the uninstaller removes
// them under the same names, so both go through the functions here and cannot name different
// files.
#pragma once

#include <cstddef>

#include "common/format.h"
#include "platform/win32.h"

namespace dpal {

// The kind of a profile, as the catalogue's and the profile markers' "Type" stores it.
enum class ProfileType : DWORD {
  Sdr = 1,  // standard (SDR) display colour mode
  Hdr = 2,  // extended (HDR, advanced colour) display colour mode
};

// True when a stored "Type" is the given kind (any other stored number is neither kind).
constexpr bool IsProfileType(DWORD stored, ProfileType type) {
  return stored == static_cast<DWORD>(type);
}

// A profile's digest: a SHA-256 and two spare bytes that must be zero.
inline constexpr DWORD kSha256Bytes = 32;
inline constexpr size_t kDigestBytes = kSha256Bytes + 2;

// Every profile file name starts here; the part of an entry name from its first marker on is
// the file's base name.
inline constexpr const WCHAR kProfileMarker[] = L"QXLCD_";
inline constexpr const WCHAR kProfileExtension[] = L".icm";
// The colour directory, below the system directory.
inline constexpr const WCHAR kColourSubdirectory[] = L"spool\\drivers\\color";

// The base name of a catalogue entry's file: the entry name from its first "QXLCD_" on (the
// marker is case-sensitive). False, and `base` empty, when the name holds no marker or does not
// fit.
inline bool ProfileFileBaseName(const WCHAR* entry_name, WCHAR (&base)[kPathUnits]) {
  base[0] = L'\0';
  if (entry_name == nullptr) return false;
  WCHAR name[kPathUnits];
  if (!Copy(name, entry_name)) return false;
  const WCHAR* marker = StrStrW(name, kProfileMarker);
  return marker != nullptr && Copy(base, marker);
}

// The file name of a catalogue entry's profile: its base name and ".icm". False, and `file`
// empty, when there is no base name or the name does not fit.
inline bool ProfileFileName(const WCHAR* entry_name, WCHAR (&file)[kPathUnits]) {
  WCHAR base[kPathUnits];
  if (!ProfileFileBaseName(entry_name, base)) {
    file[0] = L'\0';
    return false;
  }
  return Format(file, L"%s%s", base, kProfileExtension);
}

// The full path of a catalogue entry's profile in the colour directory. False, and `path`
// empty, when there is no file name or the path does not fit.
inline bool ProfileFilePath(const WCHAR* colour_directory, const WCHAR* entry_name,
                            WCHAR (&path)[kPathUnits]) {
  WCHAR file[kPathUnits];
  if (colour_directory == nullptr || !ProfileFileName(entry_name, file)) {
    path[0] = L'\0';
    return false;
  }
  return Format(path, L"%s\\%s", colour_directory, file);
}

// The colour directory below a system directory ("<System>\spool\drivers\color"). False, and
// `out` empty, when it does not fit.
inline bool ColourDirectoryBelow(const WCHAR* system_directory, WCHAR (&out)[kPathUnits]) {
  if (system_directory == nullptr) {
    out[0] = L'\0';
    return false;
  }
  return Format(out, L"%s\\%s", system_directory, kColourSubdirectory);
}

// The system colour directory; false (and `out` empty) when the system directory is unavailable.
inline bool GetColourDirectory(WCHAR (&out)[kPathUnits]) {
  WCHAR system[kPathUnits] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system))) {
    out[0] = L'\0';
    return false;
  }
  return ColourDirectoryBelow(system, out);
}

}  // namespace dpal
