#include "level_pool.hpp"

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "interp.hpp"

using namespace tarnwick;
using namespace tarnwick::reservoir;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
using V = Values;

// The routing exactly as the method reads, one scheduled second after the
// other: a remainder test for recording, every outlet and curve lookup
// through its plain entry (interp1d checks the curve on every call), the
// inflow through get_value. The fast routing must agree with it bit for bit.
Result<LevelPoolResult> reference_routing(const ContinuousTimeSeries& inflow, double e0, const ElevationStorage& curve,
                                          const NamedMap<DischargeInfo>& outlets) {
    Values storage{}, elevation{e0}, total;
    NamedMap<Values> lists;
    const auto s0 = get_storage(curve, e0);
    if (!s0) return std::unexpected(s0.error());
    storage.push_back(*s0);
    const auto n = static_cast<std::int64_t>(inflow.data.size());
    if (n == 0) return value_error(empty_inflow_message);
    const std::int64_t step = inflow.time_step;
    const double h = static_cast<double>(std::min<std::int64_t>(step, 1));
    const std::int64_t end = (n - 1) * step;
    double S = *s0, e = e0, I_prev = inflow.data[0];
    for (std::int64_t t = step; t <= end; t += 1) {
        const bool record = t % step == 0;
        double O = 0.0;
        for (const auto& [name, outlet] : outlets) {
            const auto q = get_discharge(outlet, e, t);
            if (!q) return std::unexpected(q.error());
            O = O + *q;
            if (record) {
                std::size_t k = 0;
                while (k < lists.size() && lists[k].first != name) ++k;
                if (k == lists.size()) lists.emplace_back(name, Values());
                lists[k].second.push_back(*q);
            }
        }
        if (record) total.push_back(O);
        if (t == step) continue;
        const auto I_now = get_value(inflow, static_cast<double>(t));
        if (!I_now) return std::unexpected(I_now.error());
        const double S_new = (S + ((I_prev + *I_now) * 0.5) * h) - O * h;
        S = S_new > 0.0 ? S_new : 0.0;
        const auto next = get_elevation(curve, S);
        if (!next) return std::unexpected(next.error());
        e = *next;
        if (record) {
            storage.push_back(S);
            elevation.push_back(e);
        }
        I_prev = *I_now;
    }
    LevelPoolResult result{{storage, "volume", inflow.time_step},
                           {elevation, "elevation", inflow.time_step},
                           {total, "discharge", inflow.time_step},
                           {}};
    for (auto& [name, values] : lists)
        result.reservoir_individual_outflows.emplace_back(name,
                                                          ContinuousTimeSeries{values, "discharge", inflow.time_step});
    return result;
}

// What a call ended with, in a form two routings can be compared by.
struct Outcome {
    std::optional<LevelPoolResult> result;
    std::optional<Error> error;
    std::string failure;
};

template <class Run>
Outcome outcome_of(Run&& run) {
    Outcome out;
    try {
        auto result = run();
        if (result)
            out.result = std::move(*result);
        else
            out.error = result.error();
    } catch (const InternalFailure& failure) {
        out.failure = failure.what();
    }
    return out;
}

bool same_series(const ContinuousTimeSeries& a, const ContinuousTimeSeries& b) {
    if (a.kind != b.kind || a.time_step != b.time_step || a.data.size() != b.data.size()) return false;
    for (std::size_t i = 0; i < a.data.size(); ++i)
        if (!check::same_bits(a.data[i], b.data[i])) return false;
    return true;
}

bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.failure != b.failure || a.error.has_value() != b.error.has_value() ||
        a.result.has_value() != b.result.has_value())
        return false;
    if (a.error) return a.error->kind == b.error->kind && a.error->message == b.error->message;
    if (!a.result) return true;
    const auto& x = *a.result;
    const auto& y = *b.result;
    if (!same_series(x.reservoir_storage, y.reservoir_storage) ||
        !same_series(x.reservoir_elevation, y.reservoir_elevation) ||
        !same_series(x.reservoir_total_outflow, y.reservoir_total_outflow) ||
        x.reservoir_individual_outflows.size() != y.reservoir_individual_outflows.size())
        return false;
    for (std::size_t k = 0; k < x.reservoir_individual_outflows.size(); ++k)
        if (x.reservoir_individual_outflows[k].first != y.reservoir_individual_outflows[k].first ||
            !same_series(x.reservoir_individual_outflows[k].second, y.reservoir_individual_outflows[k].second))
            return false;
    return true;
}

