// What the scenario runner reads and writes of the machine itself, outside the package: values
// below HKEY_LOCAL_MACHINE and the deletions recorded for the next restart. Its reads are quiet
// (not part of the timeline). Sim build only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "harness/registry_writer.h"
#include "tools/scenario/tracker.h"

namespace dpal::scenario {

// A key below HKEY_LOCAL_MACHINE, created when missing, to write values into as a client of the
// package would. A write that fails shows in the checks that follow it.
test::RegistryWriter Key(const std::wstring& path);

// The key's "State" (REG_DWORD); nothing when the key or the value is missing.
std::optional<DWORD> ReadState(Tracker& tracker, const std::wstring& path);

// The files the Session Manager is to delete at the next restart, as recorded in
// "PendingFileRenameOperations" (pairs of a source and an empty target), without their "\??\".
std::vector<std::string> PendingDeletions(Tracker& tracker);

}  // namespace dpal::scenario
