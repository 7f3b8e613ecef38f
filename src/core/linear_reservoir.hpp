// Baseflow from infiltrated rainfall through chains of linear reservoirs.
//
// A groundwater layer takes a fixed fraction of the infiltrated depth, turns
// it into an inflow rate over the basin and routes it through a cascade of
// equal linear reservoirs (storage S = K Q), the Nash cascade (Nash 1957).
// Each reservoir is stepped with the trapezoidal (Crank-Nicolson) form of
// dS/dt = I - Q, which gives
//
//     Q[t] = C * I[t] + (1 - C) * Q[t-1],   C = dt / (K + 0.5 * dt),
//
// with K the time constant of one reservoir of the chain. The scheme is only
// non-oscillating while C <= 1, i.e. K >= 0.5 * dt, which every layer must
// satisfy before any routing is done.
#pragma once

#include <cstddef>
#include <cstdint>

#include "duration.hpp"
#include "error.hpp"
#include "named_map.hpp"
#include "time_series.hpp"

namespace tarnwick::baseflow {

// One groundwater layer. The constructor checks the fields, but a caller may
// change gw_fraction, initial_q and num_reservoir afterwards without checks,
// so the routing copes with any stored values.
struct LinearReservoir {
    double gw_fraction = 0.0;       // share of the infiltrated depth feeding this layer
    double initial_q = 0.0;         // outflow of every reservoir at the start (cfs)
    std::int32_t k_duration = 1;    // time constant K of the whole chain, whole seconds
    std::size_t num_reservoir = 1;  // reservoirs in the chain
};

// A layer from its time constant (truncated to whole seconds, saturating at
// the largest 32-bit value), fraction, initial outflow and chain length.
// Checks, first failure wins: K of at least one second, a fraction in
// [0, 1] (NaN passes), at least one reservoir.
Result<LinearReservoir> make_linear_reservoir(TimeDelta k_duration, double gw_fraction, double initial_q,
                                              std::size_t num_reservoir);

// The longest chain a layer may have. The chain's state is one double per
// reservoir; a count set through the attribute can be anything up to the
// machine word, and without this bound such a chain would be allocated (and
// then filled) lazily, so the process could be killed instead of failing.
// No catchment model needs more than a handful of reservoirs.
inline constexpr std::size_t max_chain_length = std::size_t{1} << 24;

struct BaseflowResult {
    ContinuousTimeSeries total;
    NamedMap<ContinuousTimeSeries> layers;  // in the order the layers were given
};

// Routes `rainfall` (infiltrated depth in inches per step) over `basin_area`
// acres through every layer, in the given order. Every result series is in
// cubic feet per second with the rainfall's step and the kind "discharge".
//
// Errors, all found before any routing: the sum of the fractions above
// 1.000001; then, layer by layer, a reservoir time constant under half a
// step, or a chain longer than max_chain_length.
Result<BaseflowResult> run_linear_reservoir(double basin_area, const IncrementalTimeSeries& rainfall,
                                            const NamedMap<LinearReservoir>& reservoirs);

}  // namespace tarnwick::baseflow
