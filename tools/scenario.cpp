#include "tools/scenario.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "common/registry_layout.h"
#include "loader/shared/device_lookup.h"
#include "loader/worker_threads.h"
#include "tests/support/registry_writer.h"
#include "setprofile/tool.h"
#include "loader/shared/registry.h"
#include "platform/sim/snapshot.h"
#include "tools/core_client.h"
#include "tools/installer.h"
#include "tools/laptop.h"
#include "uninstaller/flow.h"
#include "uninstaller/routines.h"

namespace dpal::scenario {

namespace {

using Clock = std::chrono::steady_clock;
namespace layout = dpal::layout;

// ----- Text ---------------------------------------------------------------------------------

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    const auto code = static_cast<uint32_t>(c);
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | ((code >> 12) & 0x0F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// Scenario words are ASCII (the parser refuses anything else).
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Join(const std::vector<std::string>& words, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < words.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += words[i];
  }
  return out;
}

// A decimal number that fits a DWORD.
std::optional<DWORD> Number(const std::string& word) {
  if (word.empty() || word.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::string StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "state " + std::to_string(state);
  }
}

std::string StartTypeName(DWORD start_type) {
  switch (start_type) {
    case SERVICE_BOOT_START: return "boot";
    case SERVICE_SYSTEM_START: return "system";
    case SERVICE_AUTO_START: return "auto";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
    case SERVICE_NO_CHANGE: return "none";
    default: return std::to_string(start_type);
  }
}

std::string ErrorName(DWORD error) {
  switch (error) {
    case ERROR_SERVICE_ALREADY_RUNNING: return "ERROR_SERVICE_ALREADY_RUNNING";
    case ERROR_SERVICE_DISABLED: return "ERROR_SERVICE_DISABLED";
    case ERROR_SERVICE_NOT_ACTIVE: return "ERROR_SERVICE_NOT_ACTIVE";
    case ERROR_INVALID_SERVICE_CONTROL: return "ERROR_INVALID_SERVICE_CONTROL";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return "ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
    case ERROR_SERVICE_REQUEST_TIMEOUT: return "ERROR_SERVICE_REQUEST_TIMEOUT";
    default: return "error " + std::to_string(error);
  }
}

// A program the runner starts itself, among the machine's starts of programs: SetDPALProfile.exe
// for "tool", the uninstaller for "uninstall". The service's launches are the others.
bool IsRunnersProgram(const sim::Launch& launch) { return launch.function == "RunProcess"; }

std::string Optional(const std::optional<DWORD>& value) {
  return value ? std::to_string(*value) : "none";
}

// ----- Parsing --------------------------------------------------------------------------------

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Checks one command; empty when it is sound, otherwise what is wrong.
std::string Check(const std::vector<std::string>& w) {
  const std::string& command = w[0];
  const size_t args = w.size() - 1;
  auto one_of = [&](const std::set<std::string>& choices) -> std::string {
    std::string list;
    for (const std::string& choice : choices) list += (list.empty() ? "" : "|") + choice;
    if (args != 1 || choices.count(w[1]) == 0) return "'" + command + "' takes one of " + list;
    return "";
  };
  if (command == "client") return client::Check(w);
  if (command == "tool") return "";  // any command line, the account word included
  if (command == "install-profile") {
    // A name the service would install: "QXLCD_..." with the ".icm" extension.
    const bool named = args == 1 && w[1].size() > 10 && w[1].compare(0, 6, "QXLCD_") == 0 &&
                       w[1].compare(w[1].size() - 4, 4, ".icm") == 0;
    return named ? "" : "'install-profile' takes a profile file name QXLCD_....icm";
  }
  if (command == "firmware") return args == 1 ? "" : "'firmware' takes the version text";
  if (command == "prefixes") return args >= 1 ? "" : "'prefixes' takes at least one prefix";
  if (command == "device") return one_of({"present", "absent"});
  if (command == "install") return one_of({"pending", "done", "none"});
  if (command == "program") return one_of({"signed", "unsigned"});
  if (command == "uninstall") return one_of({"device-removal", "final-cleanup"});
  if (command == "installer") return one_of({"withdraw-owner", "remove"});
  if (command == "displays") {
    return one_of({"panel", "extended", "external-primary", "cloned", "lid-closed"});
  }
  if (command == "state") {
    return args == 1 && Number(w[1]) ? "" : "'state' takes a number (0 off, 1 on)";
  }
  if (command == "control") {
    std::optional<DWORD> code = args == 1 ? Number(w[1]) : std::nullopt;
    return code && *code >= 128 && *code <= 255 ? "" : "'control' takes a user code, 128 to 255";
  }
  if (command == "alter-profile" || command == "boot" || command == "start" || command == "stop" ||
      command == "logoff" || command == "summary") {
    return args == 0 ? "" : "'" + command + "' takes no arguments";
  }
  if (command == "logon") {
    if (args == 1) return "";
    std::optional<DWORD> session = args == 3 && w[2] == "session" ? Number(w[3]) : std::nullopt;
    if (session && *session >= 1 && *session <= 65535) return "";
    return "'logon' takes a user name and optionally 'session N' (N from 1)";
  }
  if (command == "expect") {
    if (args == 0) {
      return "'expect' takes launches, install-state, start-type, service, default, tool, "
             "uninstall or leftovers";
    }
    const std::string& what = w[1];
    if (what == "launches") {
      if (args < 2) return "'expect launches' takes switches, or 'none'";
      for (size_t i = 2; i < w.size(); ++i) {
        if (w[i] == "none" && args != 2) return "'expect launches none' takes nothing more";
        if (w[i] != "none" && w[i][0] != '/') return "a switch begins with '/': " + w[i];
      }
      return "";
    }
    if (what == "install-state") {
      return args == 2 && (w[2] == "none" || Number(w[2]))
                 ? ""
                 : "'expect install-state' takes a number or 'none'";
    }
    if (what == "start-type") {
      return args == 2 && (w[2] == "auto" || w[2] == "demand" || w[2] == "disabled")
                 ? ""
                 : "'expect start-type' takes auto, demand or disabled";
    }
    if (what == "service") {
      return args == 2 && (w[2] == "running" || w[2] == "stopped")
                 ? ""
                 : "'expect service' takes running or stopped";
    }
    if (what == "tool") {
      return args == 2 && Number(w[2]) ? "" : "'expect tool' takes an exit code";
    }
    if (what == "uninstall") {
      return args == 2 && Number(w[2]) ? "" : "'expect uninstall' takes an exit code";
    }
    if (what == "leftovers") {
      return args == 2 && Number(w[2]) ? "" : "'expect leftovers' takes a number of items";
    }
    if (what == "default") {
      return args == 4 && (w[2] == "user" || w[2] == "machine") && (w[3] == "sdr" || w[3] == "hdr")
                 ? ""
                 : "'expect default' takes user|machine sdr|hdr NAME|none";
    }
    return "'expect' takes launches, install-state, start-type, service, default, tool, uninstall "
           "or leftovers, not '" +
           what + "'";
  }
  return "unknown command '" + command + "' (dpal-sim --help lists the commands)";
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
    std::vector<std::string> words = Words(line);
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

const char* CommandSummary() {
  return R"(A scenario is one command a line; '#' starts a comment. The laptop starts as the outside
installer leaves it, with an installation pending, the service stopped (automatic start) and
nobody logged on.

  firmware TEXT              the firmware version text (default ABCDE12X)
  prefixes P...              the supported firmware prefixes (default ABC)
  device present|absent      the software device
  install pending|done|none  the install state: 0, 1, or no install-state key
  state N                    the machine apply state, as the core library writes it
  alter-profile              changes one byte of a profile file
  program signed|unsigned    the per-user program passes or fails the integrity check
  displays panel|extended|external-primary|cloned|lid-closed   the laptop's displays
  boot                       restart: users logged off, service started if automatic
  start | stop               the SCM starts or stops the service
  control N                  the SCM sends user control code N (128..255)
  logon NAME [session N]     NAME logs on at the console (session 1 by default)
  logoff                     the console user logs off
  expect launches SWITCH...|none       launches since the last such check
  expect install-state N|none
  expect start-type auto|demand|disabled
  expect service running|stopped
  expect default user|machine sdr|hdr NAME|none   the panel's default (the console user's)
  client state user|machine|both 0|1   a client of DPALCore.dll switches the profiles
  client set sdr|hdr NAME              ... makes NAME the panel's default (user, then machine)
  client read sdr|hdr                  ... reads the panel's defaults
  client disassociate user|machine sdr|hdr NAME   ... removes NAME from the panel's list
  client save NAME                     ... records NAME for the client's account
  client wait stop|0|1                 ... waits for the user's update (tools/core_client.h)
  install-profile NAME       an update of the profiles installs NAME (QXLCD_....icm) in the
                             colour directory and enters it in the catalogue
  tool [user|system] ARGS... SetDPALProfile.exe with ARGS, as the console user (default) or as
                             LocalSystem in the console session, e.g. tool system /baseverify 1
                             NEW BASE; the timeline shows its exit code and the defaults changed
  expect tool N              the exit code of the last tool run
  uninstall device-removal   the uninstaller's device-removal run, as an administrator starts it
  uninstall final-cleanup    its final-cleanup run, as the uninstall task starts it (LocalSystem,
                             -checkremoval); the timeline shows the gates, each step with its
                             result, the exit code and what the run changed on the machine
  expect uninstall N         the exit code of the last uninstall run
  installer withdraw-owner   the outside installer takes its owner out of Owners
  installer remove           ... removes the service's files and registration (the service key
                             with the settings and the catalogue goes with it)
  summary                    what the package left: the machine's difference from before the
                             install, removed, added and changed items
  expect leftovers N         N items differ from the machine before the install

After each command dpal-sim waits (10 s at most) until the service has finished what the
command set off. uninstall, installer and boot show what they changed on the machine. tools/scenario.h describes the format in full; tools/scenarios/ has examples.
)";
}

