// Fuzz target: the scenario-file parser of dpal-sim, fed any text.
//
// Input: the scenario text as it is, bytes as chars.
//
// Checks: a text that parses gives steps with increasing line numbers within the text, each made
// of non-empty printable words without blanks or '#', its text the words joined by one blank; the
// steps' texts, one a line, parse again to the same words. A text that does not parse gives the
// message "fuzz:LINE: ..." with a line of the text.
#include <string>

#include "fuzz/fuzz_input.h"
#include "tools/scenario.h"

namespace {

namespace scenario = dpal::scenario;
using dpal::fuzz::Check;

bool Printable(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (c <= ' ' || c > '~' || c == '#') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';

  scenario::Scenario parsed;
  std::string error;
  if (!scenario::Parse(text, "fuzz", &parsed, &error)) {
    Check(error.rfind("fuzz:", 0) == 0, "the message names the scenario");
    const size_t colon = error.find(':', 5);
    Check(colon != std::string::npos && colon > 5, "the message gives a line");
    const unsigned long line = std::stoul(error.substr(5, colon - 5));
    Check(line >= 1 && line <= lines, "the line is one of the text's");
    return 0;
  }
  Check(parsed.name == "fuzz" && error.empty(), "a parsed scenario has its name and no message");
  int previous = 0;
  std::string again;
  for (const scenario::Step& step : parsed.steps) {
    Check(step.line > previous && static_cast<size_t>(step.line) <= lines, "lines in order");
    previous = step.line;
    Check(!step.words.empty(), "a step has its command");
    std::string joined;
    for (const std::string& word : step.words) {
      Check(Printable(word), "words are printable, without blanks or '#'");
      joined += (joined.empty() ? "" : " ") + word;
    }
    Check(step.text == joined, "the step's text is its words");
    again += step.text + "\n";
  }
  scenario::Scenario reparsed;
  Check(scenario::Parse(again, "fuzz", &reparsed, &error), "the steps parse again");
  Check(reparsed.steps.size() == parsed.steps.size(), "to as many steps");
  for (size_t i = 0; i < parsed.steps.size(); ++i) {
    Check(reparsed.steps[i].words == parsed.steps[i].words, "with the same words");
  }
  return 0;
}
