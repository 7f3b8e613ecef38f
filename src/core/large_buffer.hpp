// Buffers of values: series, results and temporaries.
//
// Fresh memory costs a page fault per 4 KiB page the first time it is
// written. The C library hands large blocks back to the system when they are
// freed (and trims its heap after smaller ones), so a loop that calls the
// same functions on series of the same length would fault in every buffer
// again on every call, at a cost that rivals the computation. Values
// therefore take their large buffers from one process-wide cache of the
// blocks earlier calls freed (large_buffer.cpp). A reused block is always
// filled before it is read, so the cache never changes a value. It is
// bounded (parked_bound()), and a parked block is freed once 256 later
// releases have happened on any thread, so memory parked by a thread that
// stopped calling goes back to the system while others keep calling.
//
// The cache is also where large requests are admitted: a fresh block of
// large_request_bytes or more, and a call's buffers counted together
// (values_fit), must fit in what the memory limits leave (memory_limit.hpp),
// counting the parked blocks, which are freed when that makes room.
//
// For outputs of several megabytes the kernel is also asked to back the
// buffer with transparent huge pages, which cuts the faults 512-fold where
// it agrees; elsewhere nothing changes but the speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

namespace buffers {

// Blocks smaller than this go straight to operator new: the C library keeps
// them in its heap without faulting anew, and they cost little to fill.
inline constexpr std::size_t min_cached_bytes = std::size_t{64} << 10;

// Fresh blocks from this size on, and calls whose buffers together need
// this much, are admitted only after a look at the memory in use: reading it
// costs tens of microseconds, a small part of filling 16 MiB.
inline constexpr std::uint64_t large_request_bytes = std::uint64_t{16} << 20;

// What an admitted request must leave free beyond its blocks: the C library
// adds a page to each mapping, and a call allocates small things besides its
// buffers (its result objects, vectors below min_cached_bytes, the heap's
// growth), none of them counted one by one.
inline constexpr std::uint64_t admission_margin = std::uint64_t{1} << 20;

// The size of the block acquire(bytes) hands out (and that release() is then
// given back): `bytes` rounded up to its size class, an eighth larger at
// most below 4 MiB, and from 4 MiB on a whole number of 2 MiB huge pages,
// less than 2 MiB larger. Below min_cached_bytes, `bytes`.
std::size_t block_bytes(std::size_t bytes) noexcept;

// A block of block_bytes(bytes) bytes (bytes >= min_cached_bytes), reused
// from the cache when it holds one of that size. A fresh block of
// large_request_bytes or more must fit as values_fit() judges, unless the
// calling thread's last values_fit() already counted it (its admitted bytes
// are drawn down block by block). Throws std::bad_alloc when it is refused
// or cannot be allocated.
void* acquire(std::size_t bytes);

// Gives back a block that acquire(bytes) returned, on any thread: parked for
// reuse by any thread, or freed. Reads no file, allocates nothing and never
// throws.
void release(void* block, std::size_t bytes) noexcept;

// The most the cache may park, in bytes: an eighth of memory_limit_bytes(),
// at most 1 GiB, and 256 MiB where no limit can be read. Fixed on the first
// acquire (or by prepare()); 0 before.
std::size_t parked_bound() noexcept;

// Reads the memory limits and fixes parked_bound(), if not done yet; the
// module calls it when it loads, so that no call pays for it. Throws
// std::bad_alloc.
void prepare();

}  // namespace buffers

// Whether `buffers` buffers of `length` values each, held together, may be
// allocated: always when they need less than large_request_bytes; otherwise
// when their blocks plus admission_margin fit in memory_room_bytes() and the
// limit, counting the parked blocks, which are then freed to make that room.
// A count whose bytes overflow never fits.
bool values_fit(std::uint64_t buffers, std::uint64_t length);

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

    // Elements made without a value are default-initialised: Values(n) and
    // resize(n) leave the new doubles unset, for a buffer the caller writes
    // in full before reading it, at no cost. Zeros are Values(n, 0.0).
    template <class U>
    void construct(U* element) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(element)) U;
    }

    template <class U>
    bool operator==(const CachedAllocator<U>&) const noexcept {
        return true;
    }
};

// The values of a series, a curve or a result. Values(n) and resize(n) leave
// the values unset (see CachedAllocator::construct).
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
    values.resize(n, 0.0);
    return values;
}

}  // namespace tarnwick
