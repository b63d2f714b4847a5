// Memory that platform functions hand out to their callers, counted by the leak check.
#pragma once

#include <cstddef>

namespace sim {

// Blocks that a platform function allocates for its caller and a matching function frees
// (WTS memory, environment blocks). They are counted by the leak check under their kind. Like
// handles, blocks and local memory belong to the calling thread's process and go with its end.
void* AllocateBlockLocked(const char* kind, size_t bytes);
// Frees a block of that kind; false when the pointer is not such a block.
bool FreeBlockLocked(void* block, const char* kind);
// Memory handed out as by LocalAlloc (counted by the leak check, freed with LocalFree).
void* LocalAllocLocked(size_t bytes);

}  // namespace sim
