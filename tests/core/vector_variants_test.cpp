#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "clark_uh.hpp"

using namespace tarnwick::clark;

namespace {

// Every variant the CPU runs gives the plain loops' bits: lengths around
// every vector width and its tails, values of many magnitudes and signs.
void compare(Variant variant) {
    const ConvolutionKernels plain = convolution_kernels(Variant::generic);
    const ConvolutionKernels wide = convolution_kernels(variant);
    std::mt19937_64 random(static_cast<unsigned>(variant));
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    auto draw = [&] { return std::ldexp(mantissa(random), exponent(random)); };
    for (std::size_t m = 0; m < 70; ++m) {
        std::vector<double> u1(m), u2(m), q(m);
        for (std::size_t i = 0; i < m; ++i) u1[i] = draw(), u2[i] = draw(), q[i] = draw();
        const double p1 = draw(), p2 = draw();
        std::vector<double> a = q, b = q;
        plain.add_scaled(a.data(), u1.data(), m, p1);
        wide.add_scaled(b.data(), u1.data(), m, p1);
        for (std::size_t i = 0; i < m; ++i) CHECK_BITS(a[i], b[i]);
        plain.add_scaled_pair(a.data(), u1.data(), u2.data(), m, p1, p2);
        wide.add_scaled_pair(b.data(), u1.data(), u2.data(), m, p1, p2);
        for (std::size_t i = 0; i < m; ++i) CHECK_BITS(a[i], b[i]);
    }
}

}  // namespace

TEST(convolution_variants_match_the_plain_loops) {
    for (Variant variant : {Variant::avx2, Variant::avx512}) {
        if (variant_supported(variant))
            compare(variant);
        else
            std::printf("convolution variant %d: not run on this CPU\n", static_cast<int>(variant));
    }
}

// The timed pick is a variant the CPU runs, never the plain loops where AVX2
// runs.
TEST(the_picked_variant_runs_here) {
    const Variant picked = best_variant();
    CHECK(variant_supported(picked));
    if (variant_supported(Variant::avx2)) CHECK(picked != Variant::generic);
    std::printf("convolution variant picked: %d\n", static_cast<int>(picked));
}
