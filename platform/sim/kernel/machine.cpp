// The kernel's machine: the lock, thread numbers, the handle table, memory blocks, local memory,
// the last error, the kernel's part of Reset and the leak check, and the handle functions.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/memory.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/kernel/processes.h"

namespace sim {
namespace {

struct HandleEntry {
  std::shared_ptr<Object> object;
  ACCESS_MASK access;
  uint64_t owner;  // the process whose end closes it (0: the host's)
};

struct Block {
  std::string kind;  // empty for LocalAlloc memory
  uint64_t owner;
};

struct HandleTable {
  std::map<uintptr_t, HandleEntry> objects;
  uintptr_t next = 0x100;
};

// What the kernel hands out: handles, blocks of platform memory and LocalAlloc memory. Never
// destroyed: detached threads may outlive main.
struct KernelState {
  HandleTable handles;
  std::map<void*, Block> local_allocations;
  std::map<void*, Block> blocks;
};

KernelState& Kernel() {
  static KernelState* state = new KernelState();
  return *state;
}

thread_local DWORD t_last_error = 0;

}  // namespace

std::mutex& MachineLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

std::condition_variable& MachineSignal() {
  static std::condition_variable* signal = new std::condition_variable();
  return *signal;
}

uint64_t ThreadNumber() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t mine = next++;
  return mine;
}

void SignalLocked(Event& event) {
  event.signaled = true;
  MachineSignal().notify_all();
}

// ----- Handle table ---------------------------------------------------------------------------

uintptr_t AddHandleLocked(std::shared_ptr<Object> object, ACCESS_MASK access) {
  auto& table = Kernel().handles;
  uintptr_t handle = table.next;
  table.next += 4;
  table.objects.emplace(handle, HandleEntry{std::move(object), access, CurrentProcessId()});
  return handle;
}

std::shared_ptr<Object> LookupLocked(uintptr_t handle) {
  auto& objects = Kernel().handles.objects;
  auto it = objects.find(handle);
  return it == objects.end() ? nullptr : it->second.object;
}

ACCESS_MASK HandleAccessLocked(uintptr_t handle) {
  auto& objects = Kernel().handles.objects;
  auto it = objects.find(handle);
  return it == objects.end() ? 0 : it->second.access;
}

bool RemoveHandleLocked(uintptr_t handle) {
  auto& objects = Kernel().handles.objects;
  auto it = objects.find(handle);
  if (it == objects.end()) return false;
  std::shared_ptr<Object> object = std::move(it->second.object);
  objects.erase(it);
  object->OnHandleClosed(handle);
  return true;
}

BOOL CloseHandleOfKindsLocked(uintptr_t handle, std::initializer_list<const HandleKind*> kinds) {
  auto object = LookupLocked(handle);
  if (object) {
    for (const HandleKind* kind : kinds) {
      if (&object->kind == kind) {
        RemoveHandleLocked(handle);
        return TRUE;
      }
    }
  }
  return Fail(ERROR_INVALID_HANDLE, FALSE);
}

// ----- Memory blocks ----------------------------------------------------------------------------

void* AllocateBlockLocked(const char* kind, size_t bytes) {
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p) Kernel().blocks[p] = Block{kind, CurrentProcessId()};
  return p;
}

bool FreeBlockLocked(void* block, const char* kind) {
  auto& blocks = Kernel().blocks;
  auto it = blocks.find(block);
  if (it == blocks.end() || it->second.kind != kind) return false;
  blocks.erase(it);
  std::free(block);
  return true;
}

void* LocalAllocLocked(size_t bytes) {
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (p) Kernel().local_allocations[p] = Block{"", CurrentProcessId()};
  return p;
}

// ----- Reset and leaks
// ----------------------------------------------------------------------------