namespace {

// ----- What the platform is asked ----------------------------------------------------------------

enum class Role { Runner, Dispatcher, Service, Watch, Worker };

const char* RoleName(Role role) {
  switch (role) {
    case Role::Runner: return "runner";
    case Role::Dispatcher: return "dispatcher";
    case Role::Service: return "service main";
    case Role::Watch: return "watch";
    case Role::Worker: return "worker";
  }
  return "?";
}

struct LoggedCall {
  uint64_t thread = 0;
  Clock::time_point time;
  std::string function;
  std::wstring args;
};

// Every platform call made while a scenario plays, and the threads that made them: which of them
// still run, what each asked last, and what part it plays in the service. Fed by the sim's trace
// sink on whatever thread makes a call; never destroyed, as service threads may outlive main.
class Tracker {
 public:
  static Tracker& Get() {
    static Tracker* tracker = new Tracker();
    return *tracker;
  }

  struct Thread {
    bool alive = true;
    Role role = Role::Worker;
    std::vector<size_t> calls;  // indexes into the log
  };

  void Begin(Clock::time_point origin) {
    std::lock_guard<std::mutex> guard(lock_);
    log_.clear();
    threads_.clear();
    origin_ = origin;
    runner_ = std::this_thread::get_id();
  }

  void Record(const sim::Call& call);
  // The service's watch of the apply state, as the blocked-thread query shows it.
  void MarkWatch(uint64_t thread) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = threads_.find(thread);
    if (it != threads_.end() && it->second.role == Role::Worker) it->second.role = Role::Watch;
  }
  void Ended(uint64_t thread) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = threads_.find(thread);
    if (it != threads_.end()) it->second.alive = false;
    changed_.notify_all();
  }

  // Waits until something is recorded, a thread ends, or a short while has passed (for what no
  // call announces, such as a program's end).
  void AwaitChange() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(2));
  }

  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> guard(lock_);
    return f(log_, threads_);
  }

  Clock::time_point origin() const { return origin_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<LoggedCall> log_;
  std::map<uint64_t, Thread> threads_;
  Clock::time_point origin_;
  std::thread::id runner_;
};

// Calls the runner makes to look at the machine are not part of the timeline.
thread_local bool t_quiet = false;

class Quiet {
 public:
  Quiet() : was_(t_quiet) { t_quiet = true; }
  ~Quiet() { t_quiet = was_; }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  bool was_;
};

// Tells the tracker when a thread that made platform calls ends.
struct EndNotice {
  uint64_t thread = 0;
  ~EndNotice() {
    if (thread != 0) Tracker::Get().Ended(thread);
  }
};

void Tracker::Record(const sim::Call& call) {
  if (t_quiet) return;
  static thread_local EndNotice notice;
  notice.thread = call.thread;
  std::lock_guard<std::mutex> guard(lock_);
  log_.push_back(LoggedCall{call.thread, Clock::now(), call.function, call.args});
  Thread& thread = threads_[call.thread];
  thread.calls.push_back(log_.size() - 1);
  if (std::this_thread::get_id() == runner_) {
    thread.role = Role::Runner;
  } else if (call.function == "StartServiceCtrlDispatcherW") {
    thread.role = Role::Dispatcher;
  } else if (call.function == "RegisterServiceCtrlHandlerExW") {
    thread.role = Role::Service;
  }
  changed_.notify_all();
}

// The service's watch: a thread blocked on an event armed for a notification on the machine apply
// state's key. (The core library's wait watches the user's key instead.)
bool IsApplyStateWatch(const sim::BlockedThread& thread) {
  const std::wstring key = std::wstring(L"HKEY_LOCAL_MACHINE\\") + layout::kMachineApplyStateKey;
  for (const sim::WaitedObject& object : thread.objects) {
    for (const std::wstring& watched : object.notified_keys) {
      if (lstrcmpiW(watched.c_str(), key.c_str()) == 0) return true;
    }
  }
  return false;
}

// ----- Registry access of the runner --------------------------------------------------------

// A key below HKEY_LOCAL_MACHINE, created when missing, to write values into as a client of the
// package would. A write that fails shows in the checks that follow it.
test::RegistryWriter Key(const std::wstring& path) {
  return test::WriterFor(HKEY_LOCAL_MACHINE, path);
}

