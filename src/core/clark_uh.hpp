// Clark unit hydrograph (Clark 1945).
//
// Excess rainfall is translated to the outlet along a time-area curve and
// attenuated by one linear reservoir. The translation hydrograph comes from
// the usual dimensionless time-area relation for a basin of ordinary shape,
//
//     A(t) = 1.414 t^1.5            for t < 0.5
//     A(t) = 1 - 1.414 (1 - t)^1.5  for t >= 0.5   (t = time / tc),
//
// its increments turned into flow per inch of excess over the basin (1.00833
// converts acre-inches per hour into cubic feet per second). Routing it
// through a reservoir of storage coefficient R (Muskingum with x = 0) gives
// the unit hydrograph U, and the runoff is the discrete convolution
// Q[n] = sum over k of P[k] U[n - k], added in increasing k.
#pragma once

#include <cstddef>
#include <vector>

#include "error.hpp"
#include "time_series.hpp"

namespace tarnwick::clark {

// The most values that the unit hydrograph and the runoff together may
// hold: half of the memory the process can be given (memory_limit_bytes();
// 2^31 values where that cannot be asked for), and never more than a vector
// can address. A time of concentration needing more is refused before
// anything is allocated.
std::size_t value_limit();

// The convolution's inner loops, built for several instruction sets; every
// variant gives the same bits. Only the plain one outside x86-64 with GCC or
// Clang on Linux.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define TARNWICK_X86_VARIANTS 1
#else
#define TARNWICK_X86_VARIANTS 0
#endif
enum class Variant { generic, avx2, avx512 };

struct ConvolutionKernels {
    // q[i] = q[i] + p * u[i] for i < m.
    void (*add_scaled)(double* q, const double* u, std::size_t m, double p);
    // q[i] = (q[i] + p1 * u1[i]) + p2 * u2[i] for i < m.
    void (*add_scaled_pair)(double* q, const double* u1, const double* u2, std::size_t m, double p1, double p2);
};

// Whether this build has the variant and the CPU can run it.
bool variant_supported(Variant variant);

// The variant the convolution uses: of the supported ones, the fastest in a
// short timing on this CPU (see clark_uh.cpp).
Variant best_variant();

// The loops of one variant (the plain ones where it is not built).
ConvolutionKernels convolution_kernels(Variant variant);

// ceil(tc / dt) as a count, saturating at the largest count. Both positive.
std::size_t ordinate_count(double tc_seconds, double dt);

// The M translation-hydrograph ordinates, in cfs per inch of excess.
Values translation_hydrograph(std::size_t m, double dt, double basin_area, double tc_seconds);

// The runoff values (steps 2 to 6 of the method): N zeros when tc or dt is
// not positive, otherwise N + M - 1 values. Fails when M ordinates and the
// runoff would exceed value_limit().
Result<Values> clark_uh_core(const Values& rainfall, double dt, double basin_area, double tc_seconds,
                             double storage_seconds);

// The runoff series: the rainfall's step and kind "discharge".
Result<ContinuousTimeSeries> run_clark_uh(const IncrementalTimeSeries& rainfall, double basin_area, double tc_seconds,
                                          double storage_seconds);

}  // namespace tarnwick::clark
