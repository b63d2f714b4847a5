// Shell folders: the machine's Windows, system and Program Files folders.
#include <cstring>

#include "platform/sim/internal.h"

using namespace sim;

extern "C" HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags,
                                           LPWSTR pszPath) {
  if (DWORD e = Enter("SHGetFolderPathW",
                      Args(static_cast<const void*>(hwnd), csidl, hToken, dwFlags,
                           static_cast<const void*>(pszPath)))) {
    if (pszPath) *pszPath = 0;
    return HRESULT_FROM_WIN32(e);
  }
  if (pszPath == nullptr) return E_INVALIDARG;
  *pszPath = 0;
  if (dwFlags != SHGFP_TYPE_CURRENT && dwFlags != SHGFP_TYPE_DEFAULT) return E_INVALIDARG;
  Lock lock(MachineLock());
  std::wstring path;
  // The three folders are the same for every user, so the token does not matter.
  switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_WINDOWS: path = WindowsDirectoryLocked(); break;
    case CSIDL_SYSTEM: path = SystemDirectoryLocked(); break;
    case CSIDL_PROGRAM_FILES: path = ProgramFilesDirectoryLocked(); break;
    default: return E_INVALIDARG;  // no other folder exists on this machine
  }
  if (path.size() >= MAX_PATH) return E_FAIL;
  if (!(csidl & CSIDL_FLAG_DONT_VERIFY) && !DirectoryExistsLocked(path)) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return E_FAIL;  // a valid folder that does not exist
    MakeDirectoriesLocked(path);
  }
  std::memcpy(pszPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return S_OK;
}
