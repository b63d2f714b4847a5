// Fuzz target: the uninstaller's choice of its run from the account and the command line
// (SelectRunMode), with the command line as GetCommandLineW gives it.
//
// Input: byte  the account (low two bits): 0 and 3 LocalSystem, 1 the interactive administrator,
//              2 a standard user
//        rest  the whole command line, program path included
//
// Checks: another account is always a device-removal run; LocalSystem can always split its
// command line, and gets the final cleanup only for a line that holds the switch (for a line of
// plain ASCII without quotes, exactly when one blank-separated word after the first is the
// switch in any letter case); nothing leaks.
#include <cwctype>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "uninstaller/flow.h"

namespace {

namespace un = dpal::uninstaller;
using dpal::fuzz::Check;

const std::wstring kImage = L"C:\\Program Files\\Tarvex\\DPAL\\TarvexDPALUninstaller.exe";

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

// Whether the switch is an argument, for a line where the rules of quotes and backslashes play
// no part: plain ASCII without a quote. -1 when the line is not such a line.
int HasSwitchPlainly(const std::wstring& line) {
  std::vector<std::wstring> words;
  std::wstring word;
  for (wchar_t c : line) {
    if (c == L'\0') break;  // GetCommandLineW gives the text up to the first NUL
    if (c == L'"' || c < 0x20 || c > 0x7e) return -1;
    if (c == L' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  // A line that starts with a blank gives an empty program name, which the words miss.
  if (!line.empty() && line[0] == L' ') return -1;
  for (size_t i = 1; i < words.size(); ++i) {
    if (Lower(words[i]) == un::kCheckRemovalSwitch) return 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dpal::fuzz::Machine machine;
  dpal::fuzz::Input input(data, size);
  const uint8_t account = input.Byte() & 3;
  const std::wstring line = input.Rest();

  sim::Identity who = account == 1   ? sim::DefaultAdmin()
                      : account == 2 ? sim::StandardUser(L"S-1-5-21-1-2-3-1003", L"carol")
                                     : sim::LocalSystem(kImage);
  who.image_path = kImage;
  const bool system = account == 0 || account == 3;

  un::RunMode mode = un::RunMode::None;
  bool selected = false;
  sim::RunProcess(who, line, [&] {
    selected = un::SelectRunMode(&mode);
    return 0;
  });
  if (!system) {
    Check(selected && mode == un::RunMode::DeviceRemoval, "another account removes the device");
  } else {
    Check(selected, "LocalSystem splits its command line");
    Check(mode == un::RunMode::None || mode == un::RunMode::FinalCleanup, "a LocalSystem run");
    if (mode == un::RunMode::FinalCleanup) {
      Check(Lower(line).find(L"checkremoval") != std::wstring::npos ||
                line.find_first_of(L"\x212a\x017f") != std::wstring::npos,
            "the final cleanup only for a line with the switch");
    }
    const int plainly = HasSwitchPlainly(line);
    if (plainly >= 0) {
      Check((mode == un::RunMode::FinalCleanup) == (plainly == 1),
            "a plain line: the final cleanup exactly when a word after the first is the switch");
    }
  }
  dpal::fuzz::CheckNoLeaks();
  return 0;
}
