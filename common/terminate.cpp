// What a program of the package does when the C++ runtime ends it (an exception nothing catches,
// a noexcept function that throws): the process ends at once, as the crash it is. The runtime's
// own handler would write the exception's demangled type to a console these programs do not
// have, and brings the demangler and formatted output into every file.
#include <exception>

#include "platform/win32.h"

// The runtime's default handler of std::terminate, defined here in the place of libstdc++'s own:
// a program that defines it never links the runtime's (nor the demangler it calls).
namespace __gnu_cxx {

void __verbose_terminate_handler() {
  RaiseFailFastException(nullptr, nullptr, 0);
  __builtin_trap();  // the call above does not return
}

}  // namespace __gnu_cxx
