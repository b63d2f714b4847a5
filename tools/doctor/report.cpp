// The doctor's report as text and as JSON, and its command line.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "common/failure_boundary.h"
#include "tools/doctor/doctor.h"

namespace dpal::doctor {

namespace {

// The longest account name Windows allows (UNLEN).
constexpr size_t kUserNameUnits = 256;

constexpr char kUsage[] =
    "usage: DPALDoctor [--json] [--user NAME]...\n"
    "  --json        the report as one JSON object\n"
    "  --user NAME   also the apply state of the user NAME (when his hive is loaded)\n";

void AppendUtf8(std::string& out, unsigned long point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

void AppendEscape(std::string& out, unsigned long point) {
  char escape[16];
  std::snprintf(escape, sizeof(escape), "\\u{%lx}", point);
  out += escape;
}

bool IsUserNameCharacter(wchar_t c) {
  // No control character, and none of the characters Windows refuses in an account name.
  if (c < 0x20 || c == 0x7F) return false;
  for (const wchar_t refused : std::wstring(L"\"/\\[]:;|=,+*?<>")) {
    if (c == refused) return false;
  }
  return true;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok: return "ok";
    case Outcome::Problem: return "problem";
    case Outcome::NotApplicable: return "not applicable";
    case Outcome::NoRights: return "no rights";
    case Outcome::Unreadable: return "unreadable";
  }
  return "unreadable";
}

int Report::ExitCode() const {
  bool incomplete = false;
  for (const Check& check : checks) {
    if (check.outcome == Outcome::Problem) return 1;
    incomplete =
        incomplete || check.outcome == Outcome::NoRights || check.outcome == Outcome::Unreadable;
  }
  return incomplete ? 2 : 0;
}

const Check* Report::Find(const std::string& name) const {
  for (const Check& check : checks) {
    if (check.name == name) return &check;
  }
  return nullptr;
}

std::string Printable(const std::wstring& text, size_t limit) {
  std::string out;
  size_t shown = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shown == limit) {
      out += "...";
      break;
    }
    unsigned long point = static_cast<unsigned long>(text[i]) & 0xFFFFFFFFul;
    if (point >= 0xD800 && point <= 0xDBFF && i + 1 < text.size()) {
      const unsigned long low = static_cast<unsigned long>(text[i + 1]) & 0xFFFFFFFFul;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    const bool control = point < 0x20 || (point >= 0x7F && point < 0xA0);
    const bool malformed = (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF;
    if (control || malformed || point == 0xFEFF) {
      AppendEscape(out, point);
    } else {
      AppendUtf8(out, point);
    }
    ++shown;
  }
  return out;
}

std::string Verdict(const Report& report) {
  std::string names;
  auto add = [&](const Check& check) {
    if (!names.empty()) names += ", ";
    names += check.name;
  };
  switch (report.ExitCode()) {
    case 0: return "verdict: ok, the profiles should be in effect";
    case 1:
      for (const Check& check : report.checks) {
        if (check.outcome == Outcome::Problem) add(check);
      }
      return "verdict: problem, the profiles are kept out by " + names;
    default:
      for (const Check& check : report.checks) {
        if (check.outcome == Outcome::NoRights || check.outcome == Outcome::Unreadable) {
          add(check);
        }
      }
      return "verdict: incomplete, could not check " + names;
  }
}

std::string FormatText(const Report& report) {
  std::string out;
  for (const Check& check : report.checks) {
    char head[64];
    std::snprintf(head, sizeof(head), "%-15s", OutcomeName(check.outcome));
    out += head;
    out += check.name;
    out += ": ";
    out += check.value;
    out += "\n";
    if (!check.comment.empty()) out += "               -> " + check.comment + "\n";
  }
  out += Verdict(report) + "\n";
  return out;
}

std::string FormatJson(const Report& report) {
  nlohmann::ordered_json checks = nlohmann::ordered_json::array();
  for (const Check& check : report.checks) {
    nlohmann::ordered_json entry;
    entry["name"] = check.name;
    entry["outcome"] = OutcomeName(check.outcome);
    entry["value"] = check.value;
    entry["comment"] = check.comment;
    checks.push_back(std::move(entry));
  }
  nlohmann::ordered_json root;
  root["format"] = 1;
  root["exit_code"] = report.ExitCode();
  root["verdict"] = Verdict(report);
  root["checks"] = std::move(checks);
  // The texts are made valid UTF-8 by Printable; any byte that is not is replaced, never thrown.
  return root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int RunDoctor(const std::vector<std::wstring>& arguments, std::string& out) {
  out.clear();
  const int code = ContainFailure(2, [&] {
    Options options;
    bool json = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
      const std::wstring& argument = arguments[i];
      if (argument == L"--json") {
        json = true;
      } else if (argument == L"--user") {
        if (i + 1 == arguments.size()) {
          out = std::string("DPALDoctor: --user needs a user name\n") + kUsage;
          return 2;
        }
        const std::wstring& user = arguments[++i];
        if (user.empty() || user.size() > kUserNameUnits) {
          out = "DPALDoctor: --user: a user name has 1 to 256 characters, not " +
                std::to_string(user.size()) + "\n" + kUsage;
          return 2;
        }
        for (const wchar_t c : user) {
          if (!IsUserNameCharacter(c)) {
            out = "DPALDoctor: --user: \"" + Printable(user, 40) +
                  "\" holds a character no user name has\n" + kUsage;
            return 2;
          }
        }
        options.users.push_back(user);
      } else if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
        out = kUsage;
        return 0;
      } else {
        out = "DPALDoctor: unknown argument \"" + Printable(argument, 40) + "\"\n" + kUsage;
        return 2;
      }
    }
    const Report report = Examine(options);
    out = json ? FormatJson(report) : FormatText(report);
    return report.ExitCode();
  });
  if (code == 2 && out.empty()) out = "DPALDoctor: out of memory or past a length limit\n";
  return code;
}

}  // namespace dpal::doctor
