#include "common/handles.h"
#include "core/steps/identity.h"
#include "uninstaller/flow.h"

namespace dpal::uninstaller {

bool SelectRunMode(RunMode* mode) {
  *mode = RunMode::None;
  // A check that cannot be made counts as "not LocalSystem".
  bool is_system = false;
  if (!core::IsLocalSystemCaller(&is_system) || !is_system) {
    *mode = RunMode::DeviceRemoval;
    return true;
  }
  const WCHAR* line = GetCommandLineW();
  if (line == nullptr) return false;
  int count = 0;
  UniqueLocalMemory arguments(CommandLineToArgvW(line, &count));
  if (!arguments) return false;
  const auto* argv = static_cast<LPWSTR*>(arguments.get());
  for (int i = 1; i < count; ++i) {
    if (StrCmpIW(argv[i], kCheckRemovalSwitch) == 0) {
      *mode = RunMode::FinalCleanup;
      break;
    }
  }
  return true;
}

}  // namespace dpal::uninstaller