std::optional<DWORD> ReadDword(const std::wstring& path) {
  Quiet quiet;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr,
                   &value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

// The files the Session Manager is to delete at the next restart, as recorded in
// "PendingFileRenameOperations" (pairs of a source and an empty target), without their "\??\".
std::vector<std::string> PendingDeletions() {
  Quiet quiet;
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const wchar_t* value = L"PendingFileRenameOperations";
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, data.data(),
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  data.resize(size / sizeof(wchar_t));
  std::vector<std::wstring> strings;
  std::wstring current;
  for (wchar_t c : data) {
    if (c == L'\0') {
      strings.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  std::vector<std::string> deletions;
  const std::wstring prefix = L"\\??\\";
  for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
    if (!strings[i + 1].empty()) continue;  // a rename, not a deletion
    std::wstring path = strings[i];
    if (path.compare(0, prefix.size(), prefix) == 0) path.erase(0, prefix.size());
    deletions.push_back(Narrow(path));
  }
  return deletions;
}

// ----- The player ---------------------------------------------------------------------------

struct Event {
  size_t order = 0;  // the log index it belongs after
  Clock::time_point time;
  std::string kind;
  std::string text;
};

class Player {
 public:
  Player(const Scenario& scenario, const PlayOptions& options, std::ostream& out)
      : scenario_(scenario), options_(options), out_(out) {}

  int Play();

  // A step of the uninstall run that goes on, from the run's own thread.
  void NoteStep(const std::string& text);

 private:
  // What must hold, besides the service being quiet, before the next command.
  struct Wanted {
    bool no_work = false;        // every work run has ended (after a stop)
    std::set<uint64_t> watches;  // the watches at the start of the command
  };

  bool Run(const Step& step);
  bool Settle(const Step& step, Wanted wanted);
  bool Settled(const Wanted& wanted, std::string* busy);
  void Flush();
  void Note(const std::string& kind, const std::string& text);
  void Print(Clock::time_point time, const std::string& head, const std::string& text);
  std::string Offset(Clock::time_point time) const;
  std::set<uint64_t> LiveWatches();
  size_t LogSize();

  void StopService(Wanted* wanted);
  void RunTool(const std::vector<std::string>& w);
  void RunUninstall(const std::vector<std::string>& w);
  void RunInstaller(const std::vector<std::string>& w);
  void Expect(const Step& step);
  // The machine's difference from the snapshot before the install.
  sim::SnapshotDiff Leftovers() const;
  // What a command changed on the machine (its snapshot difference, the parts chosen), one line
  // an item; and the summary's grouped list.
  void ShowDifference(const sim::SnapshotDiff& diff);
  void ShowSummary();
  void PrintChange(Clock::time_point time, const sim::SnapshotChange& change);
  // The SID of the user logged on at the console; empty when nobody is.
  std::wstring ConsoleUserSid() const;

  const Scenario& scenario_;
  const PlayOptions& options_;
  std::ostream& out_;
  Tracker& tracker_ = Tracker::Get();

  // What was printed so far.
  size_t logged_ = 0;         // log entries already turned into events
  size_t report_cursor_ = 0;  // log index where the next status report is looked for
  size_t launch_cursor_ = 0;  // log index where the next launch is looked for
  size_t reports_shown_ = 0;
  size_t launches_shown_ = 0;
  size_t launches_checked_ = 0;  // by "expect launches"
  std::optional<DWORD> install_state_;
  std::optional<DWORD> apply_state_;
  DWORD start_type_ = 0;
  std::vector<Event> notes_;
  client::ColourState colour_;  // the panel's defaults and association lists last shown

  std::map<DWORD, std::string> users_;   // session -> the user logged on there
  std::map<std::string, int> accounts_;  // user name -> relative ID of its SID
  DWORD console_ = 1;
  int workers_before_ = 0;  // work runs of the service left from before this play
  int failed_checks_ = 0;
  int checks_ = 0;
  std::optional<int> tool_exit_;       // the exit code of the last tool run
  std::optional<int> uninstall_exit_;  // the exit code of the last uninstall run

  sim::Snapshot before_install_;  // the machine right after the reset, before the install
  // The command's snapshot from before it ran, when its changes are shown once it has settled;
  // `shown_parts` (when not empty) limits them to those parts.
  std::optional<sim::Snapshot> command_before_;
  std::vector<std::string> shown_parts_;
  size_t reports_seen_ = 0;  // status reports of the service, kept when its record goes

  std::mutex run_lock_;
  std::vector<Event> run_notes_;  // the steps of the uninstall run, noted on its thread
};

std::wstring Player::ConsoleUserSid() const {
  auto user = users_.find(console_);
  if (user == users_.end()) return L"";
  return L"S-1-5-21-1000-1000-1000-" + std::to_wstring(accounts_.at(user->second));
}

std::string Player::Offset(Clock::time_point time) const {
  const double seconds = std::chrono::duration<double>(time - tracker_.origin()).count();
  char text[32];
  std::snprintf(text, sizeof(text), "%8.3fs", seconds < 0 ? 0.0 : seconds);
  return text;
}

void Player::Print(Clock::time_point time, const std::string& head, const std::string& text) {
  std::string line = Offset(time) + "  " + head;
  if (!text.empty()) {
    if (line.size() < 44)
      line.resize(44, ' ');
    else
      line += "  ";
    line += text;
  }
  out_ << line << "\n";
}

void Player::Note(const std::string& kind, const std::string& text) {
  notes_.push_back(Event{LogSize(), Clock::now(), kind, text});
}

size_t Player::LogSize() {
  return tracker_.With([](auto& log, auto&) { return log.size(); });
}

std::set<uint64_t> Player::LiveWatches() {
  return tracker_.With([](auto&, auto& threads) {
    std::set<uint64_t> watches;
    for (const auto& [id, thread] : threads) {
      if (thread.alive && thread.role == Role::Watch) watches.insert(id);
    }
    return watches;
  });
}

// Turns everything that happened since the last flush into timeline lines, in the order it
// happened: status reports, launches, changes of the values of interest and, with --trace, every
// platform call.
void Player::Flush() {
  const std::wstring& name = laptop::kServiceName;
  std::vector<SERVICE_STATUS> reports;
  std::vector<sim::Launch> launches;
  std::optional<DWORD> install_state;
  std::optional<DWORD> apply_state;
  DWORD start_type = 0;
  {
    Quiet quiet;
    reports = sim::ServiceStatusReports(name);
    launches = sim::Launches();
    start_type = sim::ServiceStartType(name);
  }
  install_state = ReadDword(layout::kInstallStateKey);
  apply_state = ReadDword(layout::kMachineApplyStateKey);
  const Clock::time_point now = Clock::now();

  std::vector<Event> events = std::move(notes_);
  notes_.clear();
  tracker_.With([&](const std::vector<LoggedCall>& log,
                    const std::map<uint64_t, Tracker::Thread>& threads) {
    const size_t end = log.size();
    auto role_of = [&](uint64_t thread) {
      auto it = threads.find(thread);
      return it == threads.end() ? Role::Worker : it->second.role;
    };
    // The call a change belongs to: the last matching one since the previous flush.
    auto last_call = [&](auto matches) -> std::pair<size_t, Clock::time_point> {
      for (size_t i = end; i-- > logged_;) {
        if (matches(log[i])) return {i, log[i].time};
      }
      return {end, now};
    };

    // A deleted service's reports go with its record; those shown are still counted.
    if (reports.size() < reports_shown_) reports_shown_ = reports.size();
    for (; reports_shown_ < reports.size(); ++reports_shown_, ++reports_seen_) {
      const SERVICE_STATUS& report = reports[reports_shown_];
      const std::wstring state = L", state " + std::to_wstring(report.dwCurrentState) + L",";
      Event event{end, now, "status", StateName(report.dwCurrentState)};
      for (size_t i = report_cursor_; i < end; ++i) {
        if (log[i].function == "SetServiceStatus" &&
            log[i].args.find(state) != std::wstring::npos) {
          event.order = i;
          event.time = log[i].time;
          report_cursor_ = i + 1;
          break;
        }
      }
      if (report.dwWin32ExitCode != NO_ERROR) {
        event.text += " (exit code " + std::to_string(report.dwWin32ExitCode) + ")";
      }
      events.push_back(event);
    }

    for (; launches_shown_ < launches.size(); ++launches_shown_) {
      const sim::Launch& launch = launches[launches_shown_];
      if (IsRunnersProgram(launch)) continue;  // the command's own lines say it
      const std::wstring quoted = L"\"" + launch.command_line + L"\"";
      std::string program = Narrow(launch.image_path);
      const size_t slash = program.rfind('\\');
      if (slash != std::string::npos) program.erase(0, slash + 1);
      std::string switch_text = Narrow(laptop::SwitchOf(launch));
      Event event{end, now, "launch",
                  program + (switch_text.empty() ? "" : " " + switch_text) + "  (session " +
                      std::to_string(launch.session_id) + ", account " + Narrow(launch.user_name) +
                      ")"};
      for (size_t i = launch_cursor_; i < end; ++i) {
        if (log[i].function.rfind("CreateProcess", 0) == 0 &&
            log[i].args.find(quoted) != std::wstring::npos) {
          event.order = i;
          event.time = log[i].time;
          launch_cursor_ = i + 1;
          break;
        }
      }
      events.push_back(event);
    }

    auto state_write = [&](bool by_runner) {
      return [&, by_runner](const LoggedCall& call) {
        return (call.function == "RegSetValueExW" || call.function.rfind("RegDelete", 0) == 0) &&
               (role_of(call.thread) == Role::Runner) == by_runner;
      };
    };
    if (install_state != install_state_) {
      // The service marks the installation done; the runner's own writes set it up.
      auto [order, time] = last_call(state_write(false));
      if (order == end) std::tie(order, time) = last_call(state_write(true));
      events.push_back(
          Event{order, time, "registry",
                "install state: " + Optional(install_state_) + " -> " + Optional(install_state)});
      install_state_ = install_state;
    }
    if (apply_state != apply_state_) {
      // The runner's write, or the core library's client's.
      auto [order, time] = last_call(state_write(true));
      if (order == end) std::tie(order, time) = last_call(state_write(false));
      events.push_back(
          Event{order, time, "registry",
                "apply state: " + Optional(apply_state_) + " -> " + Optional(apply_state)});
      apply_state_ = apply_state;
    }
    if (start_type != start_type_) {
      // The service's record goes with its deletion.
      const bool deleted = start_type == SERVICE_NO_CHANGE;
      auto [order, time] = last_call([deleted](const LoggedCall& call) {
        return call.function == (deleted ? "DeleteService" : "ChangeServiceConfigW");
      });
      events.push_back(Event{order, time, "scm",
                             deleted ? "the service is deleted"
                                     : "start type: " + StartTypeName(start_type_) + " -> " +
                                           StartTypeName(start_type)});
      start_type_ = start_type;
    }

    if (options_.trace) {
      for (size_t i = logged_; i < end; ++i) {
        const LoggedCall& call = log[i];
        events.push_back(Event{i, call.time, "call",
                               "[t" + std::to_string(call.thread) + " " +
                                   RoleName(role_of(call.thread)) + "] " + call.function + "(" +
                                   Narrow(call.args) + ")"});
      }
    }
    logged_ = end;
    return 0;
  });

  // The colour system's changes come after what caused them.
  client::ColourState colour;
  {
    Quiet quiet;
    colour = client::Snapshot(ConsoleUserSid());
  }
  for (const client::Line& line : client::Changes(colour_, colour)) {
    events.push_back(Event{LogSize(), now, line.kind, line.text});
  }
  colour_ = colour;

  // Calls first, then what they caused (a report or launch comes after its own call).
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    if (a.order != b.order) return a.order < b.order;
    return a.kind == "call" && b.kind != "call";
  });
  for (const Event& event : events) {
    std::string head = "  " + event.kind;
    if (head.size() < 14) head.resize(14, ' ');
    Print(event.time, head + event.text, "");
  }
}

