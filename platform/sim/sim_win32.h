// The simulated Windows: the types, constants and functions of the Windows SDK that the package
// uses, declared with their Windows names and implemented in this folder against an in-process
// model of the machine (see sim.h for the side that tests and the scenario runner use).
//
// Each area of the machine has a folder with the headers of the SDK it stands for; this header
// brings them all in, as windows.h and its companions do. Product code includes
// platform/win32.h, which includes this header on Linux.
#pragma once

#include "platform/sim/kernel/windef.h"
#include "platform/sim/kernel/winerror.h"
#include "platform/sim/kernel/winbase.h"
#include "platform/sim/strings/strsafe.h"
#include "platform/sim/security/securitybaseapi.h"
#include "platform/sim/trust/wintrust.h"
#include "platform/sim/registry/winreg.h"
#include "platform/sim/files/fileapi.h"
#include "platform/sim/files/shlobj.h"
#include "platform/sim/crypto/wincrypt.h"
#include "platform/sim/services/winsvc.h"
#include "platform/sim/devices/setupapi.h"
#include "platform/sim/sessions/wtsapi32.h"
#include "platform/sim/sessions/userenv.h"
#include "platform/sim/sessions/processthreadsapi.h"
#include "platform/sim/sessions/shellapi.h"
#include "platform/sim/displays/winuser.h"
#include "platform/sim/colour/icm.h"
#include "platform/sim/modules/libloaderapi.h"
#include "platform/sim/com/objbase.h"
#include "platform/sim/com/taskschd.h"
