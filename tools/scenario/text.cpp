#include "tools/scenario/text.h"

#include <cstdint>

namespace dpal::scenario {

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

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Join(const std::vector<std::string>& words, size_t from) {
  std::string out;
  for (size_t i = from; i < words.size(); ++i) {
    if (!out.empty()) out += ' ';
    out += words[i];
  }
  return out;
}

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

std::string Optional(const std::optional<DWORD>& value) {
  return value ? std::to_string(*value) : "none";
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

bool IsRunnersProgram(const sim::Launch& launch) { return launch.function == "RunProcess"; }

}  // namespace dpal::scenario