// Whether the service has finished what the last command set off: no program runs, every work
// run has ended, each thread of the service is blocked again in a wait without time-out that
// nothing has ended yet (the machine's query of blocked threads says so; a thread whose event a
// command set is about to run, so it is not blocked), and a service that stops has gone.
//
// The answer holds only if no platform call was made while the question was asked: the checks
// look at different things one after the other, and the service may move on in between (start
// its work runs and report a new state after the threads were looked at, say). Everything that
// could undo a "yes" begins with a platform call.
bool Player::Settled(const Wanted& wanted, std::string* busy) {
  struct Alive {
    Role role = Role::Worker;
    std::string last_call;
  };
  struct Snapshot {
    size_t calls = 0;
    std::map<uint64_t, Alive> alive;  // the threads that made platform calls, the runner's aside
    int stopped_workers = 0;          // work runs cut off by the end of their process
    bool watch_lost = false;
  };
  // Threads of a service process that has ended never run again, nor do they end, and the
  // blocked-thread query does not list them: they are gone. A work run among them (a thread the
  // service started itself, the watch included) never ends for WorkerThreads either.
  const std::vector<uint64_t> stopped_list = sim::StoppedThreads();
  const std::set<uint64_t> stopped(stopped_list.begin(), stopped_list.end());
  const Snapshot snapshot = tracker_.With(
      [&](const std::vector<LoggedCall>& log, const std::map<uint64_t, Tracker::Thread>& threads) {
        Snapshot s;
        s.calls = log.size();
        for (const auto& [id, thread] : threads) {
          if (stopped.count(id) != 0) {
            if (thread.role == Role::Watch || thread.role == Role::Worker) ++s.stopped_workers;
            continue;
          }
          if (!thread.alive) {
            if (wanted.watches.count(id) != 0) s.watch_lost = true;
            continue;
          }
          if (thread.role == Role::Runner) continue;
          s.alive[id] = Alive{thread.role, log[thread.calls.back()].function};
        }
        return s;
      });
  // Before the threads are looked at: a program can end without a platform call, and a thread
  // that waits for it is blocked until then.
  {
    Quiet quiet;
    if (!sim::WaitForProcessesToEnd(std::chrono::milliseconds(0))) {
      *busy = "a launched program is still running";
      return false;
    }
  }
  std::map<uint64_t, sim::BlockedThread> blocked;
  {
    Quiet quiet;
    for (sim::BlockedThread& thread : sim::BlockedThreads()) {
      const uint64_t id = thread.thread;
      blocked.emplace(id, std::move(thread));
    }
  }
  int workers = 0;  // the service's own threads that wait: its work runs
  for (const auto& [id, thread] : snapshot.alive) {
    auto it = blocked.find(id);
    if (it == blocked.end()) {
      *busy = std::string("the ") + RoleName(thread.role) + " thread t" + std::to_string(id) +
              " is busy (last call " + thread.last_call + ")";
      return false;
    }
    if (IsApplyStateWatch(it->second)) tracker_.MarkWatch(id);
    // The threads the SCM started (the dispatcher and ServiceMain) play the service's process;
    // those the service started itself act as the process identity.
    if (it->second.process_image.empty()) ++workers;
  }

  Quiet quiet;
  const int running =
      WorkerThreads::RunningInProcessForTesting() - workers_before_ - snapshot.stopped_workers;
  if (running != workers || (wanted.no_work && running != 0)) {
    *busy = std::to_string(running) + " work run(s) of the service still going";
    return false;
  }
  const DWORD state = sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    *busy = "the service is in " + StateName(state);
    return false;
  }
  // A watch that ended on a failure ends the service too, once its work runs are over.
  if (state == SERVICE_RUNNING && snapshot.watch_lost) {
    *busy = "the watch ended; the service is about to stop";
    return false;
  }
  if (state == SERVICE_STOPPED &&
      !sim::WaitForServiceProcessExit(laptop::kServiceName, std::chrono::milliseconds(0))) {
    *busy = "the service process is still ending";
    return false;
  }
  if (LogSize() != snapshot.calls) {
    *busy = "the service made platform calls while it was looked at";
    return false;
  }
  return true;
}

