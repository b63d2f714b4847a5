// The service control manager's database: the services with their configuration and status,
// the validation and access rules of its client calls, SC handles, its row of the table of areas
// and the test side of installing and configuring services.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/registry/internal.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/services/internal.h"
#include "platform/sim/services/scm.h"
#include "platform/sim/snapshot.h"

namespace sim {
using namespace scm;  // the database's names, shared by the services area's files
}  // namespace sim

namespace sim::scm {

ServicesDatabase& Database() {
  static ServicesDatabase* scm =
      new ServicesDatabase();  // never destroyed: service threads may outlive main
  return *scm;
}

std::shared_ptr<ServiceEntry> FindLocked(const std::wstring& name) {
  for (const auto& entry : Database().services) {
    if (EqualsNoCase(entry->name, name)) return entry;
  }
  return nullptr;
}

// A deleted service's key under "SYSTEM\CurrentControlSet\Services" goes with it, with
// whatever its program kept there.
void DeleteServiceKeyLocked(const ServiceEntry& entry) {
  DeleteMachineKeyTreeLocked(L"SYSTEM\\CurrentControlSet\\Services\\" + entry.name);
}

// A service marked for deletion leaves the database, and its key with it, once it is stopped
// and unreferenced.
void MaybeRemoveLocked(const std::shared_ptr<ServiceEntry>& entry) {
  if (!entry->marked_for_delete || entry->open_handles > 0 || entry->process) return;
  auto& list = Database().services;
  list.erase(std::remove(list.begin(), list.end(), entry), list.end());
  DeleteServiceKeyLocked(*entry);
}

SERVICE_STATUS NeverStarted(DWORD service_type) {
  SERVICE_STATUS status = {};
  status.dwServiceType = service_type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
  return status;
}

SERVICE_STATUS_PROCESS StatusOf(const ServiceEntry& entry) {
  SERVICE_STATUS_PROCESS out = {};
  out.dwServiceType = entry.service_type;
  out.dwCurrentState = entry.status.dwCurrentState;
  out.dwControlsAccepted = entry.status.dwControlsAccepted;
  out.dwWin32ExitCode = entry.status.dwWin32ExitCode;
  out.dwServiceSpecificExitCode = entry.status.dwServiceSpecificExitCode;
  out.dwCheckPoint = entry.status.dwCheckPoint;
  out.dwWaitHint = entry.status.dwWaitHint;
  out.dwProcessId =
      entry.process && entry.status.dwCurrentState != SERVICE_STOPPED ? entry.process_id : 0;
  out.dwServiceFlags = 0;
  return out;
}

SERVICE_STATUS PlainStatusOf(const ServiceEntry& entry) {
  SERVICE_STATUS_PROCESS full = StatusOf(entry);
  SERVICE_STATUS out;
  out.dwServiceType = full.dwServiceType;
  out.dwCurrentState = full.dwCurrentState;
  out.dwControlsAccepted = full.dwControlsAccepted;
  out.dwWin32ExitCode = full.dwWin32ExitCode;
  out.dwServiceSpecificExitCode = full.dwServiceSpecificExitCode;
  out.dwCheckPoint = full.dwCheckPoint;
  out.dwWaitHint = full.dwWaitHint;
  return out;
}

bool ValidServiceName(const wchar_t* name) {
  size_t length = std::wcslen(name);
  if (length == 0 || length > 256) return false;
  return std::wcschr(name, L'\\') == nullptr && std::wcschr(name, L'/') == nullptr;
}

bool ValidServiceType(DWORD type) {
  const DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if (base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER) {
    return (type & SERVICE_INTERACTIVE_PROCESS) == 0;
  }
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

// Boot and system start are for drivers only.
bool ValidStartType(DWORD start_type, DWORD service_type) {
  if (start_type > SERVICE_DISABLED) return false;
  return start_type > SERVICE_SYSTEM_START || (service_type & SERVICE_DRIVER) != 0;
}

bool ValidErrorControl(DWORD error_control) { return error_control <= SERVICE_ERROR_CRITICAL; }

std::vector<std::wstring> ParseMultiString(const wchar_t* multi) {
  std::vector<std::wstring> out;
  if (multi == nullptr) return out;
  for (const wchar_t* p = multi; *p; p += std::wcslen(p) + 1) out.emplace_back(p);
  return out;
}

// The display name may equal no other service's name or display name.
bool DisplayNameTakenLocked(const std::wstring& display_name, const ServiceEntry* self) {
  for (const auto& entry : Database().services) {
    if (entry.get() == self) continue;
    if (EqualsNoCase(entry->name, display_name) ||
        EqualsNoCase(entry->display_name, display_name)) {
      return true;
    }
  }
  return false;
}

bool Privileged(const Token& token) { return token.administrator || IsSystemSid(token.user_sid); }

// Grants `desired` (generic rights mapped, MAXIMUM_ALLOWED expanded) or answers access denied.
DWORD GrantLocked(ACCESS_MASK desired, const Mapping& mapping, ACCESS_MASK user_access,
                  ACCESS_MASK* granted) {
  const ACCESS_MASK allowed = Privileged(*EffectiveTokenLocked()) ? mapping.all : user_access;
  ACCESS_MASK wanted =
      desired & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                          GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) wanted |= mapping.read;
  if (desired & GENERIC_WRITE) wanted |= mapping.write;
  if (desired & GENERIC_EXECUTE) wanted |= mapping.execute;
  if (desired & GENERIC_ALL) wanted |= mapping.all;
  if (desired & MAXIMUM_ALLOWED) wanted |= allowed;
  if (wanted & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = wanted;
  return NO_ERROR;
}

DWORD ServiceOfHandleLocked(SC_HANDLE handle, ACCESS_MASK needed,
                            std::shared_ptr<ServiceEntry>* entry) {
  auto object = LookupAsLocked<ServiceObject>(H(handle));
  if (!object) return ERROR_INVALID_HANDLE;
  if ((HandleAccessLocked(H(handle)) & needed) != needed) return ERROR_ACCESS_DENIED;
  *entry = object->entry;
  return NO_ERROR;
}

SC_HANDLE NewServiceHandleLocked(const std::shared_ptr<ServiceEntry>& entry, ACCESS_MASK access) {
  return reinterpret_cast<SC_HANDLE>(
      AddHandleLocked(std::make_shared<ServiceObject>(entry), access));
}

// The program file of a service's image path, which may be quoted and carry arguments.
std::wstring ImageOf(const std::wstring& image_path) {
  if (!image_path.empty() && image_path[0] == L'"') {
    const size_t close = image_path.find(L'"', 1);
    return image_path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  }
  const size_t exe = Upper(image_path).find(L".EXE");
  return exe == std::wstring::npos ? image_path : image_path.substr(0, exe + 4);
}

}  // namespace sim::scm

namespace sim {

void SnapshotServicesLocked(Snapshot& out) {
  auto named = [](DWORD value, std::initializer_list<std::pair<DWORD, const char*>> names) {
    for (const auto& [number, name] : names) {
      if (number == value) return std::string(name);
    }
    return std::to_string(value);
  };
  for (const auto& entry : Database().services) {
    const std::string name = Utf8(entry->name);
    std::string registration =
        "image \"" + Utf8(entry->image_path) + "\", account \"" + Utf8(entry->account) +
        "\", type " +
        named(entry->service_type, {{SERVICE_WIN32_OWN_PROCESS, "own process"},
                                    {SERVICE_WIN32_SHARE_PROCESS, "shared process"}}) +
        ", error control " + std::to_string(entry->error_control);
    if (entry->display_name != entry->name) {
      registration += ", display name \"" + Utf8(entry->display_name) + "\"";
    }
    if (!entry->load_order_group.empty()) {
      registration += ", group \"" + Utf8(entry->load_order_group) + "\"";
    }
    if (!entry->dependencies.empty())
      registration += ", depends on " + ListText(entry->dependencies);
    if (entry->marked_for_delete) registration += ", marked for deletion";
    out.Put("services", name, registration);
    out.Put("services", name + " start type",
            named(entry->start_type, {{SERVICE_BOOT_START, "boot"},
                                      {SERVICE_SYSTEM_START, "system"},
                                      {SERVICE_AUTO_START, "auto"},
                                      {SERVICE_DEMAND_START, "demand"},
                                      {SERVICE_DISABLED, "disabled"}}));
    out.Put("services", name + " state",
            named(entry->status.dwCurrentState, {{SERVICE_STOPPED, "stopped"},
                                                 {SERVICE_START_PENDING, "start pending"},
                                                 {SERVICE_STOP_PENDING, "stop pending"},
                                                 {SERVICE_RUNNING, "running"},
                                                 {SERVICE_CONTINUE_PENDING, "continue pending"},
                                                 {SERVICE_PAUSE_PENDING, "pause pending"},
                                                 {SERVICE_PAUSED, "paused"}}));
  }
}

void ResetServicesLocked() {
  // Threads of running service processes cannot be ended; they are cut off from the machine and
  // finish on their own (the dispatcher returns, the status handle stops working).
  for (const auto& entry : Database().services) {
    if (entry->process) entry->process->abandoned = true;
    entry->process = nullptr;
  }
  for (auto& [handle, weak] : Database().status_handles) {
    if (auto process = weak.lock()) process->abandoned = true;
  }
  Database().services.clear();
  Database().status_handles.clear();
  Database().start_timeout = std::chrono::milliseconds(30000);
  Database().control_timeout = std::chrono::milliseconds(30000);
  MachineSignal().notify_all();
}

void InstallService(const ServiceSpec& spec) {
  Lock lock(MachineLock());
  auto entry = FindLocked(spec.name);
  if (!entry) {
    entry = std::make_shared<ServiceEntry>();
    Database().services.push_back(entry);
  }
  entry->name = spec.name;
  entry->display_name = spec.display_name.empty() ? spec.name : spec.display_name;
  entry->image_path = spec.image_path;
  entry->service_type = spec.service_type;
  entry->start_type = spec.start_type;
  entry->error_control = spec.error_control;
  entry->account = spec.account;
  entry->program = spec.program;
  entry->marked_for_delete = false;
  if (!entry->process) entry->status = NeverStarted(spec.service_type);
}

bool SetServiceProgram(const std::wstring& name, ServiceProgram program) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return false;
  entry->program = std::move(program);
  return true;
}

bool ServiceExists(const std::wstring& name) {
  Lock lock(MachineLock());
  return FindLocked(name) != nullptr;
}

DWORD ServiceStartType(const std::wstring& name) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  return entry ? entry->start_type : SERVICE_NO_CHANGE;
}

bool SetServiceStartType(const std::wstring& name, DWORD start_type) {
  Lock lock(MachineLock());
  auto entry = FindLocked(name);
  if (!entry) return false;
  entry->start_type = start_type;
  return true;
}

}  // namespace sim
