// Muskingum channel routing (McCarthy 1938).
//
// The reach stores S = K [x I + (1 - x) O]. Writing the continuity equation
// over one step dt with that storage gives the classic recurrence
//
//     O[i] = C0 I[i] + C1 I[i-1] + C2 O[i-1]
//
// with C0 = (dt - 2Kx) / D, C1 = (dt + 2Kx) / D, C2 = (2K(1 - x) - dt) / D and
// D = dt + 2K(1 - x). A reach may be split into equal sub-reaches of storage
// constant K / n, routed one after the other. Nothing is clamped and there is
// no stability test: negative coefficients and outflows pass through.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "time_series.hpp"

namespace tarnwick::muskingum {

// Text of the warning raised for a weighting factor outside [0, 0.5].
inline constexpr const char* x_range_warning = "`x` is outside the recommended range [0.0, 0.5].";

// x < 0, x > 0.5 or not a number. The bounds themselves (and -0.0) are fine.
bool x_outside_recommended_range(double x);

struct Coefficients {
    double c0;
    double c1;
    double c2;
};

// The routing coefficients of one segment, 2K formed as K + K.
Coefficients coefficients(double dt, double k, double x);

// One pass over one segment. The inflow vector is consumed and its storage
// becomes the outflow, of the same length. The first outflow is
// `initial_outflow`, or the first inflow when none is given. An empty inflow
// is a broken precondition (InternalFailure).
Values muskingum_routing_core(Values inflow, std::optional<double> initial_outflow, double dt, double k, double x);

struct Parameters {
    double k_seconds;          // storage constant of the whole reach
    double x;                  // weighting factor
    std::int64_t sub_reaches;  // max(1, sub_reaches) passes are routed
    double initial_outflow;    // first outflow of every pass
};

// Routes `inflow` through the reach: the first pass reads the caller's
// series, later passes route the previous outflow in place. The result has
// the inflow's step and kind "discharge".
ContinuousTimeSeries run_muskingum_routing(const ContinuousTimeSeries& inflow, const Parameters& parameters);

}  // namespace tarnwick::muskingum