bool Player::Settle(const Step& step, Wanted wanted) {
  const Clock::time_point deadline = Clock::now() + options_.deadline;
  std::string busy;
  while (!Settled(wanted, &busy)) {
    if (Clock::now() > deadline) {
      Flush();
      out_ << "dpal-sim: line " << step.line << " (" << step.text
           << "): the service did not settle within " << options_.deadline.count()
           << " ms: " << busy << "\n";
      return false;
    }
    tracker_.AwaitChange();
  }
  return true;
}

void Player::StopService(Wanted* wanted) {
  const DWORD error = sim::SendServiceControl(laptop::kServiceName, SERVICE_CONTROL_STOP);
  if (error != NO_ERROR) Note("scm", "stop refused: " + ErrorName(error));
  wanted->no_work = true;
}

// Runs SetDPALProfile.exe as a program of its own: its logic against the machine, with the
// command line it was given, under the console user's account or LocalSystem's.
void Player::RunTool(const std::vector<std::string>& w) {
  const bool system = w.size() > 1 && w[1] == "system";
  const bool named = w.size() > 1 && (system || w[1] == "user");
  std::wstring arguments;
  for (size_t i = named ? 2 : 1; i < w.size(); ++i) arguments += L" " + Widen(w[i]);
  sim::Identity who;
  if (system) {
    who = sim::LocalSystem(laptop::kToolProgram);
  } else {
    auto user = users_.find(console_);
    if (user == users_.end()) {
      Note("tool", "nobody is logged on at the console: the tool is not run");
      return;
    }
    who = sim::StandardUser(ConsoleUserSid(), Widen(user->second));
    who.image_path = laptop::kToolProgram;
  }
  who.session_id = console_;
  const int code = sim::RunProcess(who, L"\"" + laptop::kToolProgram + L"\"" + arguments,
                                   [] { return setprofile::RunToolProcess(); });
  tool_exit_ = code;
  Note("tool", "SetDPALProfile.exe" + Narrow(arguments) + "  (session " + std::to_string(console_) +
                   ", account " + Narrow(who.user_name) + ") -> exit code " + std::to_string(code));
}

// ----- The uninstaller's runs ---------------------------------------------------------------

void Player::NoteStep(const std::string& text) {
  Event event{LogSize(), Clock::now(), "uninstall", text};
  std::lock_guard<std::mutex> guard(run_lock_);
  run_notes_.push_back(std::move(event));
}

// The player whose uninstall run goes on: the run's routines are plain function pointers, so the
// wrappers below reach it here.
Player* g_uninstall_player = nullptr;

void NoteStep(const std::string& text) {
  if (g_uninstall_player != nullptr) g_uninstall_player->NoteStep(text);
}

// Calls one of the package's routines; an exception it raises is noted and goes on to the flow,
// which decides what it ends.
template <typename Result>
Result Guarded(const char* step, Result (*routine)()) {
  try {
    return routine();
  } catch (...) {
    NoteStep(std::string(step) + ": ended by an exception");
    throw;
  }
}

// The package's routines, each noted with its result as it runs.
void StopLoaderServiceNoted() {
  NoteStep("stop the loader service");
  Guarded("stop the loader service", uninstaller::PackageRoutines().stop_loader_service);
}

void RemoveColorProfilesNoted() {
  Guarded("profiles disassociated and uninstalled",
          uninstaller::PackageRoutines().remove_color_profiles);
  NoteStep("profiles disassociated and uninstalled");
}

// A routine that answers whether it did all of its part: "STEP: true" or "STEP: false".
template <bool (*uninstaller::Routines::*Routine)(), const char* kStep>
bool OutcomeNoted() {
  const bool result = Guarded(kStep, uninstaller::PackageRoutines().*Routine);
  NoteStep(std::string(kStep) + (result ? ": true" : ": false"));
  return result;
}

constexpr char kHivesCleaned[] = "users' hives cleaned";
constexpr char kTasksDeleted[] = "scheduled tasks deleted";
constexpr char kFilesDeleted[] = "installed files deleted";
constexpr char kDeviceRemoved[] = "device and driver package removed";

const uninstaller::Routines kNotedRoutines = {
    StopLoaderServiceNoted,
    RemoveColorProfilesNoted,
    OutcomeNoted<&uninstaller::Routines::clean_user_hives, kHivesCleaned>,
    OutcomeNoted<&uninstaller::Routines::delete_scheduled_tasks, kTasksDeleted>,
    OutcomeNoted<&uninstaller::Routines::delete_installed_files, kFilesDeleted>,
    OutcomeNoted<&uninstaller::Routines::remove_device_and_driver_package, kDeviceRemoved>,
};

