// The running program's own image, as every program of the package finds it.
#pragma once

#include "common/format.h"
#include "platform/win32.h"

namespace dpal {

// The full Win32 path of the running image. False when it cannot be had or needs 260 units or
// more; `path` is then unspecified.
inline bool GetOwnImagePath(WCHAR (&path)[kPathUnits]) {
  DWORD size = kPathUnits;
  return QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size) && size < kPathUnits;
}

}  // namespace dpal
