// Bounded formatting and copying into fixed WCHAR buffers. The capacity comes from the array
// type, so a 260-unit path buffer cannot be passed with a wrong size. Text that does not fit,
// terminator included, is a failure: the caller gets false and an empty buffer, never a
// truncated path that might name something else.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace dpal {

// The classic path limit: every path, key path and name is built in a buffer of this many
// UTF-16 units, terminator included.
inline constexpr size_t kPathUnits = MAX_PATH;

// Formats printf-style (wide "%s") into out. On failure out holds the empty text.
template <size_t N, typename... Args>
bool Format(WCHAR (&out)[N], const WCHAR* format, Args... args) {
  static_assert(N > 0, "empty buffer");
  if (SUCCEEDED(StringCchPrintfW(out, N, format, args...))) return true;
  out[0] = L'\0';
  return false;
}

// Copies text into out. On failure (text of N units or more) out holds the empty text.
template <size_t N>
bool Copy(WCHAR (&out)[N], const WCHAR* text) {
  static_assert(N > 0, "empty buffer");
  if (SUCCEEDED(StringCchCopyW(out, N, text))) return true;
  out[0] = L'\0';
  return false;
}

}  // namespace dpal
