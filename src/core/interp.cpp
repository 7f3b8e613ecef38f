#include "interp.hpp"

namespace tarnwick {

const char* interp1d_check(std::span<const double> x_values, std::span<const double> y_values) {
    if (x_values.size() != y_values.size()) return interp_length_message;
    if (x_values.size() < 2) return interp_too_short_message;
    for (std::size_t i = 0; i + 1 < x_values.size(); ++i)
        if (!(x_values[i] < x_values[i + 1])) return interp_x_order_message;
    for (std::size_t i = 0; i + 1 < y_values.size(); ++i)
        if (!(y_values[i] <= y_values[i + 1])) return interp_y_order_message;
    return nullptr;
}

std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values, double x,
                               std::optional<double> below, std::optional<double> above) {
    if (const char* failure = interp1d_check(x_values, y_values)) internal_failure(failure);

    // Fixed-step binary search: `base` ends on the last abscissa <= x, or on
    // the first one when every abscissa lies above x.
    const std::size_t n = x_values.size();
    std::size_t base = 0;
    std::size_t size = n;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x != x) internal_failure(interp_nan_message);  // the abscissae themselves are never NaN here
        if (x_values[mid] <= x) base = mid;
        size -= half;
    }

    if (x_values[base] == x) return y_values[base];
    const std::size_t i = x_values[base] < x ? base + 1 : base;  // abscissae below x
    if (i == 0) return below;
    if (i == n) return above;
    return interpolate_segment(x_values.data(), y_values.data(), i, x);
}

}  // namespace tarnwick
