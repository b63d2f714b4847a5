// The machine's core: lock, handle table, last error, the entry hook with its trace and fault
// injection, local memory, named events, the file store, Reset and the leak check.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>
#include <thread>

#include "platform/sim/internal.h"

namespace sim {
namespace {

struct HandleEntry {
  std::shared_ptr<Object> object;
  ACCESS_MASK access;
};

struct HandleTable {
  std::map<uintptr_t, HandleEntry> objects;
  uintptr_t next = 0x100;
};

struct FaultRule {
  enum class Mode { Always, Nth, Predicate, NthAny } mode;
  std::string function;
  uint64_t remaining = 0;  // for Nth and NthAny: calls left before the one that fails
  std::function<bool(const Call&)> predicate;
  DWORD error = 0;
  bool spent = false;
};

struct Machine {
  HandleTable handles;
  std::map<std::wstring, std::weak_ptr<Event>> named_events;
  // Events created through CreateMachineEvent live as long as the machine keeps them.
  std::map<std::wstring, std::shared_ptr<Event>> machine_events;
  std::map<void*, size_t> local_allocations;
  std::map<void*, std::string> blocks;
  std::map<std::wstring, FileNode> files;
  int loaded_hives = 0;
  int loaded_profiles = 0;
};

Machine& M() {
  static Machine* machine = new Machine();  // never destroyed: detached threads may outlive main
  return *machine;
}

// Trace and faults have a lock of their own, so that the hook never needs the machine lock.
struct Hooks {
  std::mutex lock;
  std::vector<FaultRule> rules;
  uint64_t fired = 0;
  bool recording = false;
  std::vector<Call> trace;
  std::map<std::string, uint64_t> counts;
  uint64_t total = 0;
  std::function<void(const Call&)> sink;
};

Hooks& T() {
  static Hooks* hooks = new Hooks();
  return *hooks;
}

thread_local DWORD t_last_error = 0;

// Functions that release what another call handed out. The sweeps that fail "any n-th call"
// pass over them: a release that fails would only turn an injected fault into a leak that no
// caller could have avoided. Named faults can still target them.
bool IsRelease(const std::string& function) {
  static const std::set<std::string> releases = {
      "CloseHandle",        "RegCloseKey",          "LocalFree",
      "CloseServiceHandle", "SetupDiDestroyDeviceInfoList", "WTSFreeMemory",
      "DestroyEnvironmentBlock", "UnloadUserProfile", "RevertToSelf",
      "CryptDestroyHash",   "CryptReleaseContext",  "RegUnLoadKeyW",
      "CertFreeCertificateContext", "FreeLibrary",
  };
  return releases.count(function) != 0;
}

uint64_t ThreadNumber() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t mine = next++;
  return mine;
}

}  // namespace

std::mutex& MachineLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

std::condition_variable& MachineSignal() {
  static std::condition_variable* signal = new std::condition_variable();
  return *signal;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Event: return "event";
    case Kind::Key: return "key";
    case Kind::File: return "file";
    case Kind::Token: return "token";
    case Kind::Process: return "process";
    case Kind::Thread: return "thread";
    case Kind::ScManager: return "sc-manager";
    case Kind::Service: return "service";
    case Kind::DevInfo: return "device-info-set";
    case Kind::CryptProv: return "crypt-provider";
    case Kind::CryptHash: return "crypt-hash";
    case Kind::Other: return "other";
  }
  return "?";
}

void SignalLocked(Event& event) {
  event.signaled = true;
  MachineSignal().notify_all();
}

uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access) {
  auto& table = M().handles;
  uintptr_t handle = table.next;
  table.next += 4;
  table.objects.emplace(handle, HandleEntry{std::move(object), access});
  return handle;
}

std::shared_ptr<Object> LookupLocked(uintptr_t handle) {
  auto& objects = M().handles.objects;
  auto it = objects.find(handle);
  return it == objects.end() ? nullptr : it->second.object;
}

ACCESS_MASK HandleAccessLocked(uintptr_t handle) {
  auto& objects = M().handles.objects;
  auto it = objects.find(handle);
  return it == objects.end() ? 0 : it->second.access;
}

