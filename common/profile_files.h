// The package's profile files: their kinds, their digests, and how a catalogue entry names its
// file. The service installs and checks the files under these names and the uninstaller removes
// them under the same names, so both go through the functions here and cannot name different
// files.
#pragma once

#include <cstddef>
#include <cwchar>

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

namespace detail {

// ASCII case folding, which is all the device names need.
constexpr WCHAR FoldAscii(WCHAR c) {
  return c >= L'a' && c <= L'z' ? static_cast<WCHAR>(c - (L'a' - L'A')) : c;
}

// True when the first `length` units of `name` are `device` (upper case), ignoring case.
inline bool StemIs(const WCHAR* name, size_t length, const WCHAR* device) {
  size_t i = 0;
  for (; i < length && device[i] != L'\0'; ++i) {
    if (FoldAscii(name[i]) != device[i]) return false;
  }
  return i == length && device[i] == L'\0';
}

// True for the names Win32 turns into a device whatever directory they are joined to: CON, PRN,
// AUX, NUL, COM0-9, LPT0-9 (and the superscript digits), CONIN$ and CONOUT$, in any case, also
// with an extension or trailing spaces ("nul .icm" is the NUL device).
inline bool IsDeviceName(const WCHAR* name) {
  size_t stem = 0;
  while (name[stem] != L'\0' && name[stem] != L'.') ++stem;
  while (stem > 0 && name[stem - 1] == L' ') --stem;
  static constexpr const WCHAR* kDevices[] = {L"CON", L"PRN",    L"AUX",
                                              L"NUL", L"CONIN$", L"CONOUT$"};
  for (const WCHAR* device : kDevices) {
    if (StemIs(name, stem, device)) return true;
  }
  if (stem != 4 || !(StemIs(name, 3, L"COM") || StemIs(name, 3, L"LPT"))) return false;
  const WCHAR digit = name[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
         digit == L'\u00B3';
}

}  // namespace detail

// The plain-name rule, for every name that someone other than the package may have written (a
// user's profile list, the catalogue, a client's profile name) before it becomes part of a file
// path or a colour call: true only when `name` can name nothing but a file directly inside the
// directory it is joined to. That is: not empty; within 260 units with its ".icm" and terminator;
// no separator ("\\" or "/"), drive or stream colon, wildcard, quote, "<", ">" or "|", and no
// control character; not "." or ".."; no trailing dot or space (Win32 strips them, so the name
// would stand for another); and no device name. Nothing is normalised: a name that fails is
// passed over, never mended into one that passes.
inline bool IsPlainFileName(const WCHAR* name) {
  if (name == nullptr || name[0] == L'\0') return false;
  size_t length = 0;
  for (; name[length] != L'\0'; ++length) {
    const WCHAR c = name[length];
    if (c < 0x20 || c == 0x7F || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) return false;
    // Room for the extension and the terminator.
    if (length + 1 + (sizeof(kProfileExtension) / sizeof(WCHAR)) > kPathUnits) return false;
  }
  const WCHAR last = name[length - 1];
  if (last == L'.' || last == L' ') return false;  // also "." and ".."
  return !detail::IsDeviceName(name);
}

// The base name of a catalogue entry's file: the entry name from its first "QXLCD_" on (the
// marker is case-sensitive). False, and `base` empty, when the name holds no marker, does not
// fit, or the base name is not a plain file name: such an entry names no file of the package.
inline bool ProfileFileBaseName(const WCHAR* entry_name, WCHAR (&base)[kPathUnits]) {
  base[0] = L'\0';
  if (entry_name == nullptr) return false;
  WCHAR name[kPathUnits];
  if (!Copy(name, entry_name)) return false;
  const WCHAR* marker = StrStrW(name, kProfileMarker);
  if (marker == nullptr || !IsPlainFileName(marker)) return false;
  return Copy(base, marker);
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
