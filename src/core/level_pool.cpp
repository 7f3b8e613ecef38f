#include "level_pool.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "interp.hpp"
#include "large_buffer.hpp"

namespace tarnwick::reservoir {

namespace {

// The internal step: one second (the inflow's step is never shorter).
constexpr double h = 1.0;

// A continuous series read at whole seconds inside its span: get_value's
// arithmetic without its range checks, which a time inside the span always
// passes.
class SecondsReader {
 public:
    explicit SecondsReader(const ContinuousTimeSeries& series)
        : data_(series.data.data()),
          n_(series.data.size()),
          step_(static_cast<double>(series.time_step)),
          span_(static_cast<double>(total_duration(series))) {}

    double span() const { return span_; }

    // Requires a non-empty series and 0 <= t <= span.
    double at(std::int64_t t) const {
        double x = static_cast<double>(t);
        if (x > span_) x = span_;
        return interpolate_in_span(data_, n_, step_, x);
    }

 private:
    const double* data_;
    std::size_t n_;
    double step_;
    double span_;
};

// Each outlet kind prepared for evaluation once per second: bounds as plain
// numbers, its curve checked once and searched from the last bracket. An
// evaluation either yields the same flow as get_discharge or declines (by
// returning false), and the routing then asks get_discharge itself, which
// produces the error. Internal failures are thrown from the same point of
// the evaluation as get_discharge throws them.

struct FastUncontrolled {
    double offset;
    bool shifted;  // a zero offset changes at most the sign of a zero head,
                   // which no comparison or curve lookup can tell apart
    double bottom;
    double top;
    bool usable;  // the curve has points to read its ends from
    CurveLookup curve;

    [[gnu::always_inline]] bool discharge(double elevation, double& q) {
        const double head = shifted ? elevation + offset : elevation;
        if (!usable || head > top) return false;
        if (head < bottom) {
            q = 0.0;
            return true;
        }
        return curve.inside(head, q);
    }
};

struct FastControlled {
    double lower;
    double upper;
    double bottom;
    double top;
    double cap;
    bool usable;
    CurveLookup curve;

    [[gnu::always_inline]] bool discharge(double elevation, double& q) {
        if (gated(elevation, lower, upper)) {
            q = 0.0;
            return true;
        }
        if (!usable || elevation > top) return false;
        double flow = 0.0;
        if (!(elevation < bottom) && !curve.inside(elevation, flow)) return false;
        q = capped(flow, cap);
        return true;
    }
};

struct FastSpecified {
    double lower;
    double upper;
    bool empty;
    SecondsReader series;

    [[gnu::always_inline]] bool discharge(double elevation, std::int64_t t, double& q) {
        if (gated(elevation, lower, upper)) {
            q = 0.0;
            return true;
        }
        if (empty || static_cast<double>(t) > series.span()) return false;
        q = series.at(t);
        return true;
    }
};

struct FastConstant {
    double lower;
    double upper;
    double flow;

    [[gnu::always_inline]] bool discharge(double elevation, double& q) {
        q = gated(elevation, lower, upper) ? 0.0 : flow;
        return true;
    }
};

using FastOutlet = std::variant<FastUncontrolled, FastControlled, FastSpecified, FastConstant>;

double curve_bottom(const ElevationDischarge& curve) { return curve.elevation.empty() ? 0.0 : curve.elevation.front(); }
double curve_top(const ElevationDischarge& curve) { return curve.elevation.empty() ? 0.0 : curve.elevation.back(); }

CurveLookup rating_lookup(const ElevationDischarge& curve) { return CurveLookup(curve.elevation, curve.discharge); }

FastOutlet prepare(const UnControlledDischargeInfo& outlet) {
    const auto& curve = outlet.elevation_discharge;
    const double offset = outlet.elevation_offset.value_or(0.0);
    return FastUncontrolled{
        offset, offset != 0.0, curve_bottom(curve), curve_top(curve), !curve.elevation.empty(), rating_lookup(curve)};
}

FastOutlet prepare(const ControlledDischargeInfo& outlet) {
    const auto& curve = outlet.elevation_discharge;
    return FastControlled{lower_gate(outlet.minimum_elevation),
                          upper_gate(outlet.maximum_elevation),
                          curve_bottom(curve),
                          curve_top(curve),
                          outlet.maximum_release.value_or(std::numeric_limits<double>::infinity()),
                          !curve.elevation.empty(),
                          rating_lookup(curve)};
}

FastOutlet prepare(const SpecifiedDischargeInfo& outlet) {
    return FastSpecified{lower_gate(outlet.minimum_elevation), upper_gate(outlet.maximum_elevation),
                         outlet.discharge.data.empty(), SecondsReader(outlet.discharge)};
}

FastOutlet prepare(const ConstantDischargeInfo& outlet) {
    return FastConstant{lower_gate(outlet.minimum_elevation), upper_gate(outlet.maximum_elevation), outlet.discharge};
}

// The outlets of one routing call, evaluated in the caller's order, with one
// output list per outlet name.
class OutletBank {
 public:
    OutletBank(const NamedMap<DischargeInfo>& outlets, std::size_t recorded) : outlets_(outlets) {
        fast_.reserve(outlets.size());
        slot_.reserve(outlets.size());
        for (const auto& [name, info] : outlets) {
            fast_.push_back(std::visit([](const auto& kind) { return prepare(kind); }, info));
            // Names are unique in a caller's dict; a repeated name would share
            // the list of its first appearance.
            std::size_t k = 0;
            while (k < lists_.size() && lists_[k].first != name) ++k;
            if (k == lists_.size()) {
                lists_.emplace_back(name, Values());
                lists_.back().second.reserve(recorded);
            }
            slot_.push_back(k);
        }
    }

