// The thin shell between the service control manager and the main controller: the process
// entry with its dispatcher table, ServiceMain with its fixed status reports, the control
// handler, and the switch to demand start on a machine that does not qualify.
#pragma once

#include "platform/win32.h"

namespace dpal {

// The service program's entry: runs the dispatcher and answers the process exit code, 0
// whatever happened (started outside the service control manager, the dispatcher fails at once
// and so does nothing).
//
// Every program of the package has such an entry in its library, `int Run<Program>Process(...)`,
// taking what the program gets from the system (its command line) and answering its exit code.
// The program's wWinMain only forwards to it, so whatever runs the program runs this entry.
int RunServiceProcess();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                   LPVOID context);

// Puts the service's process-wide state (status handle, stop request, "stopped" reported, the
// main controller) back to that of a process that has just begun, for a host that runs several
// service processes one after another inside one process. The service never calls it: on
// Windows every start is a new process. The old controller is left, never destroyed, to
// whatever thread still uses it.
void ResetServiceProcessStateForTesting();

// Passes a control code and its event type to the main controller. True when the controller
// took the call; false when there is no controller or the call threw.
bool ForwardServiceControl(DWORD control, DWORD event_type);

// Turns an automatic start into a demand start; any other start type is left as it is.
// Always true: nothing depends on the outcome.
bool SwitchToDemandStart();

}  // namespace dpal
