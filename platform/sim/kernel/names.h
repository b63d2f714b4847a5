// The case-insensitive comparison that names of objects, keys, files, services, devices and
// accounts share.
#pragma once

#include <string>

namespace sim {

// Upper case as Windows compares names (towupper of each character).
std::wstring Upper(const std::wstring& s);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace sim
