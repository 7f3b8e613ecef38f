// Output vectors for long series.
//
// A result vector of millions of values is written once, front to back.
// Backed by 4 KiB pages, a fresh allocation of that size costs more in page
// faults than the hydrology does. Where the system offers transparent huge
// pages on request, the vector's storage is marked for them before it is
// first touched (as numpy does for its large arrays); this is only a hint
// and changes nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

// A vector of `n` zeros whose storage was hinted before being touched.
inline std::vector<double> zeroed_values(std::size_t n) {
    std::vector<double> values;
    values.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t bytes = n * sizeof(double);
    if (bytes >= 2 * huge_page) {
        // Only the whole huge pages inside the buffer are advised.
        const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
        const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
        const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
    values.resize(n);
    return values;
}

}  // namespace tarnwick
