// Buffers of values: series, results and temporaries.
//
// Fresh memory costs a page fault per 4 KiB page the first time it is
// written. The C library hands large blocks back to the system when they are
// freed (and trims its heap after smaller ones), so a loop that calls the
// same functions on series of the same length would fault in every buffer
// again on every call, at a cost that rivals the computation. Values
// therefore take their large buffers from a small per-thread cache of the
// blocks earlier calls freed (large_buffer.cpp); it is the only state the
// core keeps, and a reused block is always filled before it is read, so it
// never changes a value.
//
// For outputs of several megabytes the kernel is also asked to back the
// buffer with transparent huge pages, which cuts the faults 512-fold where
// it agrees; elsewhere nothing changes but the speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

namespace buffers {

// Blocks smaller than this go straight to operator new: the C library keeps
// them in its heap without faulting anew, and they cost little to fill.
inline constexpr std::size_t min_cached_bytes = std::size_t{64} << 10;

// A block of at least `bytes` bytes (>= min_cached_bytes), recycled from
// the calling thread's cache when it holds one of the same size class.
// Throws std::bad_alloc.
void* acquire(std::size_t bytes);

// Gives back a block that acquire(bytes) returned, on any thread: parked in
// this thread's cache for reuse, or freed.
void release(void* block, std::size_t bytes) noexcept;

// The bytes parked in the caches of all threads: memory the process holds
// that the next calls reuse instead of asking for more.
std::size_t parked_bytes() noexcept;

// The bytes parked in the calling thread's cache.
std::size_t thread_parked_bytes() noexcept;

// The most that all caches together may park, in bytes.
std::size_t parked_bound() noexcept;

// Frees every block parked by the calling thread (as its end does).
void release_thread_cache() noexcept;

}  // namespace buffers

// The allocator of Values: large requests go through the buffer cache.
template <class T>
struct CachedAllocator {
    using value_type = T;

    CachedAllocator() noexcept = default;
    template <class U>
    CachedAllocator(const CachedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < buffers::min_cached_bytes) return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(buffers::acquire(bytes));
    }

    void deallocate(T* block, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < buffers::min_cached_bytes)
            ::operator delete(block);
        else
            buffers::release(block, bytes);
    }

    template <class U>
    bool operator==(const CachedAllocator<U>&) const noexcept {
        return true;
    }
};

// The values of a series, a curve or a result.
using Values = std::vector<double, CachedAllocator<double>>;

// Reserves exactly `n` values in an empty vector, advising the kernel to back
// the reservation with huge pages when it spans several of them.
inline void reserve_large(Values& values, std::size_t n) {
    values.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    const std::size_t bytes = values.capacity() * sizeof(double);
    if (bytes < 2 * huge_page) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
    // Only whole huge pages inside the buffer; a refusal is harmless.
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// A vector of `n` zeros, reserved as above before it is first touched.
inline Values zeroed_values(std::size_t n) {
    Values values;
    reserve_large(values, n);
    values.resize(n);
    return values;
}

}  // namespace tarnwick
