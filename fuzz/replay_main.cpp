// The replay driver of the sim presets: feeds every file of the corpus directories (or the files)
// named on the command line to the target's LLVMFuzzerTestOneInput, as libFuzzer would replay
// them, and prints how many inputs it replayed and how many a second it ran. An invariant that
// breaks aborts the run.
//
// Then it holds the target's cheap reset to account: each input, run right after the one before
// it, must call the same platform functions as often and leave the same machine as when it runs
// alone after a full reset. A difference means that the previous input's state reached it; the
// replay names both inputs and fails.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

struct Corpus {
  std::vector<fs::path> files;
  std::vector<std::vector<uint8_t>> inputs;
};

void Run(const std::vector<uint8_t>& input) {
  // A copy of its own size, so that AddressSanitizer sees a read past the input's end.
  std::vector<uint8_t> data(input);
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
}

// What an input did to the machine: how often it called each platform function, and the machine
// it left.
struct Outcome {
  std::map<std::string, int> calls;
  sim::Snapshot machine;
};

Outcome Observed() {
  Outcome outcome;
  for (const sim::Call& call : sim::Trace()) ++outcome.calls[call.function];
  outcome.machine = sim::TakeSnapshot();
  return outcome;
}

std::string CallDifference(const Outcome& alone, const Outcome& after) {
  std::string text;
  std::map<std::string, int> names = alone.calls;
  names.insert(after.calls.begin(), after.calls.end());
  for (const auto& [name, unused] : names) {
    const auto a = alone.calls.find(name);
    const auto b = after.calls.find(name);
    const int seen_alone = a == alone.calls.end() ? 0 : a->second;
    const int seen_after = b == after.calls.end() ? 0 : b->second;
    if (seen_alone != seen_after) {
      text += "  " + name + ": " + std::to_string(seen_alone) + " calls alone, " +
              std::to_string(seen_after) + " after the previous input\n";
    }
  }
  return text;
}

// Each input after its predecessor with the cheap reset, against the input alone after a full
// reset. False, with the difference printed, at the first input whose outcome differs.
bool ResetsAreComplete(const Corpus& corpus) {
  dpal::fuzz::MachineReset& next = dpal::fuzz::NextReset();
  bool complete = true;
  for (size_t i = 1; i < corpus.inputs.size() && complete; ++i) {
    Outcome after;
    Outcome alone;
    next = {false, true, nullptr};
    Run(corpus.inputs[i - 1]);
    next.at_end = [&after] { after = Observed(); };
    Run(corpus.inputs[i]);
    next = {true, true, [&alone] { alone = Observed(); }};
    Run(corpus.inputs[i]);
    const std::string calls = CallDifference(alone, after);
    const sim::SnapshotDiff machine = sim::Difference(alone.machine, after.machine);
    if (!calls.empty() || !machine.Empty()) {
      std::fprintf(stderr, "replay: %s run after %s differs from its run alone:\n%s%s\n",
                   corpus.files[i].c_str(), corpus.files[i - 1].c_str(), calls.c_str(),
                   machine.Empty() ? "" : machine.Describe().c_str());
      complete = false;
    }
  }
  next = {};
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  Corpus corpus;
  for (int i = 1; i < argc; ++i) {
    const fs::path given(argv[i]);
    if (fs::is_directory(given)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(given)) {
        if (entry.is_regular_file()) corpus.files.push_back(entry.path());
      }
    } else {
      corpus.files.push_back(given);
    }
  }
  std::sort(corpus.files.begin(), corpus.files.end());
  if (corpus.files.empty()) {
    std::fprintf(stderr, "replay: no inputs given\n");
    return 1;
  }
  for (const fs::path& file : corpus.files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    corpus.inputs.emplace_back(bytes.begin(), bytes.end());
  }

  // The inputs one after the other, as libFuzzer runs them: the throughput of this build.
  const auto start = std::chrono::steady_clock::now();
  for (const std::vector<uint8_t>& input : corpus.inputs) Run(input);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const double per_second = static_cast<double>(corpus.inputs.size()) / took.count();

  if (!ResetsAreComplete(corpus)) return 1;

  // The corpus's name: the last component of the first path given.
  const std::string name = fs::path(argv[1]).lexically_normal().filename().string();
  std::printf("replayed %zu inputs from %s at %.0f inputs/s\n", corpus.inputs.size(), name.c_str(),
              per_second);
  return 0;
}
