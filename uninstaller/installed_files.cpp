// The installed copy of the uninstaller and its directory under Program Files, deleted for the
// final cleanup.
#include "common/format.h"
#include "platform/win32.h"
#include "uninstaller/routines.h"

namespace dpal::uninstaller {
namespace {

// Below Program Files; the parent "Tarvex" may hold other products and stays.
constexpr WCHAR kInstallSubdirectory[] = L"Tarvex\\DPAL";
constexpr const WCHAR* kInstalledFiles[] = {
    L"TarvexDPALUninstaller.exe",
};

}  // namespace

bool DeleteInstalledFiles() {
  WCHAR program_files[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                              program_files))) {
    return false;
  }
  // Ends with a backslash, so that a file's path is the directory and the name.
  WCHAR directory[MAX_PATH];
  if (!Format(directory, L"%s\\%s\\", program_files, kInstallSubdirectory)) return false;

  int failed = 0;
  for (const WCHAR* name : kInstalledFiles) {
    WCHAR path[MAX_PATH];
    // A path that does not fit is passed over like an absent file: neither counts as a failure.
    if (!Format(path, L"%s%s", directory, name) || !PathFileExistsW(path)) continue;
    if (!DeleteFileW(path)) ++failed;
  }
  // A file that stays (the running image, one held open) keeps the directory.
  if (failed != 0) return false;
  return RemoveDirectoryW(directory) != FALSE;
}

}  // namespace dpal::uninstaller