    // The outlets' flows at elevation e and time t added up in order, on a
    // recorded step each appended to its list. The total of the method
    // starts from 0.0; this sum starts from the first flow, which saves an
    // addition on the path from one second's elevation to the next. The two
    // differ at most in the sign of a zero result (the total is never -0.0),
    // so recorded totals take `sum + 0.0`, and the storage update cannot see
    // the difference (a zero storage is clamped to +0.0 either way). Returns
    // false with error() set when an outlet fails.
    template <bool Record>
    [[gnu::always_inline]] bool sum(double e, std::int64_t t, double& out) {
        const std::size_t count = fast_.size();
        double total = 0.0;
        if (count != 0) {
            if (!flow<Record>(0, e, t, total)) return false;
            for (std::size_t k = 1; k < count; ++k) {
                double q;
                if (!flow<Record>(k, e, t, q)) return false;
                total = total + q;
            }
        }
        out = total;
        return true;
    }

    Error& error() { return error_; }
    NamedMap<Values>& lists() { return lists_; }

 private:
    template <bool Record>
    [[gnu::always_inline]] bool flow(std::size_t k, double e, std::int64_t t, double& q) {
        if (!evaluate(fast_[k], e, t, q)) [[unlikely]] {
            auto checked = get_discharge(outlets_[k].second, e, t);
            if (!checked) {
                error_ = std::move(checked.error());
                return false;
            }
            q = *checked;
        }
        if constexpr (Record) lists_[slot_[k]].second.push_back(q);
        return true;
    }

    [[gnu::always_inline]] static bool evaluate(FastOutlet& outlet, double e, std::int64_t t, double& q) {
        switch (outlet.index()) {
            case 0:
                return std::get_if<0>(&outlet)->discharge(e, q);
            case 1:
                return std::get_if<1>(&outlet)->discharge(e, q);
            case 2:
                return std::get_if<2>(&outlet)->discharge(e, t, q);
            default:
                return std::get_if<3>(&outlet)->discharge(e, q);
        }
    }

    const NamedMap<DischargeInfo>& outlets_;
    std::vector<FastOutlet> fast_;
    std::vector<std::size_t> slot_;
    NamedMap<Values> lists_;
    Error error_;
};

// The state of the reservoir between seconds, and the loop that advances it.
class Router {
 public:
    Router(const ContinuousTimeSeries& inflow, double initial_storage, double initial_elevation,
           const ElevationStorage& curve, const NamedMap<DischargeInfo>& outlets)
        : curve_(curve),
          bank_(outlets, inflow.data.size() - 1),
          inflow_at_(inflow),
          elevation_at_(curve.storage, curve.elevation),
          S_(initial_storage),
          e_(initial_elevation),
          I_prev_(inflow.data[0]),
          second_weight_(outlets.size() + 1),
          block_seconds_(static_cast<std::int64_t>(cancel_interval / second_weight_) + 1) {}

    // The outflows at time t and the current elevation, recorded.
    bool record_outflows(std::int64_t t, Values& total) {
        if (!bank_.sum<true>(e_, t, O_)) return fail(std::move(bank_.error()));
        total.push_back(O_ + 0.0);
        return true;
    }

