// The exports of DPALCore.dll: each forwards to the core library's operation. Their names are
// fixed by DPALCore.def.
#include "core/dpal_core.h"

#include "core/apply_state.h"
#include "core/profile_operations.h"
#include "core/updater.h"

namespace core = dpal::core;

extern "C" {

int WINAPI GetDefaultUserProfile(int kind, DWORD capacity, LPWSTR buffer) {
  return core::GetDefaultUserProfile(kind, capacity, buffer);
}

int WINAPI GetDefaultSystemProfile(int kind, DWORD capacity, LPWSTR buffer) {
  return core::GetDefaultSystemProfile(kind, capacity, buffer);
}

int WINAPI SetDefaultColorProfileToPrimaryMonitor(int kind, LPCWSTR name) {
  return core::SetDefaultColorProfileToPrimaryMonitor(kind, name);
}

int WINAPI DisassociateUserColorProfile(int kind, LPCWSTR name) {
  return core::DisassociateUserColorProfile(kind, name);
}

int WINAPI DisassociateSystemColorProfile(int kind, LPCWSTR name) {
  return core::DisassociateSystemColorProfile(kind, name);
}

int WINAPI UninstallICCProfile(int kind, LPCWSTR name) {
  return core::UninstallICCProfile(kind, name);
}

int WINAPI SaveCurrentApplyStatus(int target, DWORD value) {
  return core::SaveCurrentApplyStatus(target, value);
}

int WINAPI SaveUserProfile(LPCWSTR name) { return core::SaveUserProfile(name); }

int WINAPI IsSystemUser() { return core::IsSystemUser(); }

int WINAPI RevertBackToSelf() { return core::RevertBackToSelf(); }

int WINAPI WaitForUsrUpdate() { return core::WaitForUsrUpdate(); }

int WINAPI StopWaitForUsrUpdate() { return core::StopWaitForUsrUpdate(); }

}  // extern "C"
