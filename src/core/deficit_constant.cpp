#include "deficit_constant.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace tarnwick::deficit_constant {

namespace {

// min and max that return the other value when exactly one of the two is
// not a number (IEEE minNum/maxNum), written so that they compile to
// branch-free selects.
inline double min_num(double a, double b) {
    const double smaller = b < a ? b : a;
    return std::isnan(a) ? b : (std::isnan(b) ? a : smaller);
}

inline double max_num(double a, double b) {
    const double larger = b > a ? b : a;
    return std::isnan(a) ? b : (std::isnan(b) ? a : larger);
}

}  // namespace

double recovery_fraction(double dt, double time_to_dry_seconds) {
    if (!(time_to_dry_seconds > 0.0)) return 0.0;
    return 1.0 - std::exp((dt / 3600.0) / (time_to_dry_seconds / -3600.0));
}

DeficitConstantResult run_deficit_and_constant(const IncrementalTimeSeries& rainfall, const Parameters& parameters) {
    const std::size_t n = rainfall.data.size();
    const double dt = static_cast<double>(rainfall.time_step);
    const double w = recovery_fraction(dt, parameters.time_to_dry_seconds);
    const double capacity = parameters.constant_loss_per_hr * (dt / 3600.0);
    const double max_deficit = parameters.max_deficit;

    std::vector<double> excess, loss, deficit;
    excess.reserve(n);
    loss.reserve(n);
    deficit.reserve(n);

    const double* rain = rainfall.data.data();
    double d = parameters.initial_deficit;
    for (std::size_t i = 0; i < n; ++i) {
        // Recovery towards the maximum, on wet and dry steps alike.
        double gap = max_deficit - d;
        if (std::isnan(gap)) gap = 0.0;
        const double recovered = w * max_num(gap, 0.0);
        d = d + recovered;
        const double capped = min_num(d, max_deficit);

        // Both outcomes are computed and one is selected, so that a mix of
        // wet and dry steps costs no mispredicted branches. Dry steps
        // (including a NaN depth) lose nothing and leave no excess.
        const double p = rain[i];
        const bool wet = p > 0.0;
        const double constant = min_num(p, capacity);
        const double remaining = p - constant;
        const double fill = min_num(remaining, capped);
        loss.push_back(wet ? constant + fill : 0.0);
        excess.push_back(wet ? remaining - fill : 0.0);
        d = wet ? capped - fill : capped;
        deficit.push_back(d);
    }

    const std::int32_t step = rainfall.time_step;
    return {{std::move(excess), "rainfall", step},
            {std::move(loss), "rainfall", step},
            {std::move(deficit), "rainfall", step}};
}

}  // namespace tarnwick::deficit_constant