bool RemoveHandleLocked(uintptr_t handle) {
  auto& objects = M().handles.objects;
  auto it = objects.find(handle);
  if (it == objects.end()) return false;
  std::shared_ptr<Object> object = std::move(it->second.object);
  objects.erase(it);
  object->OnHandleClosed(handle);
  return true;
}

std::shared_ptr<Event> FindNamedEventLocked(const std::wstring& name) {
  auto& named = M().named_events;
  auto it = named.find(Upper(name));
  if (it == named.end()) return nullptr;
  auto event = it->second.lock();
  if (!event) named.erase(it);
  return event;
}

void AddNamedEventLocked(const std::wstring& name, const std::shared_ptr<Event>& event) {
  M().named_events[Upper(name)] = event;
}

// ----- Entry hook -------------------------------------------------------------------------------

DWORD Enter(const char* function, std::wstring args) {
  Hooks& hooks = T();
  Call call{function, std::move(args), ThreadNumber()};
  std::function<void(const Call&)> sink;
  DWORD error = 0;
  {
    std::lock_guard<std::mutex> guard(hooks.lock);
    ++hooks.total;
    ++hooks.counts[call.function];
    for (FaultRule& rule : hooks.rules) {
      if (rule.spent) continue;
      bool fire = false;
      switch (rule.mode) {
        case FaultRule::Mode::Always:
          fire = rule.function == call.function;
          break;
        case FaultRule::Mode::Predicate:
          fire = rule.function == call.function && rule.predicate(call);
          break;
        case FaultRule::Mode::Nth:
          if (rule.function == call.function && --rule.remaining == 0) {
            fire = true;
            rule.spent = true;
          }
          break;
        case FaultRule::Mode::NthAny:
          if (!IsRelease(call.function) && --rule.remaining == 0) {
            fire = true;
            rule.spent = true;
          }
          break;
      }
      if (fire && error == 0) {
        error = rule.error;
        ++hooks.fired;
      }
    }
    if (hooks.recording) hooks.trace.push_back(call);
    sink = hooks.sink;
  }
  if (sink) sink(call);
  return error;
}

std::wstring ArgText(const wchar_t* s) {
  if (s == nullptr) return L"NULL";
  return L"\"" + std::wstring(s) + L"\"";
}

std::wstring ArgText(HKEY key) {
  switch (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key))) {
    case 0x80000000u: return L"HKCR";
    case 0x80000001u: return L"HKCU";
    case 0x80000002u: return L"HKLM";
    case 0x80000003u: return L"HKU";
    default: return ArgText(static_cast<const void*>(key));
  }
}

std::wstring ArgText(const void* p) {
  if (p == nullptr) return L"NULL";
  std::wostringstream out;
  out << L"0x" << std::hex << reinterpret_cast<uintptr_t>(p);
  return out.str();
}

void FailAlways(const std::string& function, DWORD error) {
  std::lock_guard<std::mutex> guard(T().lock);
  T().rules.push_back({FaultRule::Mode::Always, function, 0, nullptr, error});
}

void FailNth(const std::string& function, uint64_t n, DWORD error) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(T().lock);
  T().rules.push_back({FaultRule::Mode::Nth, function, n, nullptr, error});
}

void FailIf(const std::string& function, std::function<bool(const Call&)> predicate, DWORD error) {
  std::lock_guard<std::mutex> guard(T().lock);
  T().rules.push_back({FaultRule::Mode::Predicate, function, 0, std::move(predicate), error});
}

void FailNthAny(uint64_t n, DWORD error) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(T().lock);
  T().rules.push_back({FaultRule::Mode::NthAny, "", n, nullptr, error});
}

void ClearFaults() {
  std::lock_guard<std::mutex> guard(T().lock);
  T().rules.clear();
  T().fired = 0;
}

uint64_t FaultsFired() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().fired;
}

void RecordTrace(bool on) {
  std::lock_guard<std::mutex> guard(T().lock);
  T().recording = on;
}

std::vector<Call> Trace() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().trace;
}

void ClearTrace() {
  std::lock_guard<std::mutex> guard(T().lock);
  T().trace.clear();
  T().counts.clear();
  T().total = 0;
}

uint64_t CallCount() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().total;
}

