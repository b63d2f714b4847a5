// exit_with.exe: the child program of the process conformance tests (windows build only), a
// windowless program like the package's.
#include "tests/conformance/exit_with.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return static_cast<int>(dpal::test::ExitWithMain(GetCommandLineW()));
}