std::string describe(const Outcome& o) {
    if (!o.failure.empty()) return "failure: " + o.failure;
    if (o.error) return "error: " + o.error->message;
    return "result with " + std::to_string(o.result->reservoir_storage.data.size()) + " storages";
}

LevelPoolResult route(Values inflow, std::int32_t step, double e0, const ElevationStorage& curve,
                      const NamedMap<DischargeInfo>& outlets) {
    auto result = run_level_pool_routing({std::move(inflow), "discharge", step}, e0, curve, outlets);
    if (!result) {
        check::report(__FILE__, __LINE__, "routing failed: " + result.error().message);
        return {};
    }
    return std::move(*result);
}

void check_data(const ContinuousTimeSeries& series, const V& expected, const char* kind, int line) {
    bool same = series.data.size() == expected.size() && series.kind == kind;
    for (std::size_t i = 0; same && i < expected.size(); ++i) same = check::same_bits(series.data[i], expected[i]);
    if (!same) check::report(__FILE__, line, std::string("series of kind ") + series.kind + " differs");
}
#define CHECK_DATA(series, kind, ...) check_data(series, V __VA_ARGS__, kind, __LINE__)

ElevationStorage linear_curve(double top_storage) { return *make_elevation_storage({0, 100}, {0, top_storage}); }
ElevationDischarge identity_rating() { return *make_elevation_discharge({0, 100}, {0, 100}); }

}  // namespace

TEST(level_pool_constant_outlet_holds_the_level) {
    const auto result =
        route({10, 10, 10}, 3600, 50, linear_curve(1e9), {{"spill", ConstantDischargeInfo{10, {}, {}}}});
    CHECK_DATA(result.reservoir_storage, "volume", {5e8, 5e8});
    CHECK_DATA(result.reservoir_elevation, "elevation", {50, 50});
    CHECK_DATA(result.reservoir_total_outflow, "discharge", {10, 10});
    CHECK_EQ(result.reservoir_individual_outflows.size(), 1u);
    CHECK_EQ(result.reservoir_individual_outflows[0].first, std::string("spill"));
    CHECK_DATA(result.reservoir_individual_outflows[0].second, "discharge", {10, 10});
    CHECK_EQ(result.reservoir_storage.time_step, 3600);
}

TEST(level_pool_without_outlets_fills_up) {
    const auto result = route({10, 10, 10}, 3600, 50, linear_curve(1e9), {});
    CHECK_DATA(result.reservoir_storage, "volume", {5e8, 5e8 + 36000});
    CHECK_DATA(result.reservoir_total_outflow, "discharge", {0, 0});
    CHECK(result.reservoir_individual_outflows.empty());
}

TEST(level_pool_spillway_empties_the_reservoir) {
    const auto result = route({0, 0, 0}, 2, 50, linear_curve(100),
                              {{"spill", UnControlledDischargeInfo{identity_rating(), std::nullopt}}});
    CHECK_DATA(result.reservoir_storage, "volume", {50, 0});
    CHECK_DATA(result.reservoir_elevation, "elevation", {50, 0});
    CHECK_DATA(result.reservoir_total_outflow, "discharge", {50, 0});
    CHECK_DATA(result.reservoir_individual_outflows[0].second, "discharge", {50, 0});
}

