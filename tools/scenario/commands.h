// The commands of a scenario, one table: each entry has the command's name, the arguments it
// takes, its lines of the command summary, the line the timeline shows for it, and its action.
// The parser checks a line against it, dpal-sim --help prints its summary, and the player runs
// each command through it. Sim build only.
#pragma once

#include <string>
#include <vector>

#include "tools/scenario.h"
#include "tools/scenario/settle.h"

namespace dpal::scenario {

struct PlayState;
using Words = std::vector<std::string>;

// What a command takes after its name.
struct Arguments {
  enum class Kind {
    None,     // nothing
    OneOf,    // one word of `choices`
    Any,      // any words (a command line of its own)
    Checked,  // what `check` accepts
  };
  Kind kind = Kind::None;
  std::vector<std::string> choices;
  // Empty when the words (the command's name first) are sound, otherwise what is wrong.
  std::string (*check)(const Words& words) = nullptr;
};

struct Command {
  // The first word, or for a command of a group ("expect") the group's word and its own.
  const char* name;
  Arguments arguments;
  // Its lines of the command summary, each ending in a newline; empty for a command that another
  // entry's line covers.
  const char* help;
  // The timeline's line for the command; none for a command that prints its own line.
  std::string (*describe)(const Words& words, const PlayState& play);
  // Runs the command; it may ask for more to hold before the service counts as settled.
  void (*run)(PlayState& play, const Step& step, Wanted& wanted);
  // Whether the player waits for the service to settle afterwards (and shows what happened).
  bool settles;
};

// Every command, in the order of the summary.
const std::vector<Command>& Commands();

// The entry for a parsed command (the parser has checked it); nullptr for none.
const Command* Find(const Words& words);

// Empty when the words make a command, otherwise what is wrong.
std::string Check(const Words& words);

}  // namespace dpal::scenario
