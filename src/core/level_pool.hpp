// Level pool routing of an inflow hydrograph through a reservoir.
//
// The reservoir's water surface is taken as level, so its storage S depends on
// the elevation alone (the elevation-storage curve) and every outlet's flow on
// the elevation (and, for a prescribed release, on time): the setting of Puls
// (1928) and of the storage-indication method (Chow, Maidment and Mays 1988,
// Applied Hydrology, section 8.2). Rather than solving the storage-indication
// relation per time step, the mass balance dS/dt = I - O is integrated
// explicitly in steps of one second: the outflow is evaluated at the elevation
// reached after the previous second, the storage advanced with the trapezoid
// of the inflow, clamped at zero and turned back into an elevation. Storage,
// elevation, total and per-outlet outflow are recorded once per inflow step.
#pragma once

#include "error.hpp"
#include "named_map.hpp"
#include "outlets.hpp"
#include "rating_curves.hpp"
#include "time_series.hpp"

namespace tarnwick::reservoir {

struct LevelPoolResult {
    ContinuousTimeSeries reservoir_storage;        // kind "volume"
    ContinuousTimeSeries reservoir_elevation;      // kind "elevation"
    ContinuousTimeSeries reservoir_total_outflow;  // kind "discharge"
    NamedMap<ContinuousTimeSeries> reservoir_individual_outflows;
};

inline constexpr const char* empty_inflow_message =
    "`inflow` has no values: level pool routing needs at least one inflow value.";

// Routes `inflow` (values I[0..n-1], step D seconds) starting from
// `initial_elevation`. The outlets are evaluated, and their results listed,
// in the order given. With n >= 2 every result series holds n - 1 values:
// index 0 the initial state and the outflows at e0 and t = D, index j the
// state after the step at t = (j + 1) D and the outflows evaluated at that t
// before the step. The first lookup, outlet or curve error ends the routing.
Result<LevelPoolResult> run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                               const ElevationStorage& curve, const NamedMap<DischargeInfo>& outlets);

}  // namespace tarnwick::reservoir
