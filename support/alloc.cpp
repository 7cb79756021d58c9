// Counted, zero-filled allocation. The total is only an estimate for the
// log: each block counts 16 bytes more for the heap's own bookkeeping, and
// freed blocks are not subtracted.
#include "support/alloc.h"

#include <atomic>
#include <cstdlib>

#include "support/log.h"

namespace mirad {

namespace {
// Kept unsigned so a total past 2 GiB wraps as a 32-bit counter would.
std::atomic<uint32_t> g_total{0};

// Sizes and totals print as the 32-bit numbers they are in the Windows DLL.
int AsLogged(uint64_t value) { return static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(value))); }
}  // namespace

void* AllocateZeroed(size_t size) {
    // A request for nothing is refused like an exhausted heap.
    void* block = size ? std::calloc(1, size) : nullptr;
    if (!block) {
        LogMessage("Out of memory in allocating %d bytes (%d allocated so far)", AsLogged(size),
                   AsLogged(g_total.load()));
        return nullptr;
    }
    uint32_t now = g_total.fetch_add(static_cast<uint32_t>(size) + 16u) + static_cast<uint32_t>(size) + 16u;
    LogMessage("Allocating %d bytes (%d allocated now)", AsLogged(size), AsLogged(now));
    return block;
}

void FreeBlock(void* block) { std::free(block); }

int32_t AllocatedTotal() { return static_cast<int32_t>(g_total.load()); }

void ResetAllocationCounter() { g_total.store(0); }

}  // namespace mirad