// One of the uninstaller's runs, as the outside installer starts it. A final-cleanup run shows
// its gates first (as the runner reads them: the software device, the owners).
void Player::RunUninstall(const std::vector<std::string>& w) {
  const bool final_cleanup = w[1] == "final-cleanup";
  {
    Quiet quiet;
    command_before_ = sim::TakeSnapshot();
    shown_parts_.clear();
    if (final_cleanup) {
      CSoftwareDeviceLookup device(kSoftwareDeviceHardwareId);
      const bool present = device.found();
      device.ReleaseDeviceLookup();
      const bool no_owners = uninstaller::HasNoOwners();
      std::string owners;
      if (!no_owners) {
        for (const std::wstring& owner :
             ReadMultiStringValue(layout::kServiceKey, layout::kOwnersValue)) {
          owners += (owners.empty() ? "" : ", ") + Narrow(owner);
        }
      }
      Note("uninstall",
           std::string("gates: ") +
               (present ? "the software device is present" : "the software device is gone") + ", " +
               (no_owners ? "no owner registered" : "owner registered: " + owners) +
               (present || !no_owners ? " -> the run removes nothing" : " -> the cleanup runs"));
    }
  }
  Note("uninstall", final_cleanup ? "TarvexDPALUninstaller.exe -checkremoval  (account SYSTEM)"
                                  : "TarvexDPALUninstaller.exe  (account " +
                                        Narrow(installer::kAdministratorName) + ", elevated)");
  g_uninstall_player = this;
  const int code = final_cleanup ? installer::RunFinalCleanup(kNotedRoutines)
                                 : installer::RunDeviceRemoval(kNotedRoutines);
  g_uninstall_player = nullptr;
  {
    std::lock_guard<std::mutex> guard(run_lock_);
    for (Event& event : run_notes_) notes_.push_back(std::move(event));
    run_notes_.clear();
  }
  uninstall_exit_ = code;
  // The run's image moves out of the install directory and waits for the restart to go.
  for (const std::string& path : PendingDeletions()) {
    if (!command_before_->Holds("files", path) && path.find("\\ufn.") != std::string::npos) {
      Note("uninstall", "the image moved to " + path + ", to be deleted at the restart");
    }
  }
  Note("uninstall", "exit code " + std::to_string(code));
}

// The outside installer's own steps at uninstall.
void Player::RunInstaller(const std::vector<std::string>& w) {
  {
    Quiet quiet;
    command_before_ = sim::TakeSnapshot();
  }
  shown_parts_.clear();
  if (w[1] == "withdraw-owner") {
    installer::WithdrawOwner();
  } else {
    installer::RemovePackage();
  }
}

sim::SnapshotDiff Player::Leftovers() const { return sim::DifferenceFrom(before_install_); }

void Player::PrintChange(Clock::time_point time, const sim::SnapshotChange& change) {
  using Kind = sim::SnapshotChange::Kind;
  std::string head = change.kind == Kind::Added     ? "  added"
                     : change.kind == Kind::Removed ? "  removed"
                                                    : "  changed";
  head.resize(14, ' ');
  Print(time, head + change.Line().substr(2), "");  // the line without its sign
}

void Player::ShowDifference(const sim::SnapshotDiff& diff) {
  const Clock::time_point now = Clock::now();
  if (diff.Empty()) {
    Print(now, "  machine     nothing changed", "");
    return;
  }
  for (const sim::SnapshotChange& change : diff.Changes()) PrintChange(now, change);
}

// What the package left, grouped: removed, added, changed, each in the order of part and item.
void Player::ShowSummary() {
  using Kind = sim::SnapshotChange::Kind;
  const Clock::time_point now = Clock::now();
  const sim::SnapshotDiff diff = Leftovers();
  const size_t count = diff.Changes().size();
  Print(now,
        "  machine     " + std::to_string(count) +
            (count == 1 ? " item differs" : " items differ") + " from before the install",
        "");
  for (Kind kind : {Kind::Removed, Kind::Added, Kind::Changed}) {
    for (const sim::SnapshotChange& change : diff.Changes()) {
      if (change.kind == kind) PrintChange(now, change);
    }
  }
}

void Player::Expect(const Step& step) {
  const std::vector<std::string>& w = step.words;
  const std::string& what = w[1];
  std::string seen;
  bool ok = false;
  Quiet quiet;
  if (what == "launches") {
    std::vector<std::string> switches;
    const std::vector<sim::Launch> launches = sim::Launches();
    for (size_t i = launches_checked_; i < launches.size(); ++i) {
      if (!IsRunnersProgram(launches[i])) switches.push_back(Narrow(laptop::SwitchOf(launches[i])));
    }
    launches_checked_ = launches.size();
    std::vector<std::string> expected(w.begin() + 2, w.end());
    if (expected == std::vector<std::string>{"none"}) expected.clear();
    ok = switches == expected;
    seen = switches.empty() ? "none" : Join(switches);
  } else if (what == "install-state") {
    seen = Optional(ReadDword(layout::kInstallStateKey));
    ok = seen == w[2];
  } else if (what == "start-type") {
    seen = StartTypeName(sim::ServiceStartType(laptop::kServiceName));
    ok = seen == w[2];
  } else if (what == "service") {
    const DWORD state = sim::ServiceStatusNow(laptop::kServiceName).dwCurrentState;
    seen = state == SERVICE_RUNNING   ? "running"
           : state == SERVICE_STOPPED ? "stopped"
                                      : StateName(state);
    ok = seen == w[2];
  } else if (what == "tool") {
    seen = tool_exit_ ? std::to_string(*tool_exit_) : "no run";
    ok = seen == w[2];
  } else if (what == "uninstall") {
    seen = uninstall_exit_ ? std::to_string(*uninstall_exit_) : "no run";
    ok = seen == w[2];
  } else if (what == "leftovers") {
    seen = std::to_string(Leftovers().Changes().size());
    ok = seen == w[2];
  } else if (what == "default") {
    const std::wstring sid = w[2] == "user" ? ConsoleUserSid() : L"";
    const DWORD subtype =
        w[3] == "hdr" ? sim::kExtendedDisplayColourMode : sim::kStandardDisplayColourMode;
    const std::wstring name = sid.empty() && w[2] == "user"
                                  ? L""
                                  : sim::DefaultColourProfile(sid, sim::kPanelDeviceKey, subtype);
    seen = name.empty() ? "none" : Narrow(name);
    ok = seen == w[4];
  }
  ++checks_;
  if (!ok) ++failed_checks_;
  Print(Clock::now(), step.text, ok ? "ok" : "FAILED: " + seen);
}

