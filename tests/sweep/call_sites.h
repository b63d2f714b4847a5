// Call sites of the platform in the product code (common/, loader/, core/, setprofile/,
// uninstaller/): those the source has, found by reading it, and those a fault sweep failed,
// found from the stacks of the failed calls. Sim build only.
#pragma once

#if !defined(_WIN32)

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace dpal::test {

// One call of a platform function: the file (relative to the source tree), the line of the call
// and the platform function's name as the sim calls it ("RegOpenKeyExW",
// "ITaskFolder::GetTask").
struct CallSite {
  std::string file;
  int line = 0;
  std::string function;
  int last_line = 0;  // of a call read from the source: the line of its closing parenthesis
  bool operator<(const CallSite& other) const;
  bool operator==(const CallSite& other) const;
  std::string Describe() const;  // "loader/catalogue.cpp:41 RegOpenKeyExW"
};

// The platform functions the sim implements, read from its sources (platform/sim): every function
// that passes through the entry hook, split into those the sweeps fail and the releases they
// pass over.
struct PlatformFunctions {
  std::set<std::string> failable;  // free functions and, as "Interface::Method", COM methods
  std::set<std::string> releases;
};
PlatformFunctions ReadPlatformFunctions(const std::string& source_dir);

// Every call site of those functions in the product code, read from its sources: a call by name
// (free functions, COM methods after "->"), and a call through a pointer that one of the
// product's accessors resolved by name at run time (the colour system's functions). Comments
// and string literals are left out. Releases are listed apart.
struct SourceCallSites {
  std::set<CallSite> failable;
  std::set<CallSite> releases;
};
SourceCallSites ReadSourceCallSites(const std::string& source_dir);

// The source's call site that a failed call belongs to: the same function called in the same
// file on a line from the call's first to its last (a call's place may be the line of any of
// its arguments; a call that is itself an argument may take the line of the call around it, a
// line or two above). The failed site itself when the source has none.
CallSite SourceSiteOf(const SourceCallSites& source, const CallSite& failed);

// Collects the failed calls of fault sweeps per flow, and resolves them to product call sites
// once at the end (one run of llvm-symbolizer per object over every distinct return address).
class CallSiteRecorder {
 public:
  explicit CallSiteRecorder(std::string source_dir) : source_dir_(std::move(source_dir)) {}

  // The calls that failed since the last ClearFaults, for `flow`.
  void Add(const std::string& flow, const std::vector<sim::FiredFault>& faults);

  // The product call sites each flow failed. A failed call whose caller is not product code (the
  // test's set-up, the sim itself) counts nowhere. Also lists what could not be symbolised.
  std::map<std::string, std::set<CallSite>> Resolve(std::vector<std::string>* problems);

 private:
  std::string source_dir_;
  // Per flow, the distinct failed calls: the function and its stack.
  std::map<std::string, std::set<std::pair<std::string, std::vector<void*>>>> faults_;
};

}  // namespace dpal::test

#endif