void ResetKernelLocked() {
  KernelState& kernel = Kernel();
  kernel.handles.objects.clear();
  for (auto& [p, block] : kernel.local_allocations) std::free(p);
  kernel.local_allocations.clear();
  for (auto& [p, block] : kernel.blocks) std::free(p);
  kernel.blocks.clear();
}

void KernelLeaksLocked(LeakReport& report) {
  for (const auto& [handle, entry] : Kernel().handles.objects) {
    ++report.open_handles[entry.object->kind.name];
  }
  report.local_allocations = static_cast<int>(Kernel().local_allocations.size());
  for (const auto& [p, block] : Kernel().blocks) ++report.open_handles[block.kind];
}

void KernelProcessEndedLocked(const SimProcess& process) {
  KernelState& kernel = Kernel();
  // Closing a handle can run an object's reaction (a notification fires, a service goes), so
  // the handles are collected first and closed one by one.
  std::vector<uintptr_t> owned;
  for (const auto& [handle, entry] : kernel.handles.objects) {
    if (entry.owner == process.id) owned.push_back(handle);
  }
  for (uintptr_t handle : owned) RemoveHandleLocked(handle);
  for (auto* memory : {&kernel.local_allocations, &kernel.blocks}) {
    for (auto it = memory->begin(); it != memory->end();) {
      if (it->second.owner == process.id) {
        std::free(it->first);
        it = memory->erase(it);
      } else {
        ++it;
      }
    }
  }
}

bool LeakReport::Clean() const {
  for (const auto& [kind, count] : open_handles) {
    if (count != 0) return false;
  }
  return local_allocations == 0 && loaded_hives == 0 && loaded_profiles == 0 &&
         impersonating_threads == 0 && held_at_process_end.empty();
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
  for (const ProcessLeftovers& ended : held_at_process_end) {
    std::string image;
    for (wchar_t c : ended.image) image += c < 0x80 ? static_cast<char>(c) : '?';
    out << "process " << ended.process << " (" << image << ") ended holding";
    for (const auto& [item, count] : ended.items) out << " " << count << " " << item;
    out << "; ";
  }
  std::string text = out.str();
  return text.empty() ? "nothing leaked" : text;
}

int OpenHandleCount(const std::string& kind) {
  Lock lock(MachineLock());
  int count = 0;
  for (const auto& [handle, entry] : Kernel().handles.objects) {
    if (kind == entry.object->kind.name) ++count;
  }
  return count;
}

}  // namespace sim

// ----- Win32: last error, handles, local memory
// ----------------------------------------------------

using namespace sim;

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (DWORD e = SIM_ENTER_RELEASE(hObject)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  auto object = LookupLocked(H(hObject));
  // Keys, SC handles, device sets and crypto objects have closers of their own.
  if (!object || !object->kind.closed_by_close_handle) return Fail(ERROR_INVALID_HANDLE, FALSE);
  RemoveHandleLocked(H(hObject));
  return TRUE;
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (DWORD e = SIM_ENTER(uFlags, uBytes)) return Fail(e, nullptr);
  // Only fixed memory is simulated; movable blocks are not used by the package.
  if ((uFlags & ~static_cast<UINT>(LPTR)) != 0) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  void* p = std::malloc(uBytes == 0 ? 1 : uBytes);
  if (p == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  if (uFlags & LMEM_ZEROINIT) std::memset(p, 0, uBytes == 0 ? 1 : uBytes);
  Lock lock(MachineLock());
  Kernel().local_allocations[p] = Block{"", CurrentProcessId()};
  return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (DWORD e = SIM_ENTER_RELEASE(hMem)) return Fail(e, hMem);
  if (hMem == nullptr) return nullptr;
  Lock lock(MachineLock());
  auto& allocations = Kernel().local_allocations;
  auto it = allocations.find(hMem);
  if (it == allocations.end()) return Fail(ERROR_INVALID_HANDLE, hMem);
  allocations.erase(it);
  std::free(hMem);
  return nullptr;
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(-1); }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(-2); }
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return 4242; }
