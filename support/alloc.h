// Counted, zero-filled allocation. Blocks are released with FreeBlock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirad {

// A request of 0 bytes fails like an exhausted heap; callers never ask for 0.
void* AllocateZeroed(size_t size);
void FreeBlock(void* block);

int32_t AllocatedTotal();
void ResetAllocationCounter();

}  // namespace mirad
