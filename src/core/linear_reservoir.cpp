#include "linear_reservoir.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "float_text.hpp"

namespace tarnwick::baseflow {

namespace {

// Acre-inches per hour in cubic feet per second (1.00833, as used by the
// hydrologic models this one is compared against, not 1.008333...).
constexpr double acre_inch_per_hour_to_cfs = 1.00833;

// Sums of fractions up to this pass, to forgive rounding in hand-typed
// fractions such as 0.3 + 0.3 + 0.4.
constexpr double fraction_tolerance = 1.000001;

// The routing constants of one layer, fixed before its pass.
struct Layer {
    double fraction;   // gw_fraction
    double initial_q;  // starting outflow of every reservoir
    double c;          // C = dt / (0.5 dt + K)
    double d;          // 1 - C
    std::size_t chain;
};

// The shared constants of one call.
struct Step {
    double dt_hr;        // time step in hours
    double area_factor;  // basin area times the acre-inch/hour to cfs factor
};

// One time step of a chain: the layer's inflow rate passes through the
// reservoirs in order, each new outflow becoming the next one's inflow in
// the same step. Returns the last reservoir's new outflow.
inline double chain_step(double* state, std::size_t count, double c, double d, double x) {
    for (std::size_t j = 0; j < count; ++j) {
        const double kept = d * state[j];
        const double added = c * x;
        state[j] = kept + added;
        x = state[j];
    }
    return x;
}

// The inflow rate of a layer for one rainfall depth, in cfs:
// area * 1.00833 * ((fraction * depth) / dt_hr), in that order.
inline double inflow(const Step& step, double fraction, double depth) {
    const double share = fraction * depth;
    const double rate = share / step.dt_hr;
    return step.area_factor * rate;
}

// Routes one layer over the whole series, writing its outflow to `out`
// (reserved at exactly n values) and adding it into `total`. Chains of a
// known short length keep their state in registers; the arithmetic is the
// same either way.
template <std::size_t N>
void route_short(const Step& step, const Layer& layer, const std::vector<double>& rain, std::vector<double>& out,
                 std::vector<double>& total) {
    std::array<double, N> state;
    state.fill(layer.initial_q);
    const std::size_t n = rain.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double x = chain_step(state.data(), N, layer.c, layer.d, inflow(step, layer.fraction, rain[i]));
        out.push_back(x);
        total[i] = x + total[i];
    }
}

void route_any(const Step& step, const Layer& layer, const std::vector<double>& rain, std::vector<double>& out,
               std::vector<double>& total) {
    std::vector<double> state(layer.chain, layer.initial_q);
    const std::size_t n = rain.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double x = chain_step(state.data(), layer.chain, layer.c, layer.d, inflow(step, layer.fraction, rain[i]));
        out.push_back(x);
        total[i] = x + total[i];
    }
}

void route(const Step& step, const Layer& layer, const std::vector<double>& rain, std::vector<double>& out,
           std::vector<double>& total) {
    switch (layer.chain) {
        case 1:
            return route_short<1>(step, layer, rain, out, total);
        case 2:
            return route_short<2>(step, layer, rain, out, total);
        case 3:
            return route_short<3>(step, layer, rain, out, total);
        case 4:
            return route_short<4>(step, layer, rain, out, total);
        default:
            return route_any(step, layer, rain, out, total);
    }
}

}  // namespace

Result<LinearReservoir> make_linear_reservoir(TimeDelta k_duration, double gw_fraction, double initial_q,
                                              std::size_t num_reservoir) {
    auto duration = to_duration(k_duration);
    if (!duration) return std::unexpected(duration.error());
    const std::int32_t k_seconds = whole_seconds_i32(duration->as_seconds());
    if (k_seconds < 1) return value_error("k_duration must be > 0");
    if (gw_fraction < 0.0 || gw_fraction > 1.0) return value_error("gw_fraction must be between 0 and 1");
    if (num_reservoir == 0) return value_error("num_reservoir must be at least 1");
    return LinearReservoir{gw_fraction, initial_q, k_seconds, num_reservoir};
}

Result<BaseflowResult> run_linear_reservoir(double basin_area, const IncrementalTimeSeries& rainfall,
                                            const NamedMap<LinearReservoir>& reservoirs) {
    // The layers share the infiltrated depth, so together they may take at
    // most all of it. A NaN sum passes.
    double fraction = 0.0;
    for (const auto& [name, layer] : reservoirs) fraction += layer.gw_fraction;
    if (fraction > fraction_tolerance) return value_error("Total fraction " + float_text(fraction) + " > 1.0");

    const Step step{static_cast<double>(rainfall.time_step) / 3600.0, basin_area * acre_inch_per_hour_to_cfs};
    const double half = step.dt_hr * 0.5;

    // Every layer is checked before any is routed: the first failing layer
    // in order is reported, and a failing call does no routing at all.
    std::vector<Layer> layers;
    layers.reserve(reservoirs.size());
    for (const auto& [name, config] : reservoirs) {
        const double k_hr = static_cast<double>(config.k_duration) / 3600.0;
        // K of one reservoir; a chain of none gives infinity, which passes.
        const double k_per_res = k_hr / static_cast<double>(config.num_reservoir);
        if (k_per_res < half)
            return value_error("Stability Error: k_per_res (" + fixed_text(k_per_res, 4) + ") < 0.5*dt (" +
                               fixed_text(half, 4) + "). Increase k_hr or num_reservoir.");
        if (config.num_reservoir > max_chain_length)
            return value_error("num_reservoir " + std::to_string(config.num_reservoir) +
                               " is too large: a layer can chain at most " + std::to_string(max_chain_length) +
                               " reservoirs");
        const double c = step.dt_hr / (half + k_per_res);
        layers.push_back({config.gw_fraction, config.initial_q, c, 1.0 - c, config.num_reservoir});
    }

    const std::vector<double>& rain = rainfall.data;
    const std::size_t n = rain.size();
    BaseflowResult result{{std::vector<double>(n, 0.0), "discharge", rainfall.time_step}, {}};
    result.layers.reserve(layers.size());
    for (std::size_t index = 0; index < layers.size(); ++index) {
        std::vector<double> out;
        out.reserve(n);
        route(step, layers[index], rain, out, result.total.data);
        result.layers.emplace_back(reservoirs[index].first,
                                   ContinuousTimeSeries{std::move(out), "discharge", rainfall.time_step});
    }
    return result;
}

}  // namespace tarnwick::baseflow
