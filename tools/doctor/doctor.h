// The doctor: a read-only look at a machine with the package, which says why the factory
// profiles are or are not in effect. Each check reads one thing the package reads (a service, a
// device, a registry value, a file, the displays) through the package's own readers, gate,
// catalogue check and panel identification, so that its answer is the package's answer. Nothing
// is written, created, loaded or mounted: a user whose hive is not loaded is reported as such.
#pragma once

#include <string>
#include <vector>

namespace dpal::doctor {

enum class Outcome {
  Ok,             // as the package needs it
  Problem,        // keeps the profiles out (or the package from doing its part)
  NotApplicable,  // nothing to check here (no user at the console, no install requested, ...)
  NoRights,       // could not be read for lack of rights
  Unreadable,     // could not be read for another reason
};

// The word a report gives for an outcome: "ok", "problem", "not applicable", "no rights",
// "unreadable".
const char* OutcomeName(Outcome outcome);

struct Check {
  std::string name;  // stable: "service", "device", "platform-gate", "file:<entry>", ...
  Outcome outcome = Outcome::Unreadable;
  std::string value;    // what the check saw, UTF-8
  std::string comment;  // a problem: what the package does about it; no rights or unreadable:
                        // what could not be read and why; otherwise empty
};

struct Report {
  std::vector<Check> checks;

  // 0 when the profiles should be in effect, 1 when a problem keeps them out, 2 when no check
  // found a problem but one could not be made.
  int ExitCode() const;
  // The check of that name, or null.
  const Check* Find(const std::string& name) const;
};

struct Options {
  // Users (account names) whose apply state is read besides the console user's.
  std::vector<std::wstring> users;
};

// Makes every check. Never throws: a failure the package contains (memory, a length past its
// limit) makes the check where it happened unreadable.
Report Examine(const Options& options);

// The report as text: one line a check ("outcome  name  value"), a problem's or a failed
// check's comment on the line below it, and the verdict line last. Every line ends with "\n".
std::string FormatText(const Report& report);

// The report as one JSON object (the README lists its fields), with a final "\n".
std::string FormatJson(const Report& report);

// The verdict line for an exit code, without its "\n".
std::string Verdict(const Report& report);

// Text of a name someone else may have written, fit for one line of a report: UTF-8, control
// characters and malformed code units shown as "\u{...}" escapes, cut after `limit` characters
// with "...".
std::string Printable(const std::wstring& text, size_t limit = 120);

// The whole program over its arguments (without the program name): the report, or a message
// with the usage for arguments it cannot use, written to `out`. Answers the exit code: 0, 1, 2
// as Report::ExitCode, and 2 for bad arguments.
int RunDoctor(const std::vector<std::wstring>& arguments, std::string& out);

}  // namespace dpal::doctor
