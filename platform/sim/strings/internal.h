// What the strings area gives the other areas: the expansion of environment references.
#pragma once

#include <string>

namespace sim {

// The text with each %NAME% of a variable of the environment every process of the machine has
// (SystemRoot, windir, SystemDrive, ProgramFiles, ProgramData and the like) replaced by its
// value; other references are kept as written, as ExpandEnvironmentStringsW keeps them.
std::wstring ExpandEnvironment(const std::wstring& text);

}  // namespace sim