    // The seconds from `first` up to and including `last`, each evaluating
    // the outlets at the elevation before it and then moving the storage.
    // Only the outflows of `last` are recorded. A step of the inflow may
    // span years of seconds, so the unrecorded ones are taken in blocks
    // counted on the cancellation countdown, each second weighing as much as
    // its outlets.
    bool steps(std::int64_t first, std::int64_t last, Values& total) {
        // The state lives in locals for the loop so that it stays in registers.
        State state{S_, e_, I_prev_, 0.0};
        bool ok = true;
        for (std::int64_t block = first; block < last;) {
            const std::int64_t block_end = last - block > block_seconds_ ? block + block_seconds_ : last;
            for (std::int64_t t = block; t < block_end; ++t)
                if (!second<false>(t, state, total)) [[unlikely]] {
                    ok = false;
                    break;
                }
            if (!ok) break;
            countdown_.add(static_cast<std::uint64_t>(block_end - block) * second_weight_);
            block = block_end;
        }
        if (ok) ok = second<true>(last, state, total);
        S_ = state.S;
        e_ = state.e;
        I_prev_ = state.I_prev;
        return ok;
    }

    double storage() const { return S_; }
    double elevation() const { return e_; }
    Error& failure() { return failure_; }
    NamedMap<Values>& lists() { return bank_.lists(); }

 private:
    struct State {
        double S;
        double e;
        double I_prev;
        double O;
    };

    // One second at time t: the outflows at the elevation before it (added to
    // `total` when recorded), then the storage and elevation it leaves.
    template <bool Record>
    [[gnu::always_inline]] bool second(std::int64_t t, State& state, Values& total) {
        if (!bank_.sum<Record>(state.e, t, state.O)) [[unlikely]] {
            failure_ = std::move(bank_.error());
            return false;
        }
        if constexpr (Record) total.push_back(state.O + 0.0);
        const double I_now = inflow_at_.at(t);
        const double inflow_volume = ((state.I_prev + I_now) * 0.5) * h;
        const double S_new = (state.S + inflow_volume) - state.O * h;
        state.S = S_new > 0.0 ? S_new : 0.0;  // a NaN storage empties the reservoir too
        if (!elevation_at_.inside(state.S, state.e)) [[unlikely]] {
            auto checked = get_elevation(curve_, state.S);
            if (!checked) {
                failure_ = std::move(checked.error());
                return false;
            }
            state.e = *checked;
        }
        state.I_prev = I_now;
        return true;
    }

    bool fail(Error&& error) {
        failure_ = std::move(error);
        return false;
    }

    const ElevationStorage& curve_;
    OutletBank bank_;
    SecondsReader inflow_at_;
    CurveLookup elevation_at_;
    double S_;
    double e_;
    double I_prev_;
    double O_ = 0.0;
    Error failure_;
    std::uint64_t second_weight_;  // the outlets evaluated per second, and one
    std::int64_t block_seconds_;   // seconds between two looks at the countdown
    CancelCountdown countdown_;
};

ContinuousTimeSeries series(Values values, const char* kind, std::int32_t step) {
    return ContinuousTimeSeries{std::move(values), kind, step};
}

}  // namespace

Result<LevelPoolResult> run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                               const ElevationStorage& curve, const NamedMap<DischargeInfo>& outlets) {
    const auto initial_storage = get_storage(curve, initial_elevation);
    if (!initial_storage) return std::unexpected(initial_storage.error());

    // With no values the schedule would end at (0 - 1) steps: refuse the
    // series instead of running an unbounded loop.
    const std::size_t n = inflow.data.size();
    if (n == 0) return value_error(empty_inflow_message);
    const std::int32_t step = inflow.time_step;
    if (step < 1) internal_failure("the inflow's time step must be at least one second");

    // Storage, elevation, total and one list per outlet, n values each.
    if (!values_fit(outlets.size() + 3, n)) throw std::bad_alloc();
    Values storage;
    Values elevation;
    Values total;
    storage.reserve(n);
    elevation.reserve(n);
    total.reserve(n);
    storage.push_back(*initial_storage);
    elevation.push_back(initial_elevation);

    NamedMap<ContinuousTimeSeries> individual;
    if (n >= 2) {
        Router router(inflow, *initial_storage, initial_elevation, curve, outlets);
        // t = D: the outflows at e0 are recorded; the storage does not move,
        // and I[0] stays the previous inflow.
        std::int64_t t = step;
        if (!router.record_outflows(t, total)) return std::unexpected(std::move(router.failure()));
        // Every further stretch of D seconds ends on a recorded second.
        for (std::size_t j = 1; j + 1 < n; ++j) {
            if (!router.steps(t + 1, t + step, total)) return std::unexpected(std::move(router.failure()));
            t += step;
            storage.push_back(router.storage());
            elevation.push_back(router.elevation());
        }
        individual.reserve(router.lists().size());
        for (auto& [name, values] : router.lists())
            individual.emplace_back(name, series(std::move(values), "discharge", step));
    }

    return LevelPoolResult{series(std::move(storage), "volume", step), series(std::move(elevation), "elevation", step),
                           series(std::move(total), "discharge", step), std::move(individual)};
}

}  // namespace tarnwick::reservoir
