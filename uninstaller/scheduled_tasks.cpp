// The package's scheduled tasks and their folder, deleted through the Task Scheduler's COM
// interfaces for the final cleanup.
#include "common/com.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

constexpr WCHAR kRootFolder[] = L"\\";

}  // namespace

bool DeleteScheduledTasks() {
  // Declared first, so that the objects below are released before COM is uninitialised.
  ComInitialization com;
  if (!com.Initialize(COINIT_MULTITHREADED)) return false;
  // RPC_E_TOO_LATE: the process's security is set already (by an earlier run of this step, or by
  // a component that initialised COM before): the connection works under it as well, so the
  // tasks are still deleted rather than left behind.
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) return false;

  UniqueCom<ITaskService> service;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                              reinterpret_cast<void**>(service.Put())))) {
    return false;
  }
  // The local machine, under the account this program runs as.
  VARIANT empty;
  VariantInit(&empty);
  if (FAILED(service.get()->Connect(empty, empty, empty, empty))) return false;

  UniqueBstr root_path(SysAllocString(kRootFolder));
  if (!root_path) return false;
  UniqueCom<ITaskFolder> root;
  if (FAILED(service.get()->GetFolder(root_path.get(), root.Put()))) return false;

  int failed = 0;
  for (const WCHAR* task : kPackageTasks) {
    UniqueBstr path(SysAllocString(task));
    if (!path) return false;
    if (FAILED(root.get()->DeleteTask(path.get(), 0))) ++failed;
  }
  // Tried whatever the tasks gave: a folder that still holds a task is refused by the scheduler.
  UniqueBstr folder_path(SysAllocString(kPackageTaskFolder));
  if (!folder_path) return false;
  const bool folder_deleted = SUCCEEDED(root.get()->DeleteFolder(folder_path.get(), 0));
  return folder_deleted && failed == 0;
}

}  // namespace dpal::uninstaller