TEST(level_pool_first_storage_change_skips_the_first_scheduled_inflow) {
    // Only the step at t = 2 moves the storage, with I[0] = 0 and I(2) = 4;
    // the 100 at one second is never read.
    const auto result = route({0, 100, 4}, 1, 0, linear_curve(100), {});
    CHECK_DATA(result.reservoir_storage, "volume", {0, 2});
    CHECK_DATA(result.reservoir_elevation, "elevation", {0, 2});
    CHECK_DATA(result.reservoir_total_outflow, "discharge", {0, 0});
}

TEST(level_pool_one_and_two_inflow_values) {
    const NamedMap<DischargeInfo> outlets{{"spill", ConstantDischargeInfo{10, {}, {}}}};
    const auto one = route({7}, 3600, 50, linear_curve(1e9), outlets);
    CHECK_DATA(one.reservoir_storage, "volume", {5e8});
    CHECK_DATA(one.reservoir_elevation, "elevation", {50});
    CHECK_DATA(one.reservoir_total_outflow, "discharge", {});
    CHECK(one.reservoir_individual_outflows.empty());
    const auto two = route({7, not_a_number}, 3600, 50, linear_curve(1e9), outlets);
    CHECK_DATA(two.reservoir_storage, "volume", {5e8});
    CHECK_DATA(two.reservoir_total_outflow, "discharge", {10});
    CHECK_DATA(two.reservoir_individual_outflows[0].second, "discharge", {10});
}

TEST(level_pool_clamps_storage_at_zero) {
    // 50 units drain at 80 per second: the storage stops at 0.0 while the
    // recorded outflow is not reduced to match.
    const auto drained = route({0, 0, 0}, 2, 50, linear_curve(100), {{"pump", ConstantDischargeInfo{80, {}, {}}}});
    CHECK_DATA(drained.reservoir_storage, "volume", {50, 0});
    CHECK_DATA(drained.reservoir_total_outflow, "discharge", {80, 80});
    // A NaN inflow makes the storage NaN, which also empties the reservoir.
    const auto flooded = route({1, 1, not_a_number}, 2, 50, linear_curve(100), {});
    CHECK_DATA(flooded.reservoir_storage, "volume", {50, 0});
    CHECK_DATA(flooded.reservoir_elevation, "elevation", {50, 0});
}

TEST(level_pool_empty_storage_is_positive_zero) {
    // A storage that comes out as -0.0 is stored as 0.0 (the larger of the
    // two zeros); the initial storage is recorded as the curve gives it.
    const auto curve = *make_elevation_storage({0, 1}, {-0.0, 1});
    const auto result = route({-0.0, -0.0, -0.0}, 1, 0, curve, {});
    CHECK_DATA(result.reservoir_storage, "volume", {-0.0, 0.0});
}

TEST(level_pool_total_is_never_negative_zero) {
    // The total is summed from 0.0, so flows of -0.0 add up to +0.0.
    const ConstantDischargeInfo negative_zero{-0.0, {}, {}};
    const auto two = route({1, 1, 1}, 2, 50, linear_curve(100), {{"a", negative_zero}, {"b", negative_zero}});
    CHECK_DATA(two.reservoir_total_outflow, "discharge", {0.0, 0.0});
    CHECK_DATA(two.reservoir_individual_outflows[1].second, "discharge", {-0.0, -0.0});
    const auto one = route({1, 1, 1}, 2, 50, linear_curve(100), {{"a", negative_zero}});
    CHECK_DATA(one.reservoir_total_outflow, "discharge", {0.0, 0.0});
    CHECK_DATA(one.reservoir_storage, "volume", {50, 52});
}

