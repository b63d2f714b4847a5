// The exports of DPALCore.dll: each forwards to the core library's operation, and answers 0 when
// a failure the package contains ends it, so that no exception crosses into the client. Their
// names are fixed by DPALCore.def.
#include "core/dpal_core.h"

#include "common/failure_boundary.h"
#include "core/apply_state.h"
#include "core/profile_operations.h"
#include "core/updater.h"

namespace core = dpal::core;
using dpal::ContainFailure;

extern "C" {

int WINAPI GetDefaultUserProfile(int kind, DWORD capacity, LPWSTR buffer) {
  return ContainFailure(0, [&] { return core::GetDefaultUserProfile(kind, capacity, buffer); });
}

int WINAPI GetDefaultSystemProfile(int kind, DWORD capacity, LPWSTR buffer) {
  return ContainFailure(0, [&] { return core::GetDefaultSystemProfile(kind, capacity, buffer); });
}

int WINAPI SetDefaultColorProfileToPrimaryMonitor(int kind, LPCWSTR name) {
  return ContainFailure(0,
                        [&] { return core::SetDefaultColorProfileToPrimaryMonitor(kind, name); });
}

int WINAPI DisassociateUserColorProfile(int kind, LPCWSTR name) {
  return ContainFailure(0, [&] { return core::DisassociateUserColorProfile(kind, name); });
}

int WINAPI DisassociateSystemColorProfile(int kind, LPCWSTR name) {
  return ContainFailure(0, [&] { return core::DisassociateSystemColorProfile(kind, name); });
}

int WINAPI UninstallICCProfile(int kind, LPCWSTR name) {
  return ContainFailure(0, [&] { return core::UninstallICCProfile(kind, name); });
}

int WINAPI SaveCurrentApplyStatus(int target, DWORD value) {
  return ContainFailure(0, [&] { return core::SaveCurrentApplyStatus(target, value); });
}

int WINAPI SaveUserProfile(LPCWSTR name) {
  return ContainFailure(0, [&] { return core::SaveUserProfile(name); });
}

int WINAPI IsSystemUser() {
  return ContainFailure(0, [&] { return core::IsSystemUser(); });
}

int WINAPI RevertBackToSelf() {
  return ContainFailure(0, [&] { return core::RevertBackToSelf(); });
}

int WINAPI WaitForUsrUpdate() {
  return ContainFailure(0, [&] { return core::WaitForUsrUpdate(); });
}

int WINAPI StopWaitForUsrUpdate() {
  return ContainFailure(0, [&] { return core::StopWaitForUsrUpdate(); });
}

}  // extern "C"
