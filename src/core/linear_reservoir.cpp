#include "linear_reservoir.hpp"

#include <array>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "float_text.hpp"
#include "large_buffer.hpp"

namespace tarnwick::baseflow {

namespace {

// Acre-inches per hour in cubic feet per second, to five decimals: 1.00833
// (the exact factor is 1.008333...; the rounded one is the one used here).
constexpr double acre_inch_per_hour_to_cfs = 1.00833;

// Sums of fractions up to this pass, to forgive rounding in decimal
// fractions meant to add up to exactly one.
constexpr double fraction_tolerance = 1.000001;

// The routing constants of one layer, fixed before its pass.
struct Layer {
    double fraction;   // gw_fraction
    double initial_q;  // starting outflow of every reservoir
    double c;          // C = dt / (0.5 dt + K)
    double d;          // 1 - C
    std::size_t chain;
};

// The depth rate of one step, share / dt_hr, computed by division...
struct Divide {
    double dt_hr;
    double operator()(double share) const { return share / dt_hr; }
};

// ...or, when dt_hr is a power of two (15 and 30 minutes, 1 and 2 hours), by
// multiplying with its reciprocal, which is then exact: both operations
// round the same exact value share * 2^-k once, so the results are
// bit-identical (NaN, infinities, zeros and subnormals included), and the
// multiply spares a division whose throughput would otherwise bound the loop.
struct ScaleExactly {
    double inverse;
    double operator()(double share) const { return share * inverse; }
};

// Is 1 / v exactly representable, so that dividing by v and multiplying by
// 1 / v always agree? True for normal powers of two whose reciprocal is
// normal too.
bool has_exact_reciprocal(double v) {
    if (!std::isnormal(v) || v < 0.0) return false;
    int exponent = 0;
    return std::frexp(v, &exponent) == 0.5 && std::isnormal(1.0 / v);
}

// The shared constants of one call.
template <class Rate>
struct Step {
    Rate rate;           // share / dt_hr, dt_hr the time step in hours
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
template <class Rate>
inline double inflow(const Step<Rate>& step, double fraction, double depth) {
    const double share = fraction * depth;
    const double rate = step.rate(share);
    return step.area_factor * rate;
}

// Routes a group of L consecutive layers whose chains all hold N reservoirs,
// in one pass over the rainfall. Each chain is a sequential recurrence whose
// speed is bound by the latency of one multiply and one add per reservoir;
// stepping several independent layers side by side lets the processor
// overlap them. The state lives in registers, every layer's arithmetic is
// exactly that of routing it alone, and each step's outflows are added into
// the total in layer order, as one layer after the other would.
template <std::size_t N, std::size_t L, class Rate>
void route_group(const Step<Rate>& step_ref, const Layer* group, const Values& rain, Values* const* outs,
                 Values& total) {
    const Step<Rate> step = step_ref;  // locals: output stores cannot force reloads
    std::array<double, L> fraction, c, d;
    std::array<std::array<double, N>, L> state;
    std::array<double*, L> out;
    for (std::size_t l = 0; l < L; ++l) {
        fraction[l] = group[l].fraction;
        c[l] = group[l].c;
        d[l] = group[l].d;
        state[l].fill(group[l].initial_q);
        out[l] = outs[l]->data();
    }
    const double* depth = rain.data();
    double* sum = total.data();
    const std::size_t n = rain.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::array<double, L> x;
        for (std::size_t l = 0; l < L; ++l)
            x[l] = chain_step(state[l].data(), N, c[l], d[l], inflow(step, fraction[l], depth[i]));
        double running = sum[i];
        for (std::size_t l = 0; l < L; ++l) {
            out[l][i] = x[l];
            running = x[l] + running;
        }
        sum[i] = running;
    }
}

// One layer with a chain of any length (none included), its state in memory.
template <class Rate>
void route_any(const Step<Rate>& step_ref, const Layer& layer, const Values& rain, Values& out, Values& total) {
    const Step<Rate> step = step_ref;
    const double fraction = layer.fraction;
    const double c = layer.c;
    const double d = layer.d;
    const std::size_t chain = layer.chain;
    Values chain_state(chain, layer.initial_q);
    double* state = chain_state.data();
    const double* depth = rain.data();
    double* sum = total.data();
    double* written = out.data();
    const std::size_t n = rain.size();
    // A chain may hold millions of reservoirs: each step counts them.
    CancelCountdown countdown;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = chain_step(state, chain, c, d, inflow(step, fraction, depth[i]));
        written[i] = x;
        sum[i] = x + sum[i];
        countdown.add(chain + 1);
    }
}

constexpr std::size_t max_short_chain = 4;
constexpr std::size_t max_group = 4;

template <std::size_t N, class Rate>
void route_short(const Step<Rate>& step, const Layer* group, std::size_t count, const Values& rain, Values* const* outs,
                 Values& total) {
    switch (count) {
        case 1:
            return route_group<N, 1, Rate>(step, group, rain, outs, total);
        case 2:
            return route_group<N, 2, Rate>(step, group, rain, outs, total);
        case 3:
            return route_group<N, 3, Rate>(step, group, rain, outs, total);
        default:
            return route_group<N, 4, Rate>(step, group, rain, outs, total);
    }
}

// Routes every layer in order: runs of consecutive layers with the same
// short chain go together (at most max_group at a time), the others alone.
template <class Rate>
void route_all(const Step<Rate>& step, const std::vector<Layer>& layers, const Values& rain, std::vector<Values*>& outs,
               Values& total) {
    std::size_t first = 0;
    while (first < layers.size()) {
        const std::size_t chain = layers[first].chain;
        if (chain == 0 || chain > max_short_chain) {
            route_any(step, layers[first], rain, *outs[first], total);
            ++first;
            continue;
        }
        std::size_t count = 1;
        while (count < max_group && first + count < layers.size() && layers[first + count].chain == chain) ++count;
        const Layer* group = layers.data() + first;
        Values* const* group_outs = outs.data() + first;
        switch (chain) {
            case 1:
                route_short<1, Rate>(step, group, count, rain, group_outs, total);
                break;
            case 2:
                route_short<2, Rate>(step, group, count, rain, group_outs, total);
                break;
            case 3:
                route_short<3, Rate>(step, group, count, rain, group_outs, total);
                break;
            default:
                route_short<4, Rate>(step, group, count, rain, group_outs, total);
                break;
        }
        first += count;
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

    const double dt_hr = static_cast<double>(rainfall.time_step) / 3600.0;
    const double area_factor = basin_area * acre_inch_per_hour_to_cfs;
    const double half = dt_hr * 0.5;

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
        const double c = dt_hr / (half + k_per_res);
        layers.push_back({config.gw_fraction, config.initial_q, c, 1.0 - c, config.num_reservoir});
    }

    const Values& rain = rainfall.data;
    const std::size_t n = rain.size();
    // The total and one series per layer are held together.
    if (!values_fit(layers.size() + 1, n)) throw std::bad_alloc();
    BaseflowResult result{{{}, "discharge", rainfall.time_step}, {}};
    reserve_large(result.total.data, n);
    result.total.data.resize(n, 0.0);
    std::vector<Values> outs(layers.size());
    std::vector<Values*> out_ptrs;
    out_ptrs.reserve(layers.size());
    // Each layer's series is sized, not filled: the routing writes every
    // value in place (growing it value by value costs a load and a store of
    // its end per value, in the routing's loop).
    for (Values& out : outs) {
        reserve_large(out, n);
        out.resize(n);
        out_ptrs.push_back(&out);
    }
    if (has_exact_reciprocal(dt_hr))
        route_all(Step<ScaleExactly>{{1.0 / dt_hr}, area_factor}, layers, rain, out_ptrs, result.total.data);
    else
        route_all(Step<Divide>{{dt_hr}, area_factor}, layers, rain, out_ptrs, result.total.data);

    result.layers.reserve(layers.size());
    for (std::size_t index = 0; index < layers.size(); ++index)
        result.layers.emplace_back(reservoirs[index].first,
                                   ContinuousTimeSeries{std::move(outs[index]), "discharge", rainfall.time_step});
    return result;
}

}  // namespace tarnwick::baseflow
