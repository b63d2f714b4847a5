// pending_service.exe: the service of the control conformance tests (windows build only).
#include "tests/conformance/pending_service.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  return dpal::test::PendingServiceMain(GetCommandLineW());
}
