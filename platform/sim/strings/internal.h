// What the strings area gives the other areas: the case-insensitive comparison that names of
// keys, files, services, devices and accounts share.
#pragma once

#include <string>

namespace sim {

// Upper case as Windows compares names (towupper of each character).
std::wstring Upper(const std::wstring& s);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// The text with each %NAME% of a variable of the environment every process of the machine has
// (SystemRoot, windir, SystemDrive, ProgramFiles, ProgramData and the like) replaced by its
// value; other references are kept as written, as ExpandEnvironmentStringsW keeps them.
std::wstring ExpandEnvironment(const std::wstring& text);

}  // namespace sim