uint64_t CallCount(const std::string& function) {
  std::lock_guard<std::mutex> guard(T().lock);
  auto it = T().counts.find(function);
  return it == T().counts.end() ? 0 : it->second;
}

void SetTraceSink(std::function<void(const Call&)> sink) {
  std::lock_guard<std::mutex> guard(T().lock);
  T().sink = std::move(sink);
}

// ----- Text -------------------------------------------------------------------------------------

std::wstring Upper(const std::wstring& s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) { return Upper(a) == Upper(b); }

// ----- Files ------------------------------------------------------------------------------------

std::wstring FileKey(const std::wstring& path) {
  std::wstring out;
  out.reserve(path.size());
  for (wchar_t c : path) {
    if (c == L'/') c = L'\\';
    if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
    out.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))));
  }
  while (out.size() > 3 && out.back() == L'\\') out.pop_back();
  return out;
}

// The store's test-facing side and the file functions live in files.cpp.
std::map<std::wstring, FileNode>& FilesLocked() { return M().files; }

// ----- Machine events -----------------------------------------------------------------------------

void CreateMachineEvent(const std::wstring& name, bool manual_reset, bool signaled) {
  Lock lock(MachineLock());
  auto event = FindNamedEventLocked(name);
  if (!event) {
    event = std::make_shared<Event>(manual_reset, signaled);
    event->name = name;
    AddNamedEventLocked(name, event);
  }
  M().machine_events[Upper(name)] = event;
}

void SetMachineEvent(const std::wstring& name) {
  Lock lock(MachineLock());
  if (auto event = FindNamedEventLocked(name)) SignalLocked(*event);
}

void RemoveMachineEvent(const std::wstring& name) {
  Lock lock(MachineLock());
  M().machine_events.erase(Upper(name));
}

void* AllocateBlockLocked(const char* kind, size_t bytes) {
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p) M().blocks[p] = kind;
  return p;
}

bool FreeBlockLocked(void* block, const char* kind) {
  auto it = M().blocks.find(block);
  if (it == M().blocks.end() || it->second != kind) return false;
  M().blocks.erase(it);
  std::free(block);
  return true;
}

int& LoadedHiveCountLocked() { return M().loaded_hives; }
int& LoadedProfileCountLocked() { return M().loaded_profiles; }

void* LocalAllocLocked(size_t bytes) {
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p) M().local_allocations[p] = bytes;
  return p;
}

// ----- Reset and leaks ----------------------------------------------------------------------------

void Reset() {
  {
    Lock lock(MachineLock());
    Machine& m = M();
    m.handles.objects.clear();
    m.named_events.clear();
    m.machine_events.clear();
    for (auto& [p, size] : m.local_allocations) std::free(p);
    m.local_allocations.clear();
    for (auto& [p, kind] : m.blocks) std::free(p);
    m.blocks.clear();
    m.files.clear();
    m.loaded_hives = 0;
    m.loaded_profiles = 0;
    ResetSecurityLocked();
    ResetRegistryLocked();
    ResetFilesLocked();
    ResetCryptoLocked();
    ResetServicesLocked();
    ResetDevicesLocked();
    ResetSessionsLocked();
    ResetProcessesLocked();
    ResetTrustLocked();
    ResetDisplaysLocked();
    ResetModulesLocked();
    ResetColourLocked();  // registers mscms.dll with the loader
  }
  ClearFaults();
  ClearTrace();
  RecordTrace(false);
  SetTraceSink(nullptr);
  t_last_error = 0;
}

bool LeakReport::Clean() const {
  for (const auto& [kind, count] : open_handles) {
    if (count != 0) return false;
  }
  return local_allocations == 0 && loaded_hives == 0 && loaded_profiles == 0 &&
         impersonating_threads == 0;
}

std::string LeakReport::Describe() const {
  std::ostringstream out;
  for (const auto& [kind, count] : open_handles) {
    if (count != 0) out << count << " open " << kind << " handle(s); ";
  }
  if (local_allocations) out << local_allocations << " LocalAlloc block(s); ";
  if (loaded_hives) out << loaded_hives << " loaded hive(s); ";
  if (loaded_profiles) out << loaded_profiles << " loaded profile(s); ";
  if (impersonating_threads) out << impersonating_threads << " impersonating thread(s); ";
  std::string text = out.str();
  return text.empty() ? "nothing leaked" : text;
}

