// TarvexDPALLoader.exe: a service program of the GUI subsystem that never shows a window.
#include "loader/service_host.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  return dpal::RunServiceProcess();
}
