// Every registry key and value name of the package, in one place. All deliverables use these
// names; the roots are given with each key. Nothing lives in the 32-bit view.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace dpal::layout {

// The service's name with the service control manager, which also names its registration key.
// Spelled here only: every key path below is built from it.
inline constexpr const WCHAR kServiceName[] = L"TarvexDPALLoader";

namespace detail {

// A key path put together at compile time from literal pieces.
template <size_t N>
struct KeyPath {
  WCHAR text[N] = {};
};

template <size_t A, size_t B>
constexpr KeyPath<A + B - 1> Join(const WCHAR (&a)[A], const WCHAR (&b)[B]) {
  KeyPath<A + B - 1> path;
  for (size_t i = 0; i + 1 < A; ++i) path.text[i] = a[i];
  for (size_t i = 0; i < B; ++i) path.text[A - 1 + i] = b[i];
  return path;
}

template <size_t A, size_t B>
constexpr KeyPath<A + B - 1> Join(const KeyPath<A>& a, const WCHAR (&b)[B]) {
  return Join(a.text, b);
}

inline constexpr auto kServiceKey = Join(L"SYSTEM\\CurrentControlSet\\Services\\", kServiceName);
inline constexpr auto kInstallStateKey = Join(kServiceKey, L"\\InstallState");
inline constexpr auto kSettingsKey = Join(kServiceKey, L"\\Settings\\DPAL");
inline constexpr auto kCatalogueKey = Join(kSettingsKey, L"\\Profiles");
inline constexpr auto kMachineApplyStateKey = Join(kSettingsKey, L"\\State");

}  // namespace detail

// ----- Keys under HKEY_LOCAL_MACHINE --------------------------------------------------------

// The service's own registration key. Holds "Owners".
inline constexpr const WCHAR* kServiceKey = detail::kServiceKey.text;
// Exists only while an installation of the profiles is wanted; never created by the package.
inline constexpr const WCHAR* kInstallStateKey = detail::kInstallStateKey.text;
// "SupportedBIOSPrefix", "SDRVersion", "HDRVersion".
inline constexpr const WCHAR* kSettingsKey = detail::kSettingsKey.text;
// One subkey per profile file: "Type" and the digest value named after the file base name.
inline constexpr const WCHAR* kCatalogueKey = detail::kCatalogueKey.text;
// The machine-wide apply state, watched by the service.
inline constexpr const WCHAR* kMachineApplyStateKey = detail::kMachineApplyStateKey.text;
// The firmware description, maintained by the operating system.
inline constexpr const WCHAR kBiosKey[] = L"HARDWARE\\DESCRIPTION\\System\\BIOS";
// One subkey per user profile, named by SID, with "ProfileImagePath".
inline constexpr const WCHAR kProfileListKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// ----- Keys in a user's hive ----------------------------------------------------------------

// The per-user tree: parent of the two user keys below; deleted whole by the uninstaller.
inline constexpr const WCHAR kUserTreeKey[] = L"SOFTWARE\\Tarvex\\DPAL";
// The user's apply state.
inline constexpr const WCHAR kUserApplyStateKey[] = L"SOFTWARE\\Tarvex\\DPAL\\State";
// One subkey per profile the user side saved (the same key as "SOFTWARE\...": names are
// case-insensitive; this is the spelling the core library writes).
inline constexpr const WCHAR kProfileMarkerKey[] = L"Software\\Tarvex\\DPAL\\Profiles";

// The name under HKEY_USERS where the uninstaller mounts a user's hive that is not loaded.
inline constexpr const WCHAR kTemporaryHiveName[] = L"{6E1D2C84-3B5A-4F07-9C21-7D4E8A0B53F6}";
// The hive file in a user's profile directory, formatted with "%s\ntuser.dat".
inline constexpr const WCHAR kHiveFileFormat[] = L"%s\\ntuser.dat";
// Only profile-list subkeys that begin with this are user accounts.
inline constexpr const WCHAR kUserSidPrefix[] = L"S-1-5-21-";

// ----- Values ---------------------------------------------------------------------------------

// REG_MULTI_SZ in the service key: owners of the package; a non-empty list keeps it installed.
inline constexpr const WCHAR kOwnersValue[] = L"Owners";
// REG_DWORD: in the install-state key (0 pending, 1 done) and in both apply-state keys
// (1 the package's profiles are to be in effect, 0 they are not).
inline constexpr const WCHAR kStateValue[] = L"State";
// REG_MULTI_SZ in the settings key: three-character firmware version prefixes.
inline constexpr const WCHAR kSupportedBiosPrefixValue[] = L"SupportedBIOSPrefix";
// REG_SZ in the settings key: the versions the SDR and HDR profiles must carry.
inline constexpr const WCHAR kSdrVersionValue[] = L"SDRVersion";
inline constexpr const WCHAR kHdrVersionValue[] = L"HDRVersion";
// REG_DWORD in each catalogue entry and profile marker: 1 SDR, 2 HDR, else neither.
inline constexpr const WCHAR kTypeValue[] = L"Type";
// REG_SZ in the BIOS key.
inline constexpr const WCHAR kBiosVersionValue[] = L"BIOSVersion";
// REG_SZ or REG_EXPAND_SZ in each profile-list subkey.
inline constexpr const WCHAR kProfileImagePathValue[] = L"ProfileImagePath";

// ----- Access masks the package opens keys with ---------------------------------------------

inline constexpr REGSAM kReadAccess = KEY_READ;         // 0x20019
inline constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS;  // 0xF003F

}  // namespace dpal::layout