LeakReport Leaks() {
  Lock lock(MachineLock());
  LeakReport report;
  for (const auto& [handle, entry] : M().handles.objects) {
    ++report.open_handles[KindName(entry.object->kind)];
  }
  report.local_allocations = static_cast<int>(M().local_allocations.size());
  for (const auto& [p, kind] : M().blocks) ++report.open_handles[kind];
  report.loaded_hives = M().loaded_hives;
  report.loaded_profiles = M().loaded_profiles;
  SecurityLeaksLocked(report);
  RegistryLeaksLocked(report);
  ProcessesLeaksLocked(report);
  TrustLeaksLocked(report);
  ModulesLeaksLocked(report);
  return report;
}

int OpenHandleCount(const std::string& kind) {
  Lock lock(MachineLock());
  int count = 0;
  for (const auto& [handle, entry] : M().handles.objects) {
    if (kind == KindName(entry.object->kind)) ++count;
  }
  return count;
}

}  // namespace sim

// ----- Win32: last error, handles, local memory ----------------------------------------------------

using namespace sim;

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (DWORD e = Enter("CloseHandle", Args(hObject))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  auto object = LookupLocked(H(hObject));
  // Keys, SC handles, device sets and crypto objects have closers of their own.
  if (!object || object->kind == Kind::Key || object->kind == Kind::ScManager ||
      object->kind == Kind::Service || object->kind == Kind::DevInfo ||
      object->kind == Kind::CryptProv || object->kind == Kind::CryptHash) {
    return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  RemoveHandleLocked(H(hObject));
  return TRUE;
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (DWORD e = Enter("LocalAlloc", Args(uFlags, uBytes))) return Fail(e, nullptr);
  if ((uFlags & ~static_cast<UINT>(LPTR)) != 0) {
    // Only fixed memory is simulated; movable blocks are not used by the package.
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* p = std::malloc(uBytes == 0 ? 1 : uBytes);
  if (p == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  if (uFlags & LMEM_ZEROINIT) std::memset(p, 0, uBytes == 0 ? 1 : uBytes);
  Lock lock(MachineLock());
  M().local_allocations[p] = uBytes;
  return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (DWORD e = Enter("LocalFree", Args(hMem))) return Fail(e, hMem);
  if (hMem == nullptr) return nullptr;
  Lock lock(MachineLock());
  auto it = M().local_allocations.find(hMem);
  if (it == M().local_allocations.end()) return Fail(ERROR_INVALID_HANDLE, hMem);
  M().local_allocations.erase(it);
  std::free(hMem);
  return nullptr;
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(-1); }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(-2); }
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return 4242; }

// ----- Releases of handle kinds whose areas live elsewhere ------------------------------------------

namespace {

BOOL CloseOfKind(HANDLE handle, std::initializer_list<Kind> kinds) {
  Lock lock(MachineLock());
  auto object = LookupLocked(H(handle));
  if (object) {
    for (Kind kind : kinds) {
      if (object->kind == kind) {
        RemoveHandleLocked(H(handle));
        return TRUE;
      }
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (DWORD e = Enter("CloseServiceHandle", Args(static_cast<const void*>(hSCObject)))) {
    return Fail(e, FALSE);
  }
  return CloseOfKind(hSCObject, {Kind::ScManager, Kind::Service});
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (DWORD e = Enter("SetupDiDestroyDeviceInfoList", Args(DeviceInfoSet))) return Fail(e, FALSE);
  return CloseOfKind(DeviceInfoSet, {Kind::DevInfo});
}

extern "C" void WINAPI WTSFreeMemory(PVOID pMemory) {
  Enter("WTSFreeMemory", Args(pMemory));
  if (pMemory == nullptr) return;
  Lock lock(MachineLock());
  FreeBlockLocked(pMemory, "wts-memory");
}

extern "C" BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment) {
  if (DWORD e = Enter("DestroyEnvironmentBlock", Args(lpEnvironment))) return Fail(e, FALSE);
  Lock lock(MachineLock());
  if (!FreeBlockLocked(lpEnvironment, "environment-block")) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  return TRUE;
}
