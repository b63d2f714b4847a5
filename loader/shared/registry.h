// The package's registry readers and the service's one writer, shared with the uninstaller (as
// all of loader/shared/ is, so nothing here includes the service's code). Every call goes to
// HKEY_LOCAL_MACHINE in the native view, restricts the accepted type, and turns every failure
// into an empty or zero result: callers never see an error code, and a stored 0, "" or empty
// list reads the same as a missing value. Nothing is cached.
#pragma once

#include <string>
#include <vector>

#include "common/profile_files.h"
#include "platform/win32.h"

namespace dpal {

// The DWORD, or 0 when the key or value is missing, not a REG_DWORD, or unreadable.
DWORD ReadDwordValue(const std::wstring& key, const std::wstring& value);

// The REG_SZ text without its terminator (a value stored without one reads whole), or the
// empty text on any failure.
std::wstring ReadStringValue(const std::wstring& key, const std::wstring& value);

// The REG_MULTI_SZ entries in stored order, up to the first empty entry; an empty list on any
// failure.
std::vector<std::wstring> ReadMultiStringValue(const std::wstring& key, const std::wstring& value);

// The largest binary value ReadBinaryValue accepts: a profile digest.
inline constexpr DWORD kBinaryValueBytes = static_cast<DWORD>(kDigestBytes);

// Reads a REG_BINARY value of at most 34 bytes into buffer (which must hold 34 bytes). False
// when buffer is null (no registry call is made), or when the value is missing, of another type
// or larger; the buffer's contents are then unspecified.
bool ReadBinaryValue(const std::wstring& key, const std::wstring& value, BYTE* buffer);

// Appends the names of the subkeys of root\key to names, in enumeration order (the list is not
// cleared). Always true: a missing key appends nothing, and a subkey whose name cannot be read
// is skipped.
bool EnumerateSubKeys(HKEY root, const std::wstring& key, std::vector<std::wstring>& names);
bool EnumerateSubKeys(const std::wstring& key, std::vector<std::wstring>& names);

// Writes the REG_DWORD 1 into an existing key. False, and nothing created, when the key is
// missing or cannot be opened for writing.
bool SetDwordFlag(const std::wstring& key, const std::wstring& value);

}  // namespace dpal
