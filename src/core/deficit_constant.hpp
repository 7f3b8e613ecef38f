// Deficit-and-constant rainfall loss.
//
// The soil holds a moisture deficit D (inches), bounded by a maximum. Every
// step the deficit first recovers towards the maximum by a fixed fraction of
// the gap, an exponential recovery with the soil's drying time as time
// constant. On a wet step a constant loss (rate x step) is taken from the
// rainfall first, what remains fills the deficit, and the rest runs off as
// excess. This is the deficit-and-constant method of event hydrology, a
// continuous variant of the initial-and-constant loss scheme.
#pragma once

#include "time_series.hpp"

namespace tarnwick::deficit_constant {

struct Parameters {
    double initial_deficit;       // inches
    double max_deficit;           // inches
    double constant_loss_per_hr;  // inches per hour
    double time_to_dry_seconds;   // recovery time constant; 0 means no recovery
};

// Excess, loss and end-of-step deficit, one value per rainfall value, each
// with the rainfall's step and kind "rainfall".
struct DeficitConstantResult {
    IncrementalTimeSeries excess;
    IncrementalTimeSeries loss;
    IncrementalTimeSeries deficit;
};

// Fraction of the gap to the maximum recovered per step of `dt` seconds:
// 1 - exp((dt / 3600) / (T / -3600)), or 0 when T is zero.
double recovery_fraction(double dt, double time_to_dry_seconds);

DeficitConstantResult run_deficit_and_constant(const IncrementalTimeSeries& rainfall, const Parameters& parameters);

}  // namespace tarnwick::deficit_constant
