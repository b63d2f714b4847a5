// The client side of the service control manager (advapi32): opening, creating, querying,
// configuring, starting, controlling and deleting services.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/services/internal.h"
#include "platform/sim/services/scm.h"

namespace sim {
using namespace scm;  // the database's names, shared by the services area's files
}  // namespace sim

using namespace sim;

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                           DWORD dwDesiredAccess) {
  if (DWORD e = SIM_ENTER(lpMachineName, lpDatabaseName, dwDesiredAccess)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  if (lpMachineName != nullptr && *lpMachineName != 0) {
    return Fail<SC_HANDLE>(RPC_S_SERVER_UNAVAILABLE, nullptr);  // no other machines
  }
  if (lpDatabaseName != nullptr && *lpDatabaseName != 0) {
    if (std::wcscmp(lpDatabaseName, SERVICES_FAILED_DATABASEW) == 0) {
      return Fail<SC_HANDLE>(ERROR_DATABASE_DOES_NOT_EXIST, nullptr);
    }
    if (std::wcscmp(lpDatabaseName, SERVICES_ACTIVE_DATABASEW) != 0) {
      return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
    }
  }
  Lock lock(MachineLock());
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kScmMapping, kScmUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  granted |= SC_MANAGER_CONNECT;  // implied by opening the manager at all
  return reinterpret_cast<SC_HANDLE>(AddHandleLocked(std::make_shared<ScManagerObject>(), granted));
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                         DWORD dwDesiredAccess) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hSCManager), lpServiceName, dwDesiredAccess)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  Lock lock(MachineLock());
  if (!LookupAsLocked<ScManagerObject>(H(hSCManager))) {
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  }
  if (lpServiceName == nullptr) return Fail<SC_HANDLE>(ERROR_INVALID_ADDRESS, nullptr);
  if (!ValidServiceName(lpServiceName)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  auto entry = FindLocked(lpServiceName);
  if (!entry) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kServiceMapping, kServiceUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  return NewServiceHandleLocked(entry, granted);
}

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                           LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                                           DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                           LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                           LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                           LPCWSTR lpPassword) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hSCManager), lpServiceName, lpDisplayName,
                          dwDesiredAccess, dwServiceType, dwStartType, dwErrorControl,
                          lpBinaryPathName)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  (void)lpPassword;  // accounts have no passwords in the simulated machine
  Lock lock(MachineLock());
  if (!LookupAsLocked<ScManagerObject>(H(hSCManager))) {
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  }
  if ((HandleAccessLocked(H(hSCManager)) & SC_MANAGER_CREATE_SERVICE) == 0) {
    return Fail<SC_HANDLE>(ERROR_ACCESS_DENIED, nullptr);
  }
  if (lpServiceName == nullptr) return Fail<SC_HANDLE>(ERROR_INVALID_ADDRESS, nullptr);
  if (!ValidServiceName(lpServiceName)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  if (lpBinaryPathName == nullptr || *lpBinaryPathName == 0 || !ValidServiceType(dwServiceType) ||
      !ValidStartType(dwStartType, dwServiceType) || !ValidErrorControl(dwErrorControl) ||
      lpdwTagId != nullptr) {
    return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  if (auto existing = FindLocked(lpServiceName)) {
    return Fail<SC_HANDLE>(
        existing->marked_for_delete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
        nullptr);
  }
  const std::wstring display =
      (lpDisplayName != nullptr && *lpDisplayName != 0) ? lpDisplayName : lpServiceName;
  if (DisplayNameTakenLocked(display, nullptr)) {
    return Fail<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);
  }
  ACCESS_MASK granted = 0;
  if (DWORD e = GrantLocked(dwDesiredAccess, kServiceMapping, kServiceUserAccess, &granted)) {
    return Fail<SC_HANDLE>(e, nullptr);
  }
  auto entry = std::make_shared<ServiceEntry>();
  entry->name = lpServiceName;
  entry->display_name = display;
  entry->image_path = lpBinaryPathName;
  entry->load_order_group = lpLoadOrderGroup ? lpLoadOrderGroup : L"";
  entry->dependencies = ParseMultiString(lpDependencies);
  entry->account = (lpServiceStartName != nullptr && *lpServiceStartName != 0)
                       ? lpServiceStartName
                       : std::wstring(L"LocalSystem");
  entry->service_type = dwServiceType;
  entry->start_type = dwStartType;
  entry->error_control = dwErrorControl;
  entry->status = NeverStarted(dwServiceType);
  Database().services.push_back(entry);
  return NewServiceHandleLocked(entry, granted);
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (DWORD e = SIM_ENTER_RELEASE(static_cast<const void*>(hSCObject))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  return CloseHandleOfKindsLocked(H(hSCObject), {&ScManagerObject::kKind, &ServiceObject::kKind});
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, DELETE, &entry)) return Fail<BOOL>(e, FALSE);
  if (entry->marked_for_delete) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  entry->marked_for_delete = true;
  MaybeRemoveLocked(entry);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService,
                                           LPQUERY_SERVICE_CONFIGW lpServiceConfig, DWORD cbBufSize,
                                           LPDWORD pcbBytesNeeded) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService),
                          static_cast<const void*>(lpServiceConfig), cbBufSize, pcbBytesNeeded)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_CONFIG, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (pcbBytesNeeded == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);

  // The strings follow the structure in the caller's buffer, each with its terminator. The
  // dependencies are a multi-string: every entry ends with a NUL and the list with one more (an
  // empty list is that one NUL).
  std::wstring dependencies;
  for (const auto& dependency : entry->dependencies) dependencies += dependency + L'\0';
  dependencies.push_back(L'\0');
  auto terminated = [](const std::wstring& text) { return text + L'\0'; };
  const std::wstring blocks[] = {terminated(entry->image_path), terminated(entry->load_order_group),
                                 dependencies, terminated(entry->account),
                                 terminated(entry->display_name)};
  size_t units = 0;
  for (const std::wstring& block : blocks) units += block.size();
  const size_t needed = sizeof(QUERY_SERVICE_CONFIGW) + units * sizeof(WCHAR);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (cbBufSize < needed) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (lpServiceConfig == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);

  WCHAR* cursor = reinterpret_cast<WCHAR*>(lpServiceConfig + 1);
  LPWSTR placed[5];
  for (size_t i = 0; i < 5; ++i) {
    placed[i] = cursor;
    cursor = std::copy(blocks[i].begin(), blocks[i].end(), cursor);
  }
  lpServiceConfig->dwServiceType = entry->service_type;
  lpServiceConfig->dwStartType = entry->start_type;
  lpServiceConfig->dwErrorControl = entry->error_control;
  lpServiceConfig->dwTagId = 0;
  lpServiceConfig->lpBinaryPathName = placed[0];
  lpServiceConfig->lpLoadOrderGroup = placed[1];
  lpServiceConfig->lpDependencies = placed[2];
  lpServiceConfig->lpServiceStartName = placed[3];
  lpServiceConfig->lpDisplayName = placed[4];
  return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType,
                                            DWORD dwStartType, DWORD dwErrorControl,
                                            LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                            LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                            LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                            LPCWSTR lpDisplayName) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwServiceType, dwStartType,
                          dwErrorControl, lpBinaryPathName, lpLoadOrderGroup,
                          static_cast<const void*>(lpdwTagId), lpDependencies, lpServiceStartName,
                          static_cast<const void*>(lpPassword), lpDisplayName)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_CHANGE_CONFIG, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (entry->marked_for_delete) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  const DWORD type = dwServiceType == SERVICE_NO_CHANGE ? entry->service_type : dwServiceType;
  const DWORD start = dwStartType == SERVICE_NO_CHANGE ? entry->start_type : dwStartType;
  const DWORD error_control =
      dwErrorControl == SERVICE_NO_CHANGE ? entry->error_control : dwErrorControl;
  if (!ValidServiceType(type) || !ValidStartType(start, type) ||
      !ValidErrorControl(error_control) || lpdwTagId != nullptr ||
      (lpBinaryPathName != nullptr && *lpBinaryPathName == 0)) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (lpDisplayName != nullptr && *lpDisplayName != 0 &&
      DisplayNameTakenLocked(lpDisplayName, entry.get())) {
    return Fail<BOOL>(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
  }
  entry->service_type = type;
  entry->start_type = start;
  entry->error_control = error_control;
  if (lpBinaryPathName != nullptr) entry->image_path = lpBinaryPathName;
  if (lpLoadOrderGroup != nullptr) entry->load_order_group = lpLoadOrderGroup;
  if (lpDependencies != nullptr) entry->dependencies = ParseMultiString(lpDependencies);
  if (lpServiceStartName != nullptr && *lpServiceStartName != 0) {
    entry->account = lpServiceStartName;
  }
  if (lpDisplayName != nullptr && *lpDisplayName != 0) entry->display_name = lpDisplayName;
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService),
                          static_cast<const void*>(lpServiceStatus))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_STATUS, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (lpServiceStatus == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  *lpServiceStatus = PlainStatusOf(*entry);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel,
                                            LPBYTE lpBuffer, DWORD cbBufSize,
                                            LPDWORD pcbBytesNeeded) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), static_cast<int>(InfoLevel),
                          static_cast<const void*>(lpBuffer), cbBufSize, pcbBytesNeeded)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail<BOOL>(ERROR_INVALID_LEVEL, FALSE);
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_QUERY_STATUS, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (pcbBytesNeeded == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  if (lpBuffer == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  const SERVICE_STATUS_PROCESS status = StatusOf(*entry);
  std::memcpy(lpBuffer, &status, sizeof(status));
  return TRUE;
}

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                                     LPCWSTR* lpServiceArgVectors) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwNumServiceArgs,
                          static_cast<const void*>(lpServiceArgVectors))) {
    return Fail<BOOL>(e, FALSE);
  }
  if (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::vector<std::wstring> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (lpServiceArgVectors[i] == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    args.emplace_back(lpServiceArgVectors[i]);
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, SERVICE_START, &entry)) {
    return Fail<BOOL>(e, FALSE);
  }
  if (DWORD e = StartLocked(lock, entry, args)) return Fail<BOOL>(e, FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl,
                                      LPSERVICE_STATUS lpServiceStatus) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(hService), dwControl,
                          static_cast<const void*>(lpServiceStatus))) {
    return Fail<BOOL>(e, FALSE);
  }
  // Only these can be sent by a program; the system alone sends the others.
  ACCESS_MASK needed = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: needed = SERVICE_PAUSE_CONTINUE; break;
    default:
      if (dwControl < 128 || dwControl > 255) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
      needed = SERVICE_USER_DEFINED_CONTROL;
  }
  Lock lock(MachineLock());
  std::shared_ptr<ServiceEntry> entry;
  if (DWORD e = ServiceOfHandleLocked(hService, needed, &entry)) return Fail<BOOL>(e, FALSE);
  if (lpServiceStatus == nullptr) return Fail<BOOL>(ERROR_INVALID_ADDRESS, FALSE);
  if (DWORD e = DeliverLocked(lock, entry, dwControl, 0, {}, lpServiceStatus)) {
    return Fail<BOOL>(e, FALSE);
  }
  return TRUE;
}
