// The package's registry readers and the service's one writer, shared with the uninstaller, the
// core library and the tool (as all of loader/shared/ is, so nothing here includes the service's
// code). A reader takes the root its caller names (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, a
// user's loaded hive) and a key path below it; the writer writes HKEY_LOCAL_MACHINE. Every call
// uses the native view, restricts the accepted type, and turns every failure into an empty or
// zero result: callers never see an error code, and a stored 0, "" or empty list reads the same
// as a missing value. Nothing is cached.
#pragma once

#include <string>
#include <vector>

#include "common/profile_files.h"
#include "platform/win32.h"

namespace dpal {

// Reads a REG_DWORD into *data. False, with *data untouched, when the key or value is missing,
// not a REG_DWORD, not four bytes long, or unreadable. Allocates nothing, so it serves callers
// that must not throw and those that must tell a stored 0 from a missing value.
bool ReadDword(HKEY root, const WCHAR* key, const WCHAR* value, DWORD* data);

// The DWORD, or 0 when the key or value is missing, not a REG_DWORD, or unreadable.
DWORD ReadDwordValue(HKEY root, const std::wstring& key, const std::wstring& value);

// The REG_SZ text without its terminator (a value stored without one reads whole), or the
// empty text on any failure.
std::wstring ReadStringValue(HKEY root, const std::wstring& key, const std::wstring& value);

// The REG_MULTI_SZ entries in stored order, up to the first empty entry; an empty list on any
// failure.
std::vector<std::wstring> ReadMultiStringValue(HKEY root, const std::wstring& key,
                                               const std::wstring& value);

// The largest binary value ReadBinaryValue accepts: a profile digest.
inline constexpr DWORD kBinaryValueBytes = static_cast<DWORD>(kDigestBytes);

// Reads a REG_BINARY value of at most 34 bytes into buffer (which must hold 34 bytes). False
// when buffer is null (no registry call is made), or when the value is missing, of another type
// or larger; the buffer's contents are then unspecified.
bool ReadBinaryValue(HKEY root, const std::wstring& key, const std::wstring& value, BYTE* buffer);

// Appends the names of the subkeys of root\key to names, in enumeration order (the list is not
// cleared). Always true: a missing key appends nothing, and a subkey whose name cannot be read
// is skipped.
bool EnumerateSubKeys(HKEY root, const std::wstring& key, std::vector<std::wstring>& names);

// Writes the REG_DWORD 1 into an existing key of HKEY_LOCAL_MACHINE. False, and nothing created,
// when the key is missing or cannot be opened for writing.
bool SetDwordFlag(const std::wstring& key, const std::wstring& value);

}  // namespace dpal
