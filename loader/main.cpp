// TarvexDPALLoader.exe: a service program of the GUI subsystem that never shows a window. As in
// every program of the package, the entry point only forwards to the program's entry in its
// library (see RunServiceProcess).
#include "loader/service_host.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  return dpal::RunServiceProcess();
}