// What a command does, as the timeline's line for it says.
std::string Describe(const std::vector<std::string>& w) {
  const std::string& command = w[0];
  if (command == "client") return client::Describe(w);
  if (command == "tool") {
    const bool system = w.size() > 1 && w[1] == "system";
    return std::string(system ? "a program running as LocalSystem in the console session"
                              : "the console user") +
           " runs the profile-setting tool";
  }
  if (command == "install-profile") return "an update of the profiles installs " + w[1];
  if (command == "firmware") return "BIOSVersion becomes \"" + w[1] + "\"";
  if (command == "prefixes") return "SupportedBIOSPrefix becomes " + Join(w, 1);
  if (command == "device") {
    return w[1] == "present" ? "the software device is present" : "the software device is removed";
  }
  if (command == "install") {
    if (w[1] == "none") return "the install-state key is removed";
    return w[1] == "pending" ? "an installation is wanted (State 0)"
                             : "the installation is done (State 1)";
  }
  if (command == "state") {
    if (w[1] == "1") return "a client switches the profiles on for the machine";
    if (w[1] == "0") return "a client switches the profiles off for the machine";
    return "a client sets the machine apply state to " + w[1];
  }
  if (command == "alter-profile") return "one byte of a profile file changes";
  if (command == "displays") {
    if (w[1] == "panel") return "the built-in panel alone";
    if (w[1] == "extended")
      return "an external monitor extends the desktop; the panel stays primary";
    if (w[1] == "external-primary") return "an external monitor is made the primary display";
    if (w[1] == "cloned") return "an external monitor shows a clone of the panel";
    return "the lid is closed; an external monitor is the only display";
  }
  if (command == "program") {
    return w[1] == "signed" ? "the per-user program is the publisher's signed one"
                            : "the per-user program is replaced by an unsigned copy";
  }
  if (command == "boot") return "restart: users logged off, the console at the logon screen";
  if (command == "uninstall") {
    return w[1] == "device-removal"
               ? "an administrator runs the uninstaller: the device-removal run"
               : "the uninstall task runs the uninstaller as LocalSystem: the final-cleanup run";
  }
  if (command == "installer") {
    return w[1] == "remove" ? "the outside installer removes the service and its files"
                            : "the outside installer withdraws its owner from Owners";
  }
  if (command == "summary") return "what the package left: the difference from before the install";
  if (command == "start") return "the SCM starts the service";
  if (command == "stop") return "the SCM asks the service to stop";
  if (command == "control") return "the SCM sends the user control code " + w[1];
  if (command == "logon") {
    const std::string session = w.size() == 4 ? w[3] : "1";
    return w[1] + " logs on in session " + session + " at the console";
  }
  return "";
}

bool Player::Run(const Step& step) {
  const std::vector<std::string>& w = step.words;
  const std::string& command = w[0];
  const std::wstring& service = laptop::kServiceName;
  if (!step.heading.empty()) {
    out_ << "\n";
    for (const std::string& line : step.heading) out_ << "  " << line << "\n";
  }
  if (command == "expect") {
    Expect(step);
    return true;
  }
  if (command == "summary") {
    Print(Clock::now(), step.text, Describe(w));
    ShowSummary();
    return true;
  }

  std::string description = Describe(w);
  if (command == "logoff") {
    auto it = users_.find(console_);
    description = it == users_.end() ? "nobody is logged on at the console; nothing happens"
                                     : it->second + " logs off session " +
                                           std::to_string(console_) + "; the logon screen shows";
  }
  Print(Clock::now(), step.text, description);
  Wanted wanted;
  wanted.watches = LiveWatches();

  if (command == "firmware") {
    Key(layout::kBiosKey).String(layout::kBiosVersionValue, Widen(w[1]));
  } else if (command == "prefixes") {
    std::vector<std::wstring> prefixes;
    for (size_t i = 1; i < w.size(); ++i) prefixes.push_back(Widen(w[i]));
    Key(layout::kSettingsKey).MultiString(layout::kSupportedBiosPrefixValue, prefixes);
  } else if (command == "device") {
    Quiet quiet;
    if (w[1] == "present") {
      sim::Device device;
      device.instance_id = laptop::kDeviceInstance;
      device.hardware_ids = {kSoftwareDeviceHardwareId};
      device.driver_inf = laptop::kDriverInf;
      sim::AddDevice(device);
    } else {
      sim::RemoveDevice(laptop::kDeviceInstance);
    }
  } else if (command == "install") {
    if (w[1] == "none") {
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, layout::kInstallStateKey);
    } else {
      Key(layout::kInstallStateKey).Dword(layout::kStateValue, w[1] == "pending" ? 0 : 1);
    }
  } else if (command == "state") {
    // An armed watch is woken by the write itself: from then on it is not blocked (its event is
    // set) until it has handled the change and waits again.
    Key(layout::kMachineApplyStateKey).Dword(layout::kStateValue, *Number(w[1]));
  } else if (command == "displays") {
    Quiet quiet;
    sim::LaptopDisplayOptions options;
    if (w[1] == "extended") options.external = sim::ExternalMonitor::Extended;
    if (w[1] == "external-primary") options.external = sim::ExternalMonitor::Primary;
    if (w[1] == "cloned") options.external = sim::ExternalMonitor::Cloned;
    if (w[1] == "lid-closed") {
      options.external = sim::ExternalMonitor::Extended;
      options.lid_closed = true;
    }
    sim::SetDisplays(sim::LaptopDisplays(options));
  } else if (command == "client") {
    // As for "state", a write of the machine's apply state wakes the watch by itself.
    const size_t order = LogSize();
    for (const client::Line& line : client::Run(w, console_)) {
      notes_.push_back(Event{order, Clock::now(), line.kind, line.text});
    }
  } else if (command == "tool") {
    RunTool(w);
  } else if (command == "uninstall") {
    RunUninstall(w);
    // A run that stopped the service waits for its work runs to end, as a stop does.
    Quiet quiet;
    if (sim::ServiceStatusNow(service).dwCurrentState == SERVICE_STOPPED) wanted.no_work = true;
  } else if (command == "installer") {
    RunInstaller(w);
    // The removal stops a running service first.
    if (w[1] == "remove") wanted.no_work = true;
  } else if (command == "install-profile") {
    Quiet quiet;
    // The update installs the profile and enters it in the catalogue, with the display colour
    // mode its name ends in ("_S" standard, "_H" advanced) and its digest.
    const std::wstring file = Widen(w[1]);
    sim::InstallColourProfile(file);
    laptop::Profile profile;
    profile.entry_name = file.substr(0, file.size() - 4);
    const std::wstring mode = profile.entry_name.substr(profile.entry_name.size() - 2);
    profile.type = mode == L"_S" ? 1 : mode == L"_H" ? 2 : 0;
    if (sim::GetFile(laptop::ProfilePath(profile), &profile.bytes)) laptop::AddToCatalogue(profile);
  } else if (command == "alter-profile") {
    Quiet quiet;
    const laptop::Profile& profile = laptop::Profiles()[0];
    std::vector<uint8_t> bytes;
    if (sim::GetFile(laptop::ProfilePath(profile), &bytes) && !bytes.empty()) {
      bytes.back() ^= 0x01;
      sim::PutFile(laptop::ProfilePath(profile), bytes);
      Note("file", Narrow(profile.entry_name) + ".icm altered");
    } else {
      Note("file", Narrow(profile.entry_name) + ".icm is missing; nothing changed");
    }
  } else if (command == "program") {
    Quiet quiet;
    if (w[1] == "signed") {
      sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("TarvexDPALProfile stand-in"));
      sim::SignFile(laptop::kProfileProgram, laptop::Publisher());
    } else {
      sim::PutFile(laptop::kProfileProgram, sim::ProgramBytes("TarvexDPALProfile, unsigned copy"));
    }
  } else if (command == "boot") {
    DWORD state = 0;
    DWORD start_type = 0;
    {
      Quiet quiet;
      state = sim::ServiceStatusNow(service).dwCurrentState;
      start_type = sim::ServiceStartType(service);
      // What the restart does to files shows: the deletions recorded for it, say.
      command_before_ = sim::TakeSnapshot();
      shown_parts_ = {"files"};
    }
    const bool registered = start_type != SERVICE_NO_CHANGE;
    if (registered && state != SERVICE_STOPPED) {
      Note("machine", "the shutdown ends the service's process");
    }
    for (const std::string& path : PendingDeletions()) {
      Note("machine", "the restart deletes " + path + ", as recorded for it");
    }
    if (!registered) {
      Note("scm", "no service to start: the package's service is not registered");
    } else if (start_type == SERVICE_AUTO_START) {
      Note("scm", "starts the service (automatic start)");
    } else {
      Note("scm", "leaves the service alone (start type " + StartTypeName(start_type) + ")");
    }
    {
      Quiet quiet;
      sim::Restart();
    }
    users_.clear();
    console_ = 1;
    Quiet quiet;
    const SERVICE_STATUS_PROCESS status = sim::ServiceStatusNow(service);
    if (start_type == SERVICE_AUTO_START && status.dwCurrentState == SERVICE_STOPPED &&
        status.dwWin32ExitCode != NO_ERROR) {
      Note("scm", "start failed: " + ErrorName(status.dwWin32ExitCode));
    }
  } else if (command == "start") {
    const DWORD error = sim::StartServiceAsScm(service);
    if (error != NO_ERROR) Note("scm", "start failed: " + ErrorName(error));
  } else if (command == "stop") {
    StopService(&wanted);
  } else if (command == "control") {
    const DWORD error = sim::SendServiceControl(service, *Number(w[1]));
    if (error != NO_ERROR) Note("scm", "control not delivered: " + ErrorName(error));
  } else if (command == "logon") {
    const std::string& user = w[1];
    const DWORD session = w.size() == 4 ? *Number(w[3]) : 1;
    if (accounts_.count(user) == 0) accounts_[user] = 1001 + static_cast<int>(accounts_.size());
    const std::wstring sid = L"S-1-5-21-1000-1000-1000-" + std::to_wstring(accounts_[user]);
    {
      Quiet quiet;
      if (session != console_ && users_.count(console_) != 0) {
        sim::SetSessionState(console_, WTSDisconnected);  // switched away, still logged on
      }
      console_ = session;
      sim::SetConsoleSession(session);
      sim::LogOn(session, sid, Widen(user));
      users_[session] = user;
    }
    const DWORD error = sim::SendSessionChange(service, WTS_SESSION_LOGON, session);
    if (error != NO_ERROR) Note("scm", "the service is not told: " + ErrorName(error));
  } else if (command == "logoff") {
    auto it = users_.find(console_);
    if (it != users_.end()) {
      {
        Quiet quiet;
        sim::LogOff(console_);
        users_.erase(it);
      }
      const DWORD error = sim::SendSessionChange(service, WTS_SESSION_LOGOFF, console_);
      if (error != NO_ERROR) Note("scm", "the service is not told: " + ErrorName(error));
    }
  }
  if (!Settle(step, wanted)) return false;
  Flush();
  if (command_before_) {
    sim::SnapshotDiff diff;
    {
      Quiet quiet;
      diff = sim::DifferenceFrom(*command_before_);
    }
    // A restart that changed no file says nothing of them.
    if (!shown_parts_.empty()) diff = diff.Only(shown_parts_);
    if (shown_parts_.empty() || !diff.Empty()) ShowDifference(diff);
    command_before_.reset();
  }
  return true;
}

