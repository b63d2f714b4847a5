// The record of the stand-in per-user program (tools/profile_standin.cpp) and what it records of
// itself, shared by the stand-in and by the Wine tests that read the record (windows build only).
//
// The record holds one UTF-8 line per run, tab-separated "name=value" fields.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace dpal::standin {

// The user of a token: "DOMAIN\name" and the SID as text (each empty when it could not be had).
struct Account {
  std::wstring name;
  std::wstring sid;
};

inline Account TokenAccount(HANDLE token) {
  Account account;
  alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, user, sizeof(user), &size)) return account;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  wchar_t* text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    account.sid = text;
    LocalFree(text);
  }
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD name_units = 256;
  DWORD domain_units = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &name_units, domain, &domain_units, &use)) {
    account.name = std::wstring(domain) + L"\\" + name;
  }
  return account;
}

// The user of this process's token.
inline Account OwnAccount() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return Account();
  Account account = TokenAccount(token);
  CloseHandle(token);
  return account;
}

// One run as the stand-in recorded it: field name to value.
using Run = std::map<std::string, std::wstring>;

// The runs of a record's bytes. A line still being written (no newline yet) is left out.
inline std::vector<Run> ParseRecord(const std::string& bytes) {
  std::vector<Run> runs;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = bytes.substr(start, end - start);
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<size_t>(units) : 0, L'\0');
    if (units > 0) {
      MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                          units);
    }
    Run run;
    for (size_t field = 0; field <= wide.size();) {
      size_t tab = wide.find(L'\t', field);
      if (tab == std::wstring::npos) tab = wide.size();
      const std::wstring item = wide.substr(field, tab - field);
      const size_t equals = item.find(L'=');
      if (equals != std::wstring::npos) {
        std::string name;  // field names are ASCII
        for (size_t i = 0; i < equals; ++i) name.push_back(static_cast<char>(item[i]));
        run[name] = item.substr(equals + 1);
      }
      field = tab + 1;
    }
    runs.push_back(run);
  }
  return runs;
}

}  // namespace dpal::standin
