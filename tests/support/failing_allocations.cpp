// The global operator new and delete of a test program that fails allocations on demand
// (failing_allocations.h). Allocation goes to malloc, release to free.
#include "tests/support/failing_allocations.h"

#include <cstdlib>
#include <new>

#include "platform/sim/sim.h"

namespace {

thread_local uint64_t t_countdown = 0;  // 0: disarmed
thread_local bool t_failed = false;

// True when this allocation is the one to fail. Only the product's own allocations count: those
// the simulated Windows makes inside a platform call never fail, as a Windows function never
// throws out of the call.
bool FailThisOne() {
  if (t_countdown == 0 || sim::InSimulatedCall()) return false;
  if (--t_countdown > 0) return false;
  t_failed = true;
  return true;
}

void* AllocateOrThrow(std::size_t size) {
  void* block = FailThisOne() ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

namespace dpal::test {

void FailNthAllocation(uint64_t n) {
  t_countdown = n;
  t_failed = false;
}

bool AllocationFailed() { return t_failed; }

}  // namespace dpal::test

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
// The nothrow forms are never failed: their callers (the standard library's temporary buffers)
// go on without the memory, so such a failure would test nothing of the product's.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