TEST(level_pool_errors) {
    const auto curve = linear_curve(100);
    const ContinuousTimeSeries inflow{{0, 0, 0}, "discharge", 2};
    const NamedMap<DischargeInfo> fine{{"spill", UnControlledDischargeInfo{identity_rating(), std::nullopt}}};
    CHECK_ERROR(run_level_pool_routing(inflow, 100.5, curve, fine),
                "`elevation` 100.5 is outside the range of the elevation-storage curve.");
    CHECK_FAILURE(run_level_pool_routing(inflow, not_a_number, curve, fine), interp_nan_message);
    CHECK_FAILURE(run_level_pool_routing(inflow, 1, *make_elevation_storage({1}, {1}), fine), interp_too_short_message);

    // Draining below a curve that starts above zero storage.
    CHECK_ERROR(run_level_pool_routing(inflow, 50, *make_elevation_storage({0, 100}, {10, 110}),
                                       {{"pump", ConstantDischargeInfo{80, {}, {}}}}),
                "`storage` 0 is outside the range of the elevation-storage curve.");
    // Filling above the top.
    CHECK_ERROR(run_level_pool_routing({{100, 100, 100}, "discharge", 2}, 50, curve, {}),
                "`storage` 150 is outside the range of the elevation-storage curve.");

    // The first failing outlet in the caller's order is reported.
    const auto low_rating = *make_elevation_discharge({0, 10}, {0, 1});
    const NamedMap<DischargeInfo> failing{
        {"fine", ConstantDischargeInfo{1, {}, {}}},
        {"low", UnControlledDischargeInfo{low_rating, std::nullopt}},
        {"short", SpecifiedDischargeInfo{{{1}, "discharge", 1}, {}, {}, {}}},
    };
    CHECK_ERROR(run_level_pool_routing(inflow, 50, curve, failing),
                "elevation 50 is above the maximum of the elevation-discharge curve (10).");
    const NamedMap<DischargeInfo> reordered{failing[2], failing[1]};
    CHECK_ERROR(run_level_pool_routing(inflow, 50, curve, reordered),
                "simulation duration 2s exceeds the specified discharge series length (0s).");
}

TEST(level_pool_refuses_an_empty_inflow) {
    const ContinuousTimeSeries empty{{}, "discharge", 3600};
    CHECK_ERROR(run_level_pool_routing(empty, 50, linear_curve(100), {}), empty_inflow_message);
    CHECK(run_level_pool_routing(empty, 50, linear_curve(100), {}).error().kind == ErrorKind::value);
    // A bad initial elevation is still met first.
    CHECK_ERROR(run_level_pool_routing(empty, 500, linear_curve(100), {}),
                "`elevation` 500 is outside the range of the elevation-storage curve.");
}

TEST(level_pool_specified_outlet_is_asked_from_step_to_end) {
    // The series spans exactly (n - 1) steps, so the last second is read.
    const NamedMap<DischargeInfo> outlets{
        {"release", SpecifiedDischargeInfo{{{1, 2, 3, 4}, "discharge", 3}, {}, {}, {}}}};
    const auto result = route({0, 0, 0, 0}, 3, 50, linear_curve(1e6), outlets);
    CHECK_DATA(result.reservoir_individual_outflows[0].second, "discharge", {2, 3, 4});
    CHECK_ERROR(run_level_pool_routing({{0, 0, 0, 0, 0}, "discharge", 3}, 50, linear_curve(1e6), outlets),
                "simulation duration 10s exceeds the specified discharge series length (9s).");
}

// --- Randomized agreement with the reference ----------------------------------

