#include "clark_uh.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "cancel.hpp"
#include "large_buffer.hpp"
#include "libm.hpp"
#include "memory_limit.hpp"
#include "muskingum.hpp"

namespace tarnwick::clark {

namespace {

// Cumulative contributing-area fraction at relative time t in [0, 1].
double contributing_area(double t) {
    if (t < 0.5) return 1.414 * libm::pow(t, 1.5);
    return 1.0 - 1.414 * libm::pow(1.0 - t, 1.5);
}

// The convolution's inner loops. Their iterations are independent, so they
// vectorise without changing any result (each product is rounded before its
// sum: contraction is off). Each is built for the plain instruction set and,
// on x86-64 with GCC or Clang, again for AVX2 and for AVX-512; the fastest
// the CPU offers is picked on the first call (best_variant()).

// q[i] = q[i] + p * u[i] for i < m.
[[gnu::always_inline]] inline void add_scaled_body(double* __restrict q, const double* __restrict u, std::size_t m,
                                                   double p) {
    for (std::size_t i = 0; i < m; ++i) q[i] = q[i] + p * u[i];
}

// q[i] = (q[i] + p1 * u1[i]) + p2 * u2[i] for i < m: two rainfall values
// added to the same outputs in one sweep, the earlier one first, so each
// output is loaded and stored once for both.
[[gnu::always_inline]] inline void add_scaled_pair_body(double* __restrict q, const double* __restrict u1,
                                                        const double* __restrict u2, std::size_t m, double p1,
                                                        double p2) {
    for (std::size_t i = 0; i < m; ++i) q[i] = (q[i] + p1 * u1[i]) + p2 * u2[i];
}

#define TARNWICK_KERNELS(suffix, attribute)                                                                         \
    attribute void add_scaled_##suffix(double* __restrict q, const double* __restrict u, std::size_t m, double p) { \
        add_scaled_body(q, u, m, p);                                                                                \
    }                                                                                                               \
    attribute void add_scaled_pair_##suffix(double* __restrict q, const double* __restrict u1,                      \
                                            const double* __restrict u2, std::size_t m, double p1, double p2) {     \
        add_scaled_pair_body(q, u1, u2, m, p1, p2);                                                                 \
    }

TARNWICK_KERNELS(generic, )
#if TARNWICK_X86_VARIANTS
TARNWICK_KERNELS(avx2, __attribute__((target("avx2"))))
TARNWICK_KERNELS(avx512, __attribute__((target("avx512f"))))
#endif
#undef TARNWICK_KERNELS

const ConvolutionKernels& kernels() {
    static const ConvolutionKernels picked = convolution_kernels(best_variant());
    return picked;
}

// q[n] += P[k] U[n - k] over every wet k, in increasing k for every n.
// Wet steps are taken two at a time where their contributions overlap: the
// outputs only the first reaches, then the shared ones (first, then second),
// then those only the second reaches.
// Each wet step is counted on the cancellation countdown: with a million
// ordinates a few thousand steps already take minutes.
void convolve(const Values& p, const Values& u, Values& q) {
    const std::size_t n = p.size();
    const std::size_t m = u.size();
    const ConvolutionKernels& kernel = kernels();
    CancelCountdown countdown;
    // Dry steps (zero of either sign) add nothing and are skipped whole.
    auto next_wet = [&](std::size_t k) {
        while (k < n && p[k] == 0.0) ++k;
        return k;
    };
    std::size_t k1 = next_wet(0);
    while (k1 < n) {
        const std::size_t k2 = next_wet(k1 + 1);
        if (k2 < n && k2 - k1 < m) {
            const std::size_t d = k2 - k1;
            kernel.add_scaled(q.data() + k1, u.data(), d, p[k1]);
            kernel.add_scaled_pair(q.data() + k2, u.data() + d, u.data(), m - d, p[k1], p[k2]);
            kernel.add_scaled(q.data() + k1 + m, u.data() + (m - d), d, p[k2]);
            countdown.add(2 * m);
            k1 = next_wet(k2 + 1);
        } else {
            kernel.add_scaled(q.data() + k1, u.data(), m, p[k1]);
            countdown.add(m);
            k1 = k2;
        }
    }
}

std::string too_long_message(std::size_t m) {
    return "tc is too long for the rainfall's time step: the unit hydrograph would need " + std::to_string(m) +
           " ordinates, more than can be allocated";
}

}  // namespace

