// One-dimensional linear interpolation over a tabulated curve.
//
// interp1d is the lookup behind every rating curve: storage from elevation,
// elevation from storage, discharge from elevation. It checks its curve on
// every call and treats a bad curve as a broken precondition (an internal
// failure), then locates the point with a binary search whose number of steps
// depends only on the curve's length.
//
// CurveLookup gives exactly the same answers for a curve that is looked up
// many times in a row, as level pool routing does once per simulated second:
// the curve is checked once (a failure is remembered and thrown at the first
// lookup, where interp1d would throw it), and the search starts from the
// bracket of the previous lookup, since a water level moves little between
// neighbouring seconds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

#include "error.hpp"

namespace tarnwick {

inline constexpr const char* interp_length_message = "length of `x_values` and `y_values` should be same.";
inline constexpr const char* interp_too_short_message = "x_values and y_values each must have at least 2 elements.";
inline constexpr const char* interp_x_order_message = "`x_values` must must be sorted and can't have duplicates";
inline constexpr const char* interp_y_order_message = "`y_values` must must be sorted";
// A NaN point cannot be ordered against the abscissae.
inline constexpr const char* interp_nan_message = "called `Option::unwrap()` on a `None` value";

// The message of the first precondition the curve breaks, in the order the
// checks run (lengths, point count, strictly ascending x, ascending y), or
// nullptr for a usable curve. A NaN anywhere breaks its vector's ordering.
const char* interp1d_check(std::span<const double> x_values, std::span<const double> y_values);

// y at x on the curve. Below the first abscissa the result is `below`, above
// the last one `above` (absent when not given); an exact abscissa returns its
// ordinate untouched. Throws InternalFailure for a bad curve or a NaN x.
std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values, double x,
                               std::optional<double> below, std::optional<double> above);

// The straight line between knots i - 1 and i, evaluated at x:
// y0 + ((x - x0) / (x1 - x0)) * (y1 - y0), the product rounded before the sum.
inline double interpolate_segment(const double* xs, const double* ys, std::size_t i, double x) {
    const double x0 = xs[i - 1];
    const double x1 = xs[i];
    const double y0 = ys[i - 1];
    const double y1 = ys[i];
    const double t = (x - x0) / (x1 - x0);
    const double rise = t * (y1 - y0);
    return y0 + rise;
}

// Repeated interp1d lookups on one curve. The curve's vectors must outlive
// the lookup and stay unchanged.
class CurveLookup {
 public:
    CurveLookup(std::span<const double> x_values, std::span<const double> y_values)
        : xs_(x_values.data()),
          ys_(y_values.data()),
          n_(x_values.size()),
          failure_(interp1d_check(x_values, y_values)) {}

    // Identical to interp1d(x_values, y_values, x, below, above).
    [[gnu::always_inline]] std::optional<double> operator()(double x, std::optional<double> below,
                                                            std::optional<double> above) {
        const std::size_t i = locate(x);
        if (i > 0 && xs_[i - 1] == x) return ys_[i - 1];
        if (i == 0) return below;
        if (i == n_) return above;
        return interpolate_segment(xs_, ys_, i, x);
    }

    // y at x when x lies within the abscissae (first and last included), as
    // interp1d gives it there; false, with y untouched, outside them.
    [[gnu::always_inline]] bool inside(double x, double& y) {
        const std::size_t i = locate(x);
        if (i > 0 && xs_[i - 1] == x) {
            y = ys_[i - 1];
            return true;
        }
        if (i == 0 || i == n_) return false;
        y = interpolate_segment(xs_, ys_, i, x);
        return true;
    }

    // The number of abscissae at or below x (0 to n). This is the bracket the
    // fixed-step binary search ends in: it stops on the last abscissa <= x,
    // or on the first one when x lies below them all. Throws what interp1d
    // throws before it has a result.
    [[gnu::always_inline]] std::size_t locate(double x) {
        if (failure_ != nullptr) [[unlikely]]
            internal_failure(failure_);
        if (x != x) [[unlikely]]
            internal_failure(interp_nan_message);
        std::size_t i = hint_;
        if (i < n_ && xs_[i] <= x) {
            ++i;  // one bracket up, else search everything above it
            if (i < n_ && xs_[i] <= x) i = static_cast<std::size_t>(std::upper_bound(xs_ + i + 1, xs_ + n_, x) - xs_);
        } else if (i > 0 && x < xs_[i - 1]) {
            --i;  // one bracket down, else search everything below it
            if (i > 0 && x < xs_[i - 1]) i = static_cast<std::size_t>(std::upper_bound(xs_, xs_ + i - 1, x) - xs_);
        }
        hint_ = i;
        return i;
    }

 private:
    const double* xs_;
    const double* ys_;
    std::size_t n_;
    const char* failure_;
    std::size_t hint_ = 0;
};

}  // namespace tarnwick
