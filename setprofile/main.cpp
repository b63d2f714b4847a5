// SetDPALProfile.exe: a program of the GUI subsystem that opens no window and writes nothing.
// As in every program of the package, the entry point only forwards to the program's entry in
// its library (RunToolProcess).
#include "setprofile/tool.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int /*show*/) {
  return dpal::setprofile::RunToolProcess();
}
