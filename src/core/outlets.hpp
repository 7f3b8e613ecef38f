// Reservoir outlets: the four kinds of structure a reservoir releases through.
//
// Every outlet answers one question, get_discharge: the flow it releases at a
// water-surface elevation and an elapsed simulation time. A constant outlet
// releases a fixed flow; a specified outlet follows a prescribed discharge
// series; a controlled outlet (gate, valve, conduit) reads a rating curve
// inside an elevation band and under a release cap; an uncontrolled outlet
// (spillway, weir) reads a rating curve at an optionally shifted elevation.
// Outlets are immutable values and keep no state between calls.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

#include "error.hpp"
#include "rating_curves.hpp"
#include "time_series.hpp"

namespace tarnwick::reservoir {

struct ConstantDischargeInfo {
    double discharge = 0.0;
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
};

struct SpecifiedDischargeInfo {
    ContinuousTimeSeries discharge;
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;  // kept for the caller; no computation reads it
};

// Build with make_controlled_discharge, which fixes the effective band.
struct ControlledDischargeInfo {
    ElevationDischarge elevation_discharge;
    std::optional<double> minimum_elevation;  // always present once built
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;
};

struct UnControlledDischargeInfo {
    ElevationDischarge elevation_discharge;
    std::optional<double> elevation_offset;
};

// Any outlet. The order of the alternatives is the order in which a caller's
// object is matched against the four kinds.
using DischargeInfo =
    std::variant<UnControlledDischargeInfo, ControlledDischargeInfo, SpecifiedDischargeInfo, ConstantDischargeInfo>;

// A controlled outlet never opens below the bottom of its rating curve: the
// minimum is raised to the curve's first elevation (and takes it when absent
// or NaN); a given maximum is lowered to the curve's last elevation (and takes
// it when NaN).
ControlledDischargeInfo make_controlled_discharge(ElevationDischarge curve, std::optional<double> minimum_elevation,
                                                  std::optional<double> maximum_elevation,
                                                  std::optional<double> maximum_release);

// The flow released at `elevation` after `duration_secs` seconds of
// simulation (only the specified outlet needs the time).
Result<double> get_discharge(const ConstantDischargeInfo& outlet, double elevation,
                             std::optional<std::int64_t> duration_secs);
Result<double> get_discharge(const SpecifiedDischargeInfo& outlet, double elevation,
                             std::optional<std::int64_t> duration_secs);
Result<double> get_discharge(const ControlledDischargeInfo& outlet, double elevation,
                             std::optional<std::int64_t> duration_secs);
Result<double> get_discharge(const UnControlledDischargeInfo& outlet, double elevation,
                             std::optional<std::int64_t> duration_secs);
Result<double> get_discharge(const DischargeInfo& outlet, double elevation, std::optional<std::int64_t> duration_secs);

// --- Pieces shared with the routing loop's evaluation -----------------------

// The elevation band as two plain bounds: an absent lower bound is -inf and
// an absent upper bound +inf, which gate exactly like an absent bound.
inline double lower_gate(std::optional<double> bound) {
    return bound.value_or(-std::numeric_limits<double>::infinity());
}
inline double upper_gate(std::optional<double> bound) {
    return bound.value_or(std::numeric_limits<double>::infinity());
}

// Closed band: an elevation on a bound passes. Ordered comparisons, so a NaN
// elevation or a NaN bound gates nothing.
inline bool gated(double elevation, double lower, double upper) { return elevation < lower || elevation > upper; }

// The smaller of a flow and a release cap, where a NaN on either side yields
// the other value.
inline double capped(double flow, double cap) {
    if (cap != cap) return flow;
    if (flow != flow) return cap;
    return cap < flow ? cap : flow;
}

// The flow on an outlet's rating curve at lookup elevation h: an error above
// the curve's top, 0.0 below its bottom, interpolated in between.
Result<double> rating_curve_discharge(const ElevationDischarge& curve, double h);

}  // namespace tarnwick::reservoir
