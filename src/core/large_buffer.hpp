// Output vectors of a million values and more.
//
// Fresh memory costs a page fault per 4 KiB page the first time it is
// written, and for outputs of several megabytes those faults cost as much as
// the computation that fills them. On Linux, asking for transparent huge
// pages on such a buffer cuts the faults 512-fold; elsewhere, or where the
// kernel declines, nothing changes but the speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

// Reserves exactly `n` values in an empty vector, advising the kernel to back
// the reservation with huge pages when it spans several of them.
inline void reserve_large(std::vector<double>& values, std::size_t n) {
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
inline std::vector<double> zeroed_values(std::size_t n) {
    std::vector<double> values;
    reserve_large(values, n);
    values.resize(n);
    return values;
}

}  // namespace tarnwick
