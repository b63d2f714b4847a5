// Fuzz target: SetDPALProfile's command line, as GetCommandLineW gives it, through the tool's
// parsing and its whole run on a simulated laptop (the built-in panel alone, two profiles
// installed, the panel's defaults set to the first).
//
// Input: byte  who runs the tool (low two bits): 0 the interactive administrator, 1 a standard
//              user, 2 LocalSystem with Bob at the console, 3 LocalSystem with nobody there
//        byte  the apply states (bit 0: the machine's "State" is 0, bit 1: the user's is 0)
//        rest  the whole command line, program path included
//
// Checks: the parse gives a known mode, terminated names within their buffers, and "parsed" only
// for a mode; the run exits with 0 or 1, and with 0 only for a parsed command line; a command line
// that does not parse identifies no panel and reads or sets no profile; nothing leaks.
#include <cwchar>
#include <string>

#include "common/registry_layout.h"
#include "fuzz/fuzz_input.h"
#include "setprofile/tool.h"
#include "harness/registry_writer.h"

namespace {

namespace layout = dpal::layout;
namespace tool = dpal::setprofile;
using dpal::fuzz::Check;

const std::wstring kTool = L"C:\\Program Files\\Tarvex\\DPAL\\SetDPALProfile.exe";
const std::wstring kBobSid = L"S-1-5-21-1-2-3-1002";
const std::wstring kBase = L"QXLCD_Panel_V3_S.icm";
const std::wstring kNew = L"QXLCD_Panel_V4_S.icm";

bool Terminated(const WCHAR* buffer, size_t units) { return wmemchr(buffer, L'\0', units); }

sim::Identity Caller(uint8_t who) {
  switch (who & 3) {
    case 0: return sim::DefaultAdmin();
    case 1: return sim::StandardUser(L"S-1-5-21-1-2-3-1003", L"carol");
    case 2: {
      sim::LogOn(2, kBobSid, L"bob");
      sim::SetConsoleSession(2);
      sim::Identity system = sim::LocalSystem(kTool);
      system.session_id = 2;
      return system;
    }
    default: {
      sim::LogOff(1);
      sim::Identity system = sim::LocalSystem(kTool);
      system.session_id = 1;
      return system;
    }
  }
}

void PutState(HKEY root, const std::wstring& key) {
  dpal::test::WriterFor(root, key).Dword(layout::kStateValue, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const dpal::fuzz::Machine machine;
  dpal::fuzz::Input input(data, size);
  const uint8_t who = input.Byte();
  const uint8_t states = input.Byte();
  const std::wstring line = input.Rest();

  for (const std::wstring& name : {kBase, kNew}) sim::InstallColourProfile(name);
  sim::Identity caller = Caller(who);
  caller.image_path = kTool;
  for (const std::wstring& sid : {caller.user_sid, kBobSid, std::wstring()}) {
    sim::SetDefaultColourProfile(sid, sim::kPanelDeviceKey, sim::kStandardDisplayColourMode, 1,
                                 kBase);
  }
  if (states & 1) PutState(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey);
  if (states & 2) PutState(HKEY_USERS, caller.user_sid + L"\\" + layout::kUserApplyStateKey);

  bool parsed = false;
  {
    tool::ToolArguments arguments;
    tool::ParseArguments(line.c_str(), &arguments);
    Check(arguments.mode >= tool::kNoMode && arguments.mode <= tool::kBaseVerify, "a known mode");
    Check(!arguments.parsed || arguments.mode != tool::kNoMode, "parsed only for a mode");
    Check(!arguments.parsed || arguments.argc >= 4, "parsed with the arguments a mode needs");
    Check(Terminated(arguments.profile, dpal::kPathUnits), "the profile name fits its buffer");
    Check(Terminated(arguments.baseProfile, dpal::kPathUnits), "the base name fits its buffer");
    Check(!arguments.argv == (arguments.argc == 0), "an argument array exactly when counted");
    parsed = arguments.parsed;
  }
  dpal::fuzz::CheckNoLeaks();

  sim::ClearTrace();
  const int exit_code = sim::RunProcess(caller, line, [] { return tool::RunToolProcess(); });
  Check(exit_code == tool::kSucceeded || exit_code == tool::kFailed, "the exit code is 0 or 1");
  Check(parsed || exit_code == tool::kFailed, "an unparsed command line fails");
  if (!parsed) {
    const uint64_t touched = sim::CallCount("GetDisplayConfigBufferSizes") +
                             sim::CallCount("WcsGetDefaultColorProfileSize") +
                             sim::CallCount("WcsSetDefaultColorProfile");
    Check(touched == 0, "an unparsed command line identifies, reads and sets nothing");
  }
  dpal::fuzz::CheckNoLeaks();
  return 0;
}
