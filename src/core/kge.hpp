// The Kling-Gupta efficiency (Gupta et al. 2009) of a simulated series
// against an observed one.
//
// KGE = 1 - sqrt((r - 1)^2 + (beta - 1)^2 + (gamma - 1)^2), with r the
// Pearson correlation, beta = mean_sim / mean_obs the bias ratio and
// gamma = std_sim / std_obs the variability ratio (the 2009 form; the 2012
// revision by Kling et al. uses the ratio of coefficients of variation
// instead). A perfect simulation scores 1; there is no lower bound.
#pragma once

#include <span>

#include "error.hpp"

namespace tarnwick::metrics {

// Shift of the optional log transform ln(v + eps), and the floor of the
// three denominators that would otherwise divide by (nearly) zero.
inline constexpr double kge_epsilon = 1e-6;

// Errors, in this order: an empty observed series, series of different
// lengths. Everything else (zero variance, NaN, infinities) gives a number.
Result<double> calculate_kge(std::span<const double> sim, std::span<const double> obs, bool use_log);

}  // namespace tarnwick::metrics
