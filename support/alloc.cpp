// Counted, zero-filled allocation. The total is only an estimate for the
// log: each block counts 16 bytes more for the heap's own bookkeeping, and
// freed blocks are not subtracted.
#include "support/alloc.h"

#include <cstdlib>

#include "support/log.h"

namespace mirad {

namespace {
int32_t g_total = 0;

// Sizes and totals print as the 32-bit numbers they are in the Windows DLL.
int AsLogged(uint64_t value) { return static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(value))); }
}  // namespace

void* AllocateZeroed(size_t size) {
    // A request for nothing is refused like an exhausted heap.
    void* block = size ? std::calloc(1, size) : nullptr;
    if (!block) {
        LogMessage("Out of memory in allocating %d bytes (%d allocated so far)", AsLogged(size), g_total);
        return nullptr;
    }
    // Added without signed overflow; a total past 2 GiB wraps as it would in
    // a 32-bit counter.
    g_total = static_cast<int32_t>(static_cast<uint32_t>(g_total) + static_cast<uint32_t>(size) + 16u);
    LogMessage("Allocating %d bytes (%d allocated now)", AsLogged(size), g_total);
    return block;
}

void FreeBlock(void* block) { std::free(block); }

int32_t AllocatedTotal() { return g_total; }

void ResetAllocationCounter() { g_total = 0; }

}  // namespace mirad
