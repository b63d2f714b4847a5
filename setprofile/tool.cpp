#include "setprofile/tool.h"

#include "common/failure_boundary.h"
#include "common/module.h"
#include "common/registry_layout.h"
#include "common/user_session.h"
#include "core/steps/colour_steps.h"
#include "core/steps/identity.h"
#include "core/steps/panel.h"
#include "loader/shared/registry.h"

namespace dpal::setprofile {
namespace {

// The switches in the order they are tried.
struct Switch {
  const WCHAR* text;
  int mode;
};
constexpr Switch kSwitches[] = {
    {L"/allset", kAllSet},
    {L"/userset", kUserSet},
    {L"/systemset", kSystemSet},
    {L"/baseverify", kBaseVerify},
};

int ModeOf(const WCHAR* command_line) {
  int count = 0;
  UniqueLocalMemory argv(CommandLineToArgvW(command_line, &count));
  if (!argv || count < 2) return kNoMode;
  const WCHAR* given = static_cast<LPWSTR*>(argv.get())[1];
  for (const Switch& candidate : kSwitches) {
    if (lstrcmpW(given, candidate.text) == 0) return candidate.mode;
  }
  return kNoMode;
}

// The user's apply state, under the console-user rule. A failed identity check reads nothing;
// a LocalSystem caller without the console user's hive reads its own HKEY_CURRENT_USER.
void ReadUserApplyState(DWORD* on) {
  ConsoleUserHive hive;
  HKEY root = HKEY_CURRENT_USER;
  if (core::OpenUserRoot(hive, &root) == core::UserRootSource::UnknownCaller) return;
  // `on` stays as it was when the value is missing, of another type or unreadable.
  ReadDword(root, layout::kUserApplyStateKey, layout::kStateValue, on);
}

}  // namespace

void ParseArguments(const WCHAR* command_line, ToolArguments* arguments) {
  arguments->argc = 0;
  arguments->argv.reset(CommandLineToArgvW(command_line, &arguments->argc));
  arguments->parsed = false;
  if (!arguments->argv) {
    arguments->argc = 0;
    arguments->mode = kNoMode;
    return;
  }
  arguments->mode = ModeOf(command_line);
  if (arguments->mode == kNoMode || arguments->argc < 4) return;
  const LPWSTR* argv = static_cast<LPWSTR*>(arguments->argv.get());
  arguments->kind = StrToIntW(argv[2]);
  if (!Copy(arguments->profile, argv[3])) return;
  if (arguments->mode == kBaseVerify) {
    if (arguments->argc < 5 || !Copy(arguments->baseProfile, argv[4])) return;
  }
  arguments->parsed = true;
}

bool SetUserProfile(int kind, const WCHAR* profile) {
  const core::PanelTarget panel = core::IdentifyInternalPanel(kind);
  return panel.valid && core::SetUserDefault(panel, profile);
}

bool SetSystemProfile(int kind, const WCHAR* profile) {
  const core::PanelTarget panel = core::IdentifyInternalPanel(kind);
  return panel.valid && core::SetSystemDefault(panel, profile);
}

bool SetAllProfiles(int kind, const WCHAR* profile) {
  return SetUserProfile(kind, profile) && SetSystemProfile(kind, profile);
}

bool VerifyBaseProfiles(int kind, const WCHAR* profile, const WCHAR* base) {
  DWORD user_on = 1;
  DWORD system_on = 1;
  ReadDword(HKEY_LOCAL_MACHINE, layout::kMachineApplyStateKey, layout::kStateValue, &system_on);
  ReadUserApplyState(&user_on);
  const core::PanelTarget panel = core::IdentifyInternalPanel(kind);
  bool result = true;
  WCHAR current[kPathUnits];
  if (user_on != 0) {
    // Read and Set refuse a record that is not valid.
    result = core::ReadUserDefault(panel, current);
    if (result && lstrcmpW(current, base) == 0) result = core::SetUserDefault(panel, profile);
  }
  if (system_on != 0) {
    result = core::ReadSystemDefault(panel, current);
    if (result && lstrcmpW(current, base) == 0) result = core::SetSystemDefault(panel, profile);
  }
  return result;
}

int RunTool(const WCHAR* command_line) {
  ToolArguments arguments;
  ParseArguments(command_line, &arguments);
  if (arguments.mode == kNoMode || !arguments.parsed) return kFailed;
  bool succeeded = false;
  switch (arguments.mode) {
    case kAllSet: succeeded = SetAllProfiles(arguments.kind, arguments.profile); break;
    case kUserSet: succeeded = SetUserProfile(arguments.kind, arguments.profile); break;
    case kSystemSet: succeeded = SetSystemProfile(arguments.kind, arguments.profile); break;
    case kBaseVerify:
      succeeded = VerifyBaseProfiles(arguments.kind, arguments.profile, arguments.baseProfile);
      break;
  }
  return succeeded ? kSucceeded : kFailed;
}

int RunToolProcess() {
  RestrictLibrarySearchToSystemDirectory();
  return ContainFailure(kFailed, [] { return RunTool(GetCommandLineW()); });
}

}  // namespace dpal::setprofile
