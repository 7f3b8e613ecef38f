#include "muskingum.hpp"

#include <cmath>
#include <cstddef>
#include <iterator>
#include <utility>

#include "cancel.hpp"
#include "large_buffer.hpp"

namespace tarnwick::muskingum {

namespace {

[[noreturn]] void empty_inflow() { internal_failure("index out of bounds: the len is 0 but the index is 0"); }

// Where a sweep stands: the last inflow read and the last outflow written.
struct Carry {
    double inflow;
    double outflow;
};

// One step of the recurrence at position i:
// O[i] = (C0 I[i] + C1 I[i-1]) + C2 O[i-1], every product and sum rounded on
// its own, in exactly that order.
inline Carry sweep(const double* in, std::size_t i, const Coefficients& c, Carry carry) {
    const double current = in[i];
    const double fresh = c.c0 * current;
    const double carried = c.c1 * carry.inflow;
    const double stored = c.c2 * carry.outflow;
    return {current, (fresh + carried) + stored};
}

// A whole pass in place: I[i] is read before O[i] is written over it. The
// pass is counted on `countdown` block by block (a unit hydrograph can hold
// far more ordinates than its caller gave values).
void route_in_place(double* data, std::size_t n, double first, const Coefficients& c, CancelCountdown& countdown) {
    Carry carry{data[0], first};
    data[0] = first;
    std::size_t start = 1;
    while (start < n) {
        const std::size_t stop = n - start > cancel_interval ? start + cancel_interval : n;
        for (std::size_t i = start; i < stop; ++i) {
            carry = sweep(data, i, c, carry);
            data[i] = carry.outflow;
        }
        countdown.add(stop - start);
        start = stop;
    }
}

// One pass over the non-empty `values` in place, counted on `countdown`.
void route_counted(Values& values, std::optional<double> initial_outflow, const Coefficients& c,
                   CancelCountdown& countdown) {
    const double first = initial_outflow.value_or(values[0]);
    if (values.size() == 1) {
        values[0] = first;  // a single value needs no coefficients
        countdown.add(1);
    } else {
        route_in_place(values.data(), values.size(), first, c, countdown);
    }
}

// The outflow of one pass over the caller's values, read as a sequence.
// Advancing only moves the position; reading computes the recurrence up to
// it from the iterator's own carried state. Read in order, as a vector's
// assign() does, every value is computed exactly once and written exactly
// once into storage allocated once: nothing is zeroed beforehand and the
// caller's values are not copied. Any other order of use is still
// correct, only slower, since each iterator catches up on its own.
class RoutedOutflow {
 public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = double;
    using difference_type = std::ptrdiff_t;
    using pointer = const double*;
    using reference = double;

    RoutedOutflow() = default;
    RoutedOutflow(const double* inflow, std::size_t position, const Coefficients& c, double first)
        : inflow_(inflow), position_(position), c_(c), carry_{inflow[0], first} {}

    double operator*() const {
        while (computed_ < position_) {
            ++computed_;
            carry_ = sweep(inflow_, computed_, c_, carry_);
        }
        return carry_.outflow;
    }
    RoutedOutflow& operator++() {
        ++position_;
        return *this;
    }
    RoutedOutflow operator++(int) {
        RoutedOutflow before = *this;
        ++position_;
        return before;
    }
    bool operator==(const RoutedOutflow& other) const { return position_ == other.position_; }

 private:
    const double* inflow_ = nullptr;
    std::size_t position_ = 0;
    Coefficients c_{};
    mutable std::size_t computed_ = 0;  // position that carry_ belongs to
    mutable Carry carry_{};
};

}  // namespace

bool x_outside_recommended_range(double x) { return x < 0.0 || x > 0.5 || std::isnan(x); }

Coefficients coefficients(double dt, double k, double x) {
    const double two_k = k + k;
    const double a = two_k * (1.0 - x);
    const double b = two_k * x;
    const double d = dt + a;
    return {(dt - b) / d, (dt + b) / d, (a - dt) / d};
}

Values muskingum_routing_core(Values inflow, std::optional<double> initial_outflow, double dt, double k, double x) {
    if (inflow.empty()) empty_inflow();
    CancelCountdown countdown;
    route_counted(inflow, initial_outflow, coefficients(dt, k, x), countdown);
    return inflow;
}

ContinuousTimeSeries run_muskingum_routing(const ContinuousTimeSeries& inflow, const Parameters& parameters) {
    const double k = parameters.k_seconds / static_cast<double>(parameters.sub_reaches);
    const double dt = static_cast<double>(inflow.time_step);
    const double x = parameters.x;

    if (inflow.data.empty()) empty_inflow();
    // The first pass reads the caller's values and builds the one vector
    // that becomes the result.
    const std::size_t n = inflow.data.size();
    const Coefficients c = coefficients(dt, k, x);
    const double* values = inflow.data.data();
    Values outflow;
    reserve_large(outflow, n);
    outflow.assign(RoutedOutflow(values, 0, c, parameters.initial_outflow),
                   RoutedOutflow(values, n, c, parameters.initial_outflow));

    // Every further sub-reach routes the previous outflow with no initial
    // outflow given, so it starts from its own first inflow: the reach's
    // initial outflow again. The passes are counted together, however short
    // each one is, so that a count of 10^18 can still be stopped; a pass
    // also weighs its own fixed cost. Every pass has the same coefficients.
    constexpr std::uint64_t pass_weight = 16;
    CancelCountdown countdown;
    for (std::int64_t passes = 1; passes < parameters.sub_reaches; ++passes) {
        route_counted(outflow, std::nullopt, c, countdown);
        countdown.add(pass_weight);
    }

    return {std::move(outflow), "discharge", inflow.time_step};
}

}  // namespace tarnwick::muskingum
