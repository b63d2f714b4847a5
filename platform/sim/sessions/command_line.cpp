// CommandLineToArgvW: the arguments of a command line, as shell32 splits it.
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/memory.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/sessions/shellapi.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Splits a non-empty command line (see shellapi.h for the rules).
std::vector<std::wstring> Split(const wchar_t* line) {
  std::vector<std::wstring> args;
  const wchar_t* s = line;
  // The program: quoted, up to the next quote; else up to the next blank. No backslash rules.
  std::wstring program;
  if (*s == L'"') {
    ++s;
    while (*s != 0 && *s != L'"') program.push_back(*s++);
    if (*s == L'"') ++s;
  } else {
    while (*s != 0 && !IsBlank(*s)) program.push_back(*s++);
  }
  args.push_back(program);
  while (IsBlank(*s)) ++s;

  // The other arguments. `quotes` counts the quotes seen in a run, modulo 3: 1 inside a quoted
  // part; a second quote right after one that opened or closed a part ends the part, a third
  // gives a literal quote.
  std::wstring current;
  bool started = *s != 0;
  int quotes = 0;
  size_t backslashes = 0;
  while (*s != 0) {
    if (IsBlank(*s) && quotes == 0) {
      args.push_back(current);
      current.clear();
      while (IsBlank(*s)) ++s;
      started = *s != 0;
      backslashes = 0;
    } else if (*s == L'\\') {
      current.push_back(*s++);
      ++backslashes;
    } else if (*s == L'"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes: n of them, and the quote opens or closes a quoted part.
        current.erase(current.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1 backslashes: n of them and a literal quote.
        current.erase(current.size() - backslashes / 2 - 1);
        current.push_back(L'"');
      }
      ++s;
      backslashes = 0;
      while (*s == L'"') {
        if (++quotes == 3) {
          current.push_back(L'"');
          quotes = 0;
        }
        ++s;
      }
      if (quotes == 2) quotes = 0;
    } else {
      current.push_back(*s++);
      backslashes = 0;
    }
  }
  if (started) args.push_back(current);
  return args;
}

}  // namespace

using namespace sim;

extern "C" LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
  if (DWORD e = SIM_ENTER(lpCmdLine, static_cast<const void*>(pNumArgs))) return Fail(e, nullptr);
  if (pNumArgs == nullptr || lpCmdLine == nullptr) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  std::vector<std::wstring> args;
  if (*lpCmdLine != 0) args = Split(lpCmdLine);
  Lock lock(MachineLock());
  // An empty command line: the path of the calling process's image.
  if (args.empty()) args.push_back(CurrentIdentityLocked().image_path);
  // One block: the pointers with a null one after them, then the texts.
  const size_t pointers = (args.size() + 1) * sizeof(LPWSTR);
  size_t bytes = pointers;
  for (const std::wstring& arg : args) bytes += (arg.size() + 1) * sizeof(WCHAR);
  void* block = LocalAllocLocked(bytes);
  if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  auto* argv = static_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<WCHAR*>(static_cast<char*>(block) + pointers);
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::memcpy(text, args[i].c_str(), (args[i].size() + 1) * sizeof(WCHAR));
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = static_cast<int>(args.size());
  return argv;
}
