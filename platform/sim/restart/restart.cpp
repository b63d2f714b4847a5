// A restart of the machine: the shutdown ends every process and logs every user off, and the
// boot that follows unloads what was loaded, completes the device removals that waited for it,
// lets the Session Manager carry out the file operations recorded for it, and lets the SCM start
// the automatic services. Each area does its own part; this file puts the parts in the order a
// real restart has them.
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"
#include "platform/sim/kernel/sim_kernel.h"
#include "platform/sim/restart/internal.h"

namespace sim {
namespace {

// The strings of REG_MULTI_SZ data, each up to its NUL, empty ones included (a deletion's target
// is one), without the list's terminator.
std::vector<std::wstring> Strings(const std::vector<uint8_t>& data) {
  std::vector<std::wstring> strings;
  std::wstring current;
  for (size_t i = 0; i + sizeof(WCHAR) <= data.size(); i += sizeof(WCHAR)) {
    WCHAR c = 0;
    std::memcpy(&c, data.data() + i, sizeof(WCHAR));
    if (c == 0) {
      strings.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) strings.push_back(current);  // a last string without its NUL
  return strings;
}

// "\??\C:\path" -> "C:\path"; false for a name that is no NT path of a drive.
bool Win32Path(const std::wstring& nt_path, std::wstring* path) {
  const std::wstring prefix = L"\\??\\";
  if (nt_path.compare(0, prefix.size(), prefix) != 0) return false;
  *path = nt_path.substr(prefix.size());
  return path->size() >= 3 && (*path)[1] == L':' && (*path)[2] == L'\\';
}

// The Session Manager's part of the boot: each recorded pair in order, then the value goes.
void CarryOutPendingFileOperationsLocked() {
  std::vector<uint8_t> data;
  if (!TakePendingFileOperationsLocked(&data)) return;
  const std::vector<std::wstring> strings = Strings(data);
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::wstring source;
    if (strings[i].empty()) break;  // the end of the list
    if (!Win32Path(strings[i], &source)) continue;
    const std::wstring& target_text = strings[i + 1];
    if (target_text.empty()) {
      CarryOutAtRestartLocked(source, nullptr, false);
      continue;
    }
    const bool replace = target_text[0] == L'!';
    std::wstring target;
    if (Win32Path(replace ? target_text.substr(1) : target_text, &target)) {
      CarryOutAtRestartLocked(source, &target, replace);
    }
  }
}

}  // namespace

void Restart() {
  Lock lock(MachineLock());
  // The shutdown.
  for (const auto& process : RunningProcessesLocked()) EndProcessLocked(*process);
  LogEveryoneOffForRestartLocked();
  // The boot.
  UnloadHivesForRestartLocked();
  RemoveDevicesAtRestartLocked();
  CarryOutPendingFileOperationsLocked();
  RestartServicesLocked(lock);
}

}  // namespace sim
