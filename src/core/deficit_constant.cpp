#include "deficit_constant.hpp"

#include "large_buffer.hpp"
#include "libm.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick::deficit_constant {

namespace {

// min and max of two values that return the other one when exactly one of
// them is not a number (IEEE minNum/maxNum).
inline double min_num(double a, double b) {
    const double smaller = b < a ? b : a;
    return std::isnan(a) ? b : (std::isnan(b) ? a : smaller);
}

inline double max_num(double a, double b) {
    const double larger = b > a ? b : a;
    return std::isnan(a) ? b : (std::isnan(b) ? a : larger);
}

struct Constants {
    double w;            // recovery fraction per step
    double capacity;     // constant loss per step
    double max_deficit;  // cap of the deficit
};

// The method step by step, every rule written out as stated. Used where the
// fast loop below does not apply.
void run_steps(const Constants& c, const double* rain, std::size_t n, double d, double* excess, double* loss,
               double* deficit) {
    for (std::size_t i = 0; i < n; ++i) {
        // Recovery towards the maximum, on wet and dry steps alike.
        double gap = c.max_deficit - d;
        if (std::isnan(gap)) gap = 0.0;
        d = d + c.w * max_num(gap, 0.0);
        // Cap.
        const double capped = min_num(d, c.max_deficit);
        // The constant loss comes first, then the deficit fills. Dry steps
        // (including a NaN depth) lose nothing and leave no excess.
        const double p = rain[i];
        if (p > 0.0) {
            const double constant = min_num(p, c.capacity);
            const double remaining = p - constant;
            const double fill = min_num(remaining, capped);
            loss[i] = constant + fill;
            excess[i] = remaining - fill;
            d = capped - fill;
        } else {
            loss[i] = 0.0;
            excess[i] = 0.0;
            d = capped;
        }
        deficit[i] = d;
    }
}

#if defined(__SSE2__)
// The same steps for a maximum that is a number, with the deficit's chain of
// dependencies kept short: it sets the pace, and wet and dry steps follow no
// pattern a branch predictor could learn. Each rule maps onto one SSE2
// instruction (minsd/maxsd return their second operand when either is NaN):
//   max(g, 0) with a NaN g taken as 0  ->  maxsd(g, 0)
//   min(d, max), max a number          ->  minsd(d, max)         (NaN d gives max)
//   min(p, L) on a wet step (p > 0)    ->  minsd(L, p)           (NaN L gives p)
//   min(R, G), G never NaN             ->  minsd(R, G)           (NaN R gives G)
// and a dry step masks loss, excess and fill to +0.0 (G - 0.0 is G exactly).
void run_steps_sse2(const Constants& c, const double* rain, std::size_t n, double d0, double* excess, double* loss,
                    double* deficit) {
    const __m128d w = _mm_set_sd(c.w);
    const __m128d capacity = _mm_set_sd(c.capacity);
    const __m128d max_deficit = _mm_set_sd(c.max_deficit);
    const __m128d zero = _mm_setzero_pd();
    __m128d d = _mm_set_sd(d0);
    for (std::size_t i = 0; i < n; ++i) {
        const __m128d shortfall = _mm_max_sd(_mm_sub_sd(max_deficit, d), zero);
        d = _mm_add_sd(d, _mm_mul_sd(w, shortfall));
        const __m128d capped = _mm_min_sd(d, max_deficit);

        const __m128d p = _mm_load_sd(rain + i);
        const __m128d wet = _mm_cmpgt_sd(p, zero);
        const __m128d constant = _mm_min_sd(capacity, p);
        const __m128d remaining = _mm_sub_sd(p, constant);
        const __m128d fill = _mm_and_pd(_mm_min_sd(remaining, capped), wet);
        _mm_store_sd(loss + i, _mm_and_pd(_mm_add_sd(constant, fill), wet));
        _mm_store_sd(excess + i, _mm_and_pd(_mm_sub_sd(remaining, fill), wet));
        d = _mm_sub_sd(capped, fill);
        _mm_store_sd(deficit + i, d);
    }
}
#endif

}  // namespace

double recovery_fraction(double dt, double time_to_dry_seconds) {
    if (!(time_to_dry_seconds > 0.0)) return 0.0;
    return 1.0 - libm::exp((dt / 3600.0) / (time_to_dry_seconds / -3600.0));
}

DeficitConstantResult run_deficit_and_constant(const IncrementalTimeSeries& rainfall, const Parameters& parameters) {
    const std::size_t n = rainfall.data.size();
    const double dt = static_cast<double>(rainfall.time_step);
    const double w = recovery_fraction(dt, parameters.time_to_dry_seconds);
    const double capacity = parameters.constant_loss_per_hr * (dt / 3600.0);
    const double max_deficit = parameters.max_deficit;

    // Sized once up front and written through plain pointers: the per-step
    // bookkeeping of push_back would cost more than the arithmetic.
    Values excess = zeroed_values(n), loss = zeroed_values(n), deficit = zeroed_values(n);
    double* excess_out = excess.data();
    double* loss_out = loss.data();
    double* deficit_out = deficit.data();

    const double* rain = rainfall.data.data();
    const Constants constants{w, capacity, max_deficit};
#if defined(__SSE2__)
    if (!std::isnan(max_deficit)) {
        run_steps_sse2(constants, rain, n, parameters.initial_deficit, excess_out, loss_out, deficit_out);
    } else {
        run_steps(constants, rain, n, parameters.initial_deficit, excess_out, loss_out, deficit_out);
    }
#else
    run_steps(constants, rain, n, parameters.initial_deficit, excess_out, loss_out, deficit_out);
#endif

    const std::int32_t step = rainfall.time_step;
    return {{std::move(excess), "rainfall", step},
            {std::move(loss), "rainfall", step},
            {std::move(deficit), "rainfall", step}};
}

}  // namespace tarnwick::deficit_constant
