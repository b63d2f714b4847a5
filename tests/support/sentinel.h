// The value tests put into an output before a call, so that "untouched" can be told from "set":
// a last error, an exit code, a size, a status field.
#pragma once

#include "platform/win32.h"

namespace dpal::test {

constexpr DWORD kSentinel = 0xdeadbeef;

}  // namespace dpal::test