namespace {

class Generator {
 public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}

    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(random_() % n); }
    bool chance(double p) { return unit() < p; }

    // Ascending values from `start`; whole steps make exact knot hits likely.
    V ascending(std::size_t n, double start, double mean_gap, bool whole, double flat_chance = 0.0) {
        V values(n);
        double value = start;
        for (auto& v : values) {
            v = value;
            if (!chance(flat_chance))
                value += whole ? std::max(1.0, std::round(mean_gap * 2 * unit())) : mean_gap * (0.05 + 2 * unit());
        }
        return values;
    }

    std::optional<double> maybe(double value, double p = 0.5) {
        if (chance(0.03)) return not_a_number;
        return chance(p) ? std::optional<double>(value) : std::nullopt;
    }

    struct Case {
        ContinuousTimeSeries inflow;
        double e0;
        ElevationStorage curve;
        NamedMap<DischargeInfo> outlets;
    };

    Case make(std::int32_t max_step, std::size_t max_n) {
        const bool whole = chance(0.5);
        const std::size_t m = chance(0.01) ? below(2) : 2 + below(24);
        const double base_storage = chance(0.7) ? 0.0 : 100 * unit();
        ElevationStorage curve{ascending(m, 100, 1.0, whole), ascending(m, base_storage, 500.0, whole)};
        const double bottom = m ? curve.elevation.front() : 100;
        const double top = m ? curve.elevation.back() : 101;

        Case c{{}, 0, curve, {}};
        const std::size_t n = chance(0.02) ? 0 : 1 + below(max_n);
        c.inflow.time_step = 1 + static_cast<std::int32_t>(below(static_cast<std::size_t>(max_step)));
        c.inflow.kind = "discharge";
        for (std::size_t i = 0; i < n; ++i)
            c.inflow.data.push_back(chance(0.005) ? not_a_number : whole ? std::round(30 * unit()) : 30 * unit());
        if (chance(0.05))
            c.e0 = chance(0.5) ? bottom - 1 : top + 0.5;
        else if (m && chance(0.3))
            c.e0 = curve.elevation[below(m)];
        else
            c.e0 = bottom + (top - bottom) * unit();

        const std::size_t outlets = below(5);
        for (std::size_t k = 0; k < outlets; ++k) {
            const std::size_t points = 2 + below(10);
            auto rating = [&] {
                const double from = bottom - 2 + 4 * unit();
                return ElevationDischarge{ascending(points, from, (top - bottom + 3) / points, whole),
                                          ascending(points, 0.0, 4.0, whole, 0.2)};
            };
            std::string name = "outlet " + std::to_string(k);
            switch (below(4)) {
                case 0:
                    c.outlets.emplace_back(
                        name, UnControlledDischargeInfo{
                                  rating(), chance(0.2) ? maybe(chance(0.5) ? 0.0 : -0.0) : maybe(-1 + 2 * unit())});
                    break;
                case 1:
                    c.outlets.emplace_back(name, make_controlled_discharge(rating(), maybe(bottom + unit()),
                                                                           maybe(top - unit()), maybe(20 * unit())));
                    break;
                case 2: {
                    ContinuousTimeSeries series{{}, "discharge", 1 + static_cast<std::int32_t>(below(60))};
                    const std::size_t len = below(12);
                    for (std::size_t i = 0; i < len; ++i) series.data.push_back(10 * unit());
                    c.outlets.emplace_back(name, SpecifiedDischargeInfo{series, maybe(bottom + unit(), 0.3),
                                                                        maybe(top - unit(), 0.3), maybe(1.0)});
                    break;
                }
                default:
                    c.outlets.emplace_back(name, ConstantDischargeInfo{chance(0.2) ? -0.0
                                                                       : whole     ? std::round(10 * unit())
                                                                                   : 10 * unit(),
                                                                       maybe(bottom + unit()), maybe(top - unit())});
            }
        }
        return c;
    }

 private:
    std::mt19937_64 random_;
};

int compare_cases(std::uint64_t seed, int cases, std::int32_t max_step, std::size_t max_n) {
    Generator generate(seed);
    int results = 0;
    for (int i = 0; i < cases; ++i) {
        const auto c = generate.make(max_step, max_n);
        const auto fast = outcome_of([&] { return run_level_pool_routing(c.inflow, c.e0, c.curve, c.outlets); });
        const auto reference = outcome_of([&] { return reference_routing(c.inflow, c.e0, c.curve, c.outlets); });
        if (!same_outcome(fast, reference))
            check::report(__FILE__, __LINE__,
                          "case " + std::to_string(i) + ": " + describe(fast) + " vs reference " + describe(reference));
        results += fast.result.has_value();
    }
    return results;
}

}  // namespace

TEST(level_pool_matches_the_reference_on_random_short_steps) {
    // Most cases must route to the end, or the comparison proves little.
    CHECK(compare_cases(1, 4000, 40, 14) > 1000);
}

TEST(level_pool_matches_the_reference_on_random_hourly_steps) { CHECK(compare_cases(2, 60, 3600, 5) > 15); }
