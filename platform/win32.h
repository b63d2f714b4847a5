// The one include for Windows declarations. Product code includes this header and nothing else
// from the platform: on Windows it brings in the SDK headers, on Linux the simulated Windows.
#pragma once

#if defined(_WIN32)

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>
#include <winsvc.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <sddl.h>
#include <wtsapi32.h>
#include <userenv.h>
#include <setupapi.h>
#include <initguid.h>
#include <devpkey.h>
#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <icm.h>

#else

#include "platform/sim/sim_win32.h"

#endif
