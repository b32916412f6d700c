#pragma once
/// An allocator for large tables read at random: blocks of 2 MiB or more are
/// 2 MiB-aligned and offered to the kernel for huge pages before they are
/// first touched. A scan that jumps between rows of a multi-megabyte table
/// otherwise takes a TLB miss on nearly every row it starts.

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

namespace tarvinex::array {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

template <typename T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <typename U>
    explicit HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    [[nodiscard]] static bool huge(std::size_t n) noexcept { return n * sizeof(T) >= kHugePageBytes; }

    [[nodiscard]] T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T) - kHugePageBytes) {
            throw std::bad_alloc();
        }
        if (!huge(n)) {
            return std::allocator<T>().allocate(n);
        }
        const std::size_t bytes = (n * sizeof(T) + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        void* p = std::aligned_alloc(kHugePageBytes, bytes);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        // Advice only: where huge pages are off or short, the pages stay small.
        (void)madvise(p, bytes, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (!huge(n)) {
            std::allocator<T>().deallocate(p, n);
            return;
        }
        std::free(p);
    }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

/// A float table in huge pages where it is large enough.
using HugePageFloats = std::vector<float, HugePageAllocator<float>>;

}  // namespace tarvinex::array
