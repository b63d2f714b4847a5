// What the tests that register scheduled tasks share: a task definition both schedulers (the
// sim's and Wine's) accept, and the empty VARIANT the scheduler's Connect takes four times.
#pragma once

#include "platform/win32.h"

namespace dpal::test {

inline constexpr wchar_t kTaskXml[] =
    L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
    L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
    L"  <Actions Context=\"Author\">\n"
    L"    <Exec><Command>C:\\windows\\system32\\cmd.exe</Command></Exec>\n"
    L"  </Actions>\n"
    L"</Task>\n";

inline VARIANT EmptyVariant() {
  VARIANT v;
  VariantInit(&v);
  return v;
}

}  // namespace dpal::test
