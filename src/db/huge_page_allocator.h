#pragma once
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace tallysv {

// An allocator for the index arrays of the database. Arrays of 4 MiB and
// more are placed on 2 MiB boundaries and offered to the kernel for huge
// pages: a lookup among a million accounts then seldom misses the TLB, and
// filling the index costs a few dozen page faults instead of thousands.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t{2} << 20;
    static constexpr size_t kThreshold = size_t{4} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        size_t bytes = n * sizeof(T);
        if (bytes < kThreshold) return static_cast<T*>(::operator new(bytes));
        size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = std::aligned_alloc(kHugePage, rounded);
        if (!memory) throw std::bad_alloc();
        ::madvise(memory, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(memory);
    }

    void deallocate(T* p, size_t n) {
        if (n * sizeof(T) < kThreshold)
            ::operator delete(p);
        else
            std::free(p);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }
};

// Asks the kernel to move these ranges onto huge pages now (MADV_COLLAPSE,
// Linux 6.1; nothing happens on older kernels). A fork copies one
// page-table entry per 2 MiB of such memory instead of 512, and after a fork
// the first write to each 2 MiB costs one fault instead of one per 4 KiB.
// Safe while other threads use the memory; it may take a while, so it is
// called without the transport lock.
inline void gatherIntoHugePages(const std::vector<std::pair<void*, size_t>>& ranges) {
#ifdef MADV_COLLAPSE
    constexpr int kCollapse = MADV_COLLAPSE;
#else
    constexpr int kCollapse = 25;
#endif
    for (const auto& [start, length] : ranges) ::madvise(start, length, kCollapse);
}

}  // namespace tallysv
