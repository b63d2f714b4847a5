// The test side of the registry: users' hives as logons load them.
#pragma once

#include <string>

#include "platform/sim/registry/winreg.h"

namespace sim {

// ----- Registry -----------------------------------------------------------------------------

// Loads an empty hive for a user under HKEY_USERS\<sid>, as a logon does.
void LoadUserHive(const std::wstring& sid);
// Unloads a hive that LoadUserHive loaded, as a logoff does; false while a key handle into it is
// open or when it is not loaded.
bool UnloadUserHive(const std::wstring& sid);
// Whether a hive is mounted at HKEY_USERS\<name> or HKEY_LOCAL_MACHINE\<name> (`root` is one of
// the two): the system's own, users' hives and those RegLoadKeyW loaded.
bool IsHiveLoaded(HKEY root, const std::wstring& name);

}  // namespace sim
