// Counted, zero-filled allocation: every table the module builds from a
// count in a file is taken here, so the log shows its size and the running
// total. Safe to use from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace mirad {

// A request of 0 bytes fails like an exhausted heap; callers never ask for 0.
void* AllocateZeroed(size_t size);
void FreeBlock(void* block);

int32_t AllocatedTotal();
void ResetAllocationCounter();

// The standard allocator interface over AllocateZeroed: a vector sized once
// with it costs one counted, logged allocation. An exhausted heap throws
// std::bad_alloc after the allocator has logged it.
template <typename T>
struct CountedAllocator {
    using value_type = T;
    CountedAllocator() = default;
    template <typename U>
    CountedAllocator(const CountedAllocator<U>&) {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* block = AllocateZeroed(n * sizeof(T));
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* p, size_t) { FreeBlock(p); }
    template <typename U>
    bool operator==(const CountedAllocator<U>&) const { return true; }
    template <typename U>
    bool operator!=(const CountedAllocator<U>&) const { return false; }
};

template <typename T>
using CountedVector = std::vector<T, CountedAllocator<T>>;

// One object taken through AllocateZeroed; null when the heap is exhausted.
struct CountedDelete {
    template <typename T>
    void operator()(T* p) const {
        p->~T();
        FreeBlock(p);
    }
};
template <typename T>
using CountedPtr = std::unique_ptr<T, CountedDelete>;

template <typename T, typename... Args>
CountedPtr<T> MakeCounted(Args&&... args) {
    void* block = AllocateZeroed(sizeof(T));
    if (!block) return nullptr;
    try {
        return CountedPtr<T>(new (block) T(std::forward<Args>(args)...));
    } catch (...) {
        FreeBlock(block);
        throw;
    }
}

}  // namespace mirad
