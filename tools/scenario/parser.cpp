// The reading of a scenario's text: lines, comments and headings, and each command checked
// against the table of commands.
#include <sstream>
#include <utility>

#include "tools/scenario.h"
#include "tools/scenario/commands.h"
#include "tools/scenario/text.h"

namespace dpal::scenario {

namespace {

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

bool Parse(const std::string& text, const std::string& name, Scenario* scenario,
           std::string* error) {
  Scenario parsed;
  parsed.name = name;
  std::istringstream in(text);
  int number = 0;
  std::vector<std::string> heading;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t hash = line.find('#');
    if (hash != std::string::npos) {
      if (line.find_first_not_of(" \t") == hash) {
        heading.push_back(line.substr(hash));
        continue;
      }
      line.erase(hash);
    }
    for (char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      // Printable ASCII is 0x20 to 0x7E; DEL (0x7F) is a control character like those below.
      if (byte >= 0x7F || (byte < 0x20 && c != '\t')) {
        *error = name + ":" + std::to_string(number) +
                 ": only printable ASCII is understood outside comments";
        return false;
      }
    }
    std::vector<std::string> words = SplitWords(line);
    if (words.empty()) {
      heading.clear();
      continue;
    }
    const std::string problem = Check(words);
    if (!problem.empty()) {
      *error = name + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
    Step step;
    step.line = number;
    step.text = Join(words);
    step.words = std::move(words);
    step.heading = std::move(heading);
    heading.clear();
    parsed.steps.push_back(std::move(step));
  }
  *scenario = std::move(parsed);
  return true;
}

}  // namespace dpal::scenario
