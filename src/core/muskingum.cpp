#include "muskingum.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

namespace tarnwick::muskingum {

namespace {

[[noreturn]] void empty_inflow() { internal_failure("index out of bounds: the len is 0 but the index is 0"); }

// The recurrence from in[1..n) with O[0] = first, handing each outflow to
// `emit(i, value)`. in[i] is read before O[i] is emitted, so `emit` may write
// over the inflow itself. The operations are exactly
// (C0 I[i] + C1 I[i-1]) + C2 O[i-1], each rounded on its own.
template <class Emit>
void sweep(const double* in, std::size_t n, double first, const Coefficients& c, Emit&& emit) {
    double previous_in = in[0];
    double previous_out = first;
    emit(std::size_t{0}, first);
    for (std::size_t i = 1; i < n; ++i) {
        const double current = in[i];
        const double fresh = c.c0 * current;
        const double carried = c.c1 * previous_in;
        const double stored = c.c2 * previous_out;
        const double out = (fresh + carried) + stored;
        emit(i, out);
        previous_in = current;
        previous_out = out;
    }
}

}  // namespace

bool x_outside_recommended_range(double x) { return x < 0.0 || x > 0.5 || std::isnan(x); }

Coefficients coefficients(double dt, double k, double x) {
    const double two_k = k + k;
    const double a = two_k * (1.0 - x);
    const double b = two_k * x;
    const double d = dt + a;
    return {(dt - b) / d, (dt + b) / d, (a - dt) / d};
}

std::vector<double> muskingum_routing_core(std::vector<double> inflow, std::optional<double> initial_outflow, double dt,
                                           double k, double x) {
    const std::size_t n = inflow.size();
    if (n == 0) empty_inflow();
    const double first = initial_outflow.value_or(inflow[0]);
    if (n == 1) {
        inflow[0] = first;
        return inflow;
    }
    double* data = inflow.data();
    sweep(data, n, first, coefficients(dt, k, x), [data](std::size_t i, double value) { data[i] = value; });
    return inflow;
}

ContinuousTimeSeries run_muskingum_routing(const ContinuousTimeSeries& inflow, const Parameters& parameters) {
    const std::size_t n = inflow.data.size();
    if (n == 0) empty_inflow();

    const double k = parameters.k_seconds / static_cast<double>(parameters.sub_reaches);
    const double dt = static_cast<double>(inflow.time_step);
    const double x = parameters.x;

    // First pass straight from the caller's values into the one vector that
    // becomes the result; a single value needs no coefficients at all.
    std::vector<double> outflow;
    outflow.reserve(n);
    if (n == 1) {
        outflow.push_back(parameters.initial_outflow);
    } else {
        sweep(inflow.data.data(), n, parameters.initial_outflow, coefficients(dt, k, x),
              [&outflow](std::size_t, double value) { outflow.push_back(value); });
    }

    // Every further sub-reach routes the previous outflow with no initial
    // outflow given, so it starts from its own first inflow: the reach's
    // initial outflow again.
    for (std::int64_t passes = 1; passes < parameters.sub_reaches; ++passes)
        outflow = muskingum_routing_core(std::move(outflow), std::nullopt, dt, k, x);

    return {std::move(outflow), "discharge", inflow.time_step};
}

}  // namespace tarnwick::muskingum
