// The scenario runner's small helpers for text: the words of a command, numbers, and the names
// the timeline gives to the service's states, start types and errors. Sim build only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace dpal::scenario {

std::string Narrow(const std::wstring& text);
// Scenario words are ASCII (the parser refuses anything else).
std::wstring Widen(const std::string& text);
// The words from `from` on, with one blank between them.
std::string Join(const std::vector<std::string>& words, size_t from = 0);
// A decimal number that fits a DWORD; nothing for any other word.
std::optional<DWORD> Number(const std::string& word);
// The number, or "none".
std::string Optional(const std::optional<DWORD>& value);

std::string StateName(DWORD state);
std::string StartTypeName(DWORD start_type);
std::string ErrorName(DWORD error);

// A program the runner starts itself, among the machine's starts of programs: SetDPALProfile.exe
// for "tool", the uninstaller for "uninstall". The service's launches are the others.
bool IsRunnersProgram(const sim::Launch& launch);

}  // namespace dpal::scenario
