// TarvexDPALUninstaller.exe: a program of the GUI subsystem that never shows a window and runs on
// one thread. The entry point only forwards to the program's entry in its library.
#include "uninstaller/flow.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  return dpal::uninstaller::RunUninstallerProcess();
}
