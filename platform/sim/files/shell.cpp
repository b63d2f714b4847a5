// The shell's path functions (shlwapi) and its folders (SHGetFolderPathW).
#include <cstring>
#include <cwchar>

#include "platform/sim/files/internal.h"
#include "platform/sim/files/shlobj.h"
#include "platform/sim/files/store.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/security/internal.h"

namespace sim {
using namespace store;  // the store's names, shared by the files area's files
}  // namespace sim

using namespace sim;

extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
  if (DWORD e = SIM_ENTER(pszPath)) return Fail(e, FALSE);
  if (pszPath == nullptr) return FALSE;
  std::wstring full;
  DWORD attributes = 0;
  DWORD error = ResolvePath(pszPath, CurrentDirectory(), &full);
  if (error == 0) {
    Lock lock(MachineLock());
    error = AttributesOfLocked(full, &attributes);
  }
  if (error != 0) return Fail(error, FALSE);
  return TRUE;
}

namespace sim::store {
namespace {

bool IsUncPath(const std::wstring& path) {
  return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

// Relative as the shell's path functions see it: neither rooted ("\...") nor with a drive.
bool IsRelativePath(const std::wstring& path) {
  return !(!path.empty() && path[0] == L'\\') && !(path.size() >= 2 && path[1] == L':');
}

// The root a path keeps through canonicalisation: "C:\", "C:", "\\server\share\", "\" or none.
size_t RootLength(const std::wstring& path) {
  if (IsUncPath(path)) {
    size_t end = path.find(L'\\', 2);
    if (end != std::wstring::npos) end = path.find(L'\\', end + 1);
    return end == std::wstring::npos ? path.size() : end + 1;
  }
  if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && path[2] == L'\\' ? 3 : 2;
  return !path.empty() && path[0] == L'\\' ? 1 : 0;
}

// Resolves the "." and ".." steps of a path as PathCanonicalizeW does: ".." takes away the step
// before it but never the root; a trailing backslash stays.
std::wstring CanonicalPath(const std::wstring& path) {
  const size_t root = RootLength(path);
  std::vector<std::wstring> steps;
  size_t at = root;
  while (at < path.size()) {
    size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring step = path.substr(at, end - at);
    if (step == L"..") {
      if (!steps.empty()) steps.pop_back();
    } else if (step != L"." && !step.empty()) {
      steps.push_back(step);
    }
    at = end + 1;
  }
  std::wstring out = path.substr(0, root);
  for (size_t i = 0; i < steps.size(); ++i) {
    if (i > 0) out += L'\\';
    out += steps[i];
  }
  if (!steps.empty() && path.back() == L'\\') out += L'\\';
  if (out.empty()) out = L"\\";
  return out;
}

}  // namespace
}  // namespace sim::store

extern "C" BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
  if (DWORD e = SIM_ENTER(static_cast<LPCWSTR>(pszPath), pszMore)) return Fail(e, FALSE);
  if (pszPath == nullptr || pszMore == nullptr) return FALSE;
  // The buffer holds MAX_PATH units; a path that long already has no terminator in it.
  const size_t length = wcsnlen(pszPath, MAX_PATH);
  std::wstring more(pszMore);
  if (!IsUncPath(more)) {
    // Backslashes that begin the appended part are dropped, so it never restarts at a root.
    const size_t first = more.find_first_not_of(L'\\');
    more.erase(0, first == std::wstring::npos ? more.size() : first);
  }
  std::wstring combined;
  bool fits = length < MAX_PATH;
  if (fits) {
    const std::wstring dir(pszPath, length);
    if (more.empty()) {
      combined = dir;
    } else if (dir.empty() || !IsRelativePath(more)) {
      combined = more;  // an absolute path replaces the one in the buffer
    } else {
      combined = dir;
      if (combined.back() != L'\\') combined += L'\\';
      combined += more;
    }
    combined = CanonicalPath(combined);
    fits = combined.size() < MAX_PATH;
  }
  if (!fits) {
    pszPath[0] = L'\0';
    return FALSE;
  }
  std::wmemcpy(pszPath, combined.c_str(), combined.size() + 1);
  return TRUE;
}

extern "C" HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags,
                                           LPWSTR pszPath) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hwnd), csidl, hToken, dwFlags,
                          static_cast<const void*>(pszPath))) {
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
