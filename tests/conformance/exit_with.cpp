// exit_with.exe: the child program of the process conformance tests (windows build only).
#include "tests/conformance/exit_with.h"

int main() { return static_cast<int>(dpal::test::ExitWithMain(GetCommandLineW())); }