bool variant_supported(Variant variant) {
    switch (variant) {
        case Variant::generic:
            return true;
#if TARNWICK_X86_VARIANTS
        case Variant::avx2:
            return __builtin_cpu_supports("avx2");
        case Variant::avx512:
            return __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

// The widest variant is not always the fastest: where AVX-512 runs on 256-bit
// units (Zen 4), its loops take longer than AVX2's. So where both run, the
// first convolution times them once (some 50 microseconds) on outputs that
// stay in the first-level cache, as a unit hydrograph's do, and keeps the
// faster; AVX-512 only when it is faster by more than the timing's noise.
// Every variant gives the same bits, so the choice changes speed only.
Variant best_variant() {
#if TARNWICK_X86_VARIANTS
    if (!variant_supported(Variant::avx2)) return Variant::generic;
    if (!variant_supported(Variant::avx512)) return Variant::avx2;
    constexpr std::size_t m = 1000;
    constexpr int calls = 32;
    constexpr int trials = 7;
    alignas(64) double q[m];
    alignas(64) double u1[m];
    alignas(64) double u2[m];
    for (std::size_t i = 0; i < m; ++i) {
        u1[i] = 1.0 / static_cast<double>(i + 1);
        u2[i] = u1[m - 1 - i];
    }
    const Variant candidates[2] = {Variant::avx2, Variant::avx512};
    double fastest[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (int trial = 0; trial <= trials; ++trial) {
        for (int k = 0; k < 2; ++k) {
            const ConvolutionKernels kernel = convolution_kernels(candidates[k]);
            std::fill(q, q + m, 0.0);
            const auto start = std::chrono::steady_clock::now();
            for (int call = 0; call < calls; ++call) {
                kernel.add_scaled_pair(q, u1, u2, m, 1e-3, 2e-3);
                kernel.add_scaled(q, u2, m, 1e-3);
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (trial > 0) fastest[k] = std::min(fastest[k], took.count());  // the first warms up
        }
    }
    return fastest[1] < 0.97 * fastest[0] ? Variant::avx512 : Variant::avx2;
#else
    return Variant::generic;
#endif
}

ConvolutionKernels convolution_kernels(Variant variant) {
    switch (variant) {
#if TARNWICK_X86_VARIANTS
        case Variant::avx2:
            return {add_scaled_avx2, add_scaled_pair_avx2};
        case Variant::avx512:
            return {add_scaled_avx512, add_scaled_pair_avx512};
#endif
        default:
            return {add_scaled_generic, add_scaled_pair_generic};
    }
}

std::size_t value_limit() {
    const std::uint64_t bytes = memory_limit_bytes();
    // Where the memory size cannot be asked for, 2^31 values (16 GiB).
    if (bytes == 0) return std::size_t{1} << 31;
    const std::uint64_t values = bytes / 2 / sizeof(double);
    return static_cast<std::size_t>(std::min<std::uint64_t>(values, Values().max_size()));
}

std::size_t ordinate_count(double tc_seconds, double dt) {
    const double m = std::ceil(tc_seconds / dt);
    constexpr double beyond = 18446744073709551616.0;  // 2^64
    if (!(m < beyond)) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(m);
}

Values translation_hydrograph(std::size_t m, double dt, double basin_area, double tc_seconds) {
    Values th;
    th.reserve(m);
    const double hours = dt / 3600.0;
    double previous = 0.0;
    // M is bounded by memory, not by the rainfall: counted block by block.
    CancelCountdown countdown;
    for (std::size_t start = 1; start <= m; start += cancel_interval) {
        const std::size_t stop = m - start >= cancel_interval ? start + cancel_interval - 1 : m;
        for (std::size_t i = start; i <= stop; ++i) {
            const double x = (dt * static_cast<double>(i)) / tc_seconds;
            const double t = x < 1.0 ? x : 1.0;  // NaN reads as 1
            const double area = contributing_area(t);
            th.push_back(((area - previous) * basin_area * 1.00833) / hours);
            previous = area;
        }
        countdown.add(stop - start + 1);
    }
    return th;
}

Result<Values> clark_uh_core(const Values& rainfall, double dt, double basin_area, double tc_seconds,
                             double storage_seconds) {
    const std::size_t n = rainfall.size();
    if (!(tc_seconds > 0.0) || !(dt > 0.0)) return Values(n, 0.0);

    // M ordinates for the unit hydrograph plus N + M - 1 runoff values, all
    // counted before any allocation so that an absurd tc is refused rather
    // than reserved and then touched into exhaustion.
    const std::size_t m = ordinate_count(tc_seconds, dt);
    const std::size_t limit = value_limit();
    if (m > limit / 2 || n > limit - 2 * m) return value_error(too_long_message(m));
    // At the peak the ordinates and the runoff are held together; they must
    // fit beside what the process already uses.
    if (!values_fit(1, std::uint64_t{2} * m + n)) return value_error(too_long_message(m));

    // The unit hydrograph: the translation hydrograph routed through a linear
    // reservoir, which is Muskingum routing with x = 0, starting from rest.
    const Values u = muskingum::muskingum_routing_core(translation_hydrograph(m, dt, basin_area, tc_seconds), 0.0, dt,
                                                       storage_seconds, 0.0);

    Values q = zeroed_values(n + m - 1);
    convolve(rainfall, u, q);
    return q;
}

Result<ContinuousTimeSeries> run_clark_uh(const IncrementalTimeSeries& rainfall, double basin_area, double tc_seconds,
                                          double storage_seconds) {
    const double dt = static_cast<double>(rainfall.time_step);
    auto q = clark_uh_core(rainfall.data, dt, basin_area, tc_seconds, storage_seconds);
    if (!q) return std::unexpected(std::move(q.error()));
    return ContinuousTimeSeries{std::move(*q), "discharge", rainfall.time_step};
}

}  // namespace tarnwick::clark
