#include "outlets.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "float_text.hpp"
#include "interp.hpp"

namespace tarnwick::reservoir {

namespace {

// Curves built from the caller's lists always hold two points or more.
void require_points(const ElevationDischarge& curve) {
    if (curve.elevation.empty()) internal_failure("index out of bounds: the elevation-discharge curve is empty");
}

}  // namespace

ControlledDischargeInfo make_controlled_discharge(ElevationDischarge curve, std::optional<double> minimum_elevation,
                                                  std::optional<double> maximum_elevation,
                                                  std::optional<double> maximum_release) {
    require_points(curve);
    const double bottom = curve.elevation.front();
    const double top = curve.elevation.back();
    // fmax/fmin return the other operand for a NaN one.
    const double minimum = minimum_elevation ? std::fmax(*minimum_elevation, bottom) : bottom;
    std::optional<double> maximum;
    if (maximum_elevation) maximum = std::fmin(*maximum_elevation, top);
    return {std::move(curve), minimum, maximum, maximum_release};
}

Result<double> rating_curve_discharge(const ElevationDischarge& curve, double h) {
    require_points(curve);
    const double top = curve.elevation.back();
    if (h > top)
        return value_error("elevation " + float_text(h) + " is above the maximum of the elevation-discharge curve (" +
                           float_text(top) + ").");
    if (h < curve.elevation.front()) return 0.0;
    // Inside the curve here, so the above-range value is never needed; a NaN h
    // fails inside the search.
    auto flow = interp1d(curve.elevation, curve.discharge, h, 0.0, std::nullopt);
    if (!flow) internal_failure(interp_nan_message);
    return *flow;
}

Result<double> get_discharge(const ConstantDischargeInfo& outlet, double elevation, std::optional<std::int64_t>) {
    if (gated(elevation, lower_gate(outlet.minimum_elevation), upper_gate(outlet.maximum_elevation))) return 0.0;
    return outlet.discharge;
}

Result<double> get_discharge(const SpecifiedDischargeInfo& outlet, double elevation,
                             std::optional<std::int64_t> duration_secs) {
    if (!duration_secs) return runtime_error("SpecifiedDischargeInfo requires duration_secs but none was provided.");
    if (gated(elevation, lower_gate(outlet.minimum_elevation), upper_gate(outlet.maximum_elevation))) return 0.0;
    const double duration = static_cast<double>(*duration_secs);
    // An empty series spans no time at all: every read of it is refused with
    // the series' own error instead of a length computed from no samples.
    if (outlet.discharge.data.empty()) return get_value(outlet.discharge, duration);
    const std::int64_t length = total_duration(outlet.discharge);
    if (duration > static_cast<double>(length))
        return value_error("simulation duration " + float_text(duration) +
                           "s exceeds the specified discharge series length (" + std::to_string(length) + "s).");
    return get_value(outlet.discharge, duration);
}

Result<double> get_discharge(const ControlledDischargeInfo& outlet, double elevation, std::optional<std::int64_t>) {
    if (gated(elevation, lower_gate(outlet.minimum_elevation), upper_gate(outlet.maximum_elevation))) return 0.0;
    auto flow = rating_curve_discharge(outlet.elevation_discharge, elevation);
    if (!flow) return flow;
    return capped(*flow, outlet.maximum_release.value_or(std::numeric_limits<double>::infinity()));
}

Result<double> get_discharge(const UnControlledDischargeInfo& outlet, double elevation, std::optional<std::int64_t>) {
    return rating_curve_discharge(outlet.elevation_discharge, elevation + outlet.elevation_offset.value_or(0.0));
}

Result<double> get_discharge(const DischargeInfo& outlet, double elevation, std::optional<std::int64_t> duration_secs) {
    return std::visit([&](const auto& kind) { return get_discharge(kind, elevation, duration_secs); }, outlet);
}

}  // namespace tarnwick::reservoir
