// dpal-sim: plays a scenario on a simulated laptop with the package installed and prints what
// the service did as a timeline (sim build only).
//
//   dpal-sim [--trace] [FILE]
//
// Without FILE it plays the built-in scenario, a laptop's day (tools/scenarios/day.dpal).
// Exit code 0 when the scenario completed and every check held, 1 when a check failed or the
// service did not settle in time, 2 for a command line or scenario it cannot use.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/scenario.h"

namespace {

namespace scenario = dpal::scenario;

void Usage(std::ostream& out) {
  out << "usage: dpal-sim [--trace] [FILE]\n"
         "\n"
         "Plays a scenario on a simulated laptop with the package installed and prints a\n"
         "timeline: the service's status reports, launches of the per-user program with their\n"
         "switch, session and account, and changes of the install state, the machine apply\n"
         "state and the service's start type. Without FILE it plays the built-in day\n"
         "(tools/scenarios/day.dpal).\n"
         "\n"
         "  --trace    add every platform call to the timeline, with the thread that made it\n"
         "  --help     show this\n"
         "\n"
         "Exit code: 0 completed, 1 a check failed or the service did not settle, 2 bad input.\n"
         "\n"
      << scenario::CommandSummary();
}

// The file's name without its directory and extension names the scenario.
std::string NameOf(const std::string& path) {
  std::string name = path;
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  scenario::PlayOptions options;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(std::cout);
      return scenario::kCompleted;
    }
    if (arg == "--trace") {
      options.trace = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << "dpal-sim: unknown option '" << arg << "' (dpal-sim --help shows the usage)\n";
      return scenario::kBadInput;
    } else if (!path.empty()) {
      std::cerr << "dpal-sim: one scenario file at a time ('" << path << "' and '" << arg << "')\n";
      return scenario::kBadInput;
    } else {
      path = arg;
    }
  }

  std::string text = scenario::BuiltInDay();
  std::string name = "day";
  if (!path.empty()) {
    std::error_code ignored;
    std::ifstream file(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ignored) || !file.is_open()) {
      std::cerr << "dpal-sim: cannot read the scenario file '" << path << "'\n";
      return scenario::kBadInput;
    }
    std::ostringstream contents;
    contents << file.rdbuf();  // an empty file is a scenario with nothing to do
    if (file.bad()) {
      std::cerr << "dpal-sim: cannot read the scenario file '" << path << "'\n";
      return scenario::kBadInput;
    }
    text = contents.str();
    name = NameOf(path);
  }

  scenario::Scenario parsed;
  std::string error;
  // Errors name the file as it was given; the timeline names the scenario.
  if (!scenario::Parse(text, path.empty() ? name : path, &parsed, &error)) {
    std::cerr << "dpal-sim: " << error << "\n";
    return scenario::kBadInput;
  }
  parsed.name = name;
  parsed.origin = path.empty() ? "the built-in scenario, tools/scenarios/day.dpal" : path;
  const int result = scenario::Play(parsed, options, std::cout);
  std::cout.flush();
  return result;
}