int Player::Play() {
  sim::Reset();
  // The machine before anything of the package is there, the laptop itself freshly booted: the
  // summary's reference.
  {
    Quiet quiet;
    laptop::SetUpMachine();
    sim::Restart();
  }
  before_install_ = sim::TakeSnapshot();
  workers_before_ = WorkerThreads::RunningInProcessForTesting();
  const Clock::time_point origin = Clock::now();
  tracker_.Begin(origin);
  sim::SetTraceSink([](const sim::Call& call) { Tracker::Get().Record(call); });

  installer::InstallPackage();
  laptop::InstallStandIn();
  {
    Quiet quiet;
    sim::LogOff(1);  // the console shows the logon screen
    sim::SetConsoleSession(1);
  }
  install_state_ = ReadDword(layout::kInstallStateKey);
  apply_state_ = ReadDword(layout::kMachineApplyStateKey);
  size_t installed = 0;
  {
    Quiet quiet;
    start_type_ = sim::ServiceStartType(laptop::kServiceName);
    installed = Leftovers().Changes().size();
  }

  out_ << "dpal-sim: " << scenario_.name
       << (scenario_.origin.empty() ? "" : " (" + scenario_.origin + ")") << "\n";
  out_ << "The outside installer has put the package on the freshly reset laptop (" << installed
       << " items differ from\nbefore the install): the software device and its driver package, "
          "the service, the per-user\nprogram, the core library and the tool, the two scheduled "
          "tasks, the uninstaller and the\ninstaller's owner. Firmware ABCDE12X (supported prefix "
          "ABC), install state "
       << Optional(install_state_) << ", apply state " << Optional(apply_state_)
       << ",\nthe service stopped (start type " << StartTypeName(start_type_)
       << "), nobody logged on.\n";
  if (options_.trace) {
    // The set-up's own calls.
    Flush();
  } else {
    logged_ = LogSize();
  }
  if (scenario_.steps.empty() || scenario_.steps[0].heading.empty()) out_ << "\n";

  bool completed = true;
  for (const Step& step : scenario_.steps) {
    if (!Run(step)) {
      completed = false;
      break;
    }
  }

  size_t launches = 0;
  DWORD start_type = 0;
  size_t leftovers = 0;
  {
    Quiet quiet;
    // Every report the service sent: those shown, and any it sent after the last flush.
    const size_t reports = sim::ServiceStatusReports(laptop::kServiceName).size();
    if (reports > reports_shown_) reports_seen_ += reports - reports_shown_;
    for (const sim::Launch& launch : sim::Launches()) launches += IsRunnersProgram(launch) ? 0 : 1;
    start_type = sim::ServiceStartType(laptop::kServiceName);
    leftovers = Leftovers().Changes().size();
  }
  sim::SetTraceSink(nullptr);
  std::ostringstream facts;
  facts << launches << (launches == 1 ? " launch, " : " launches, ") << reports_seen_
        << (reports_seen_ == 1 ? " status report, " : " status reports, ") << "install state "
        << Optional(ReadDword(layout::kInstallStateKey)) << ", "
        << (start_type == SERVICE_NO_CHANGE ? std::string("the service removed")
                                            : "start type " + StartTypeName(start_type))
        << ", " << leftovers << (leftovers == 1 ? " item differs" : " items differ")
        << " from before the install";
  out_ << "\n";
  if (!completed) {
    out_ << scenario_.name << " stopped early: " << facts.str() << "\n";
    return kFailed;
  }
  if (failed_checks_ > 0) {
    out_ << scenario_.name << " FAILED: " << failed_checks_ << " of " << checks_
         << " checks not met; " << facts.str() << "\n";
    return kFailed;
  }
  out_ << scenario_.name << " complete: " << facts.str() << "\n";
  return kCompleted;
}

}  // namespace

int Play(const Scenario& scenario, const PlayOptions& options, std::ostream& out) {
  Player player(scenario, options, out);
  return player.Play();
}

}  // namespace dpal::scenario
