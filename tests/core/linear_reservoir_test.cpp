#include "linear_reservoir.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"

using namespace tarnwick;
using baseflow::LinearReservoir;
using baseflow::make_linear_reservoir;
using baseflow::run_linear_reservoir;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

IncrementalTimeSeries rain(Values data, std::int32_t step = 3600) { return {std::move(data), "rainfall", step}; }

LinearReservoir layer(double k_hours, double fraction, double initial_q, std::size_t chain = 1) {
    return {fraction, initial_q, static_cast<std::int32_t>(k_hours * 3600.0), chain};
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fmax(1.0, std::fabs(b)); }

bool near_all(const Values& a, const Values& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!near(a[i], b[i])) return false;
    return true;
}

bool same_bits_all(const Values& a, const Values& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!check::same_bits(a[i], b[i])) return false;
    return true;
}

// The routing written out plainly, one layer after the other with a division
// in every step: the reference the grouped, register-held and
// reciprocal-scaled passes must match bit for bit.
baseflow::BaseflowResult reference(double area, const IncrementalTimeSeries& r,
                                   const NamedMap<LinearReservoir>& layers) {
    const double dt_hr = static_cast<double>(r.time_step) / 3600.0;
    const double area_factor = area * 1.00833;
    const double half = dt_hr * 0.5;
    baseflow::BaseflowResult out{{Values(r.data.size(), 0.0), "discharge", r.time_step}, {}};
    for (const auto& [name, config] : layers) {
        const double k_per_res =
            (static_cast<double>(config.k_duration) / 3600.0) / static_cast<double>(config.num_reservoir);
        const double c = dt_hr / (half + k_per_res);
        const double d = 1.0 - c;
        Values state(config.num_reservoir, config.initial_q);
        Values flow;
        for (std::size_t i = 0; i < r.data.size(); ++i) {
            double x = area_factor * ((config.gw_fraction * r.data[i]) / dt_hr);
            for (double& s : state) {
                const double kept = d * s;
                const double added = c * x;
                s = kept + added;
                x = s;
            }
            flow.push_back(x);
            out.total.data[i] = flow[i] + out.total.data[i];
        }
        out.layers.emplace_back(name, ContinuousTimeSeries{flow, "discharge", r.time_step});
    }
    return out;
}

}  // namespace

TEST(worked_example_two_layers) {
    const NamedMap<LinearReservoir> layers{{"a", layer(2, 0.5, 0.0)}, {"b", layer(4, 0.25, 1.0, 2)}};
    auto result = run_linear_reservoir(100.0, rain({1.0, 0.0, 0.0}), layers);
    CHECK(result.has_value());
    CHECK(near_all(result->layers[0].second.data, {20.1666, 12.09996, 7.259976}));
    CHECK(near_all(result->layers[1].second.data, {4.87332, 5.487984, 4.8311856}));
    CHECK(near_all(result->total.data, {25.03992, 17.587944, 12.0911616}));
    CHECK_EQ(result->layers[0].first, "a");
    CHECK_EQ(result->layers[1].first, "b");
    CHECK_EQ(result->total.kind, "discharge");
    CHECK_EQ(result->total.time_step, 3600);
    CHECK_EQ(result->layers[1].second.kind, "discharge");
}

TEST(matches_the_plain_routing_bit_for_bit) {
    // Mixed chain lengths (grouped runs of equal short chains, long chains,
    // an empty chain), power-of-two and other steps, awkward values.
    const Values depths{0.0, 1.3, 0.07, -0.0, 2.5e-310, 0.3, 1e300, 0.0, 0.123456789, 4.2, 0.0, 0.5};
    const std::vector<std::vector<std::size_t>> chains{
        {1}, {2, 2, 2}, {3, 3, 3, 3, 3, 3}, {1, 2, 2, 1, 4, 4, 4, 4, 4}, {7, 2, 0, 2, 2}, {5}, {4, 4}};
    for (std::int32_t step : {900, 1800, 3600, 7200, 600, 10800, 86400, 1}) {
        for (const auto& lengths : chains) {
            NamedMap<LinearReservoir> layers;
            for (std::size_t l = 0; l < lengths.size(); ++l) {
                const double k_hours = 200.0 + 7.0 * static_cast<double>(l);
                layers.emplace_back("layer" + std::to_string(l), layer(k_hours, 0.02 + 0.01 * static_cast<double>(l),
                                                                       0.3 * static_cast<double>(l), lengths[l]));
            }
            const auto r = rain(depths, step);
            auto ours = run_linear_reservoir(640.0, r, layers);
            const auto expected = reference(640.0, r, layers);
            CHECK(ours.has_value());
            if (!ours) continue;
            CHECK(same_bits_all(ours->total.data, expected.total.data));
            for (std::size_t l = 0; l < lengths.size(); ++l)
                CHECK(same_bits_all(ours->layers[l].second.data, expected.layers[l].second.data));
        }
    }
}

TEST(non_finite_values_flow_through) {
    // Fractions set out of range through the attribute are not checked.
    const NamedMap<LinearReservoir> layers{
        {"neg", layer(5, -0.5, 0.0, 2)}, {"nan", layer(5, not_a_number, 0.0, 2)}, {"inf_q", layer(5, 0.1, inf, 2)}};
    const auto r = rain({1.0, not_a_number, inf, 0.0}, 3600);
    auto ours = run_linear_reservoir(-10.0, r, layers);
    CHECK(ours.has_value());
    const auto expected = reference(-10.0, r, layers);
    CHECK(same_bits_all(ours->total.data, expected.total.data));
    for (std::size_t l = 0; l < layers.size(); ++l)
        CHECK(same_bits_all(ours->layers[l].second.data, expected.layers[l].second.data));
    CHECK(std::isnan(ours->layers[1].second.data[0]));
}

TEST(fraction_check) {
    const auto r = rain({1.0});
    CHECK_ERROR(run_linear_reservoir(1.0, r, {{"a", layer(2, 0.75, 0)}, {"b", layer(2, 0.5, 0)}}),
                "Total fraction 1.25 > 1.0");
    CHECK_ERROR(run_linear_reservoir(1.0, r, {{"a", layer(2, 2.0, 0)}}), "Total fraction 2 > 1.0");
    CHECK_ERROR(run_linear_reservoir(1.0, r, {{"a", layer(2, inf, 0)}}), "Total fraction inf > 1.0");
    CHECK(run_linear_reservoir(1.0, r, {{"a", layer(2, 0.5, 0)}, {"b", layer(2, 0.5000005, 0)}}).has_value());
    CHECK(run_linear_reservoir(1.0, r, {{"a", layer(2, 1.000001, 0)}}).has_value());
    CHECK(run_linear_reservoir(1.0, r, {{"a", layer(2, not_a_number, 0)}, {"b", layer(2, 5.0, 0)}}).has_value());
    // The fraction check comes before any stability check.
    CHECK_ERROR(run_linear_reservoir(1.0, r, {{"a", layer(0.1, 0.75, 0)}, {"b", layer(2, 0.5, 0)}}),
                "Total fraction 1.25 > 1.0");
}

TEST(stability_check) {
    const auto r = rain({1.0, 0.0, 0.0});
    LinearReservoir twenty_minutes{0.5, 0.0, 1200, 1};
    CHECK_ERROR(run_linear_reservoir(100.0, r, {{"a", twenty_minutes}}),
                "Stability Error: k_per_res (0.3333) < 0.5*dt (0.5000). Increase k_hr or num_reservoir.");
    // The first failing layer in the caller's order is reported.
    CHECK_ERROR(
        run_linear_reservoir(100.0, r, {{"ok", layer(2, 0.1, 0)}, {"b", layer(1, 0.1, 0, 4)}, {"c", twenty_minutes}}),
        "Stability Error: k_per_res (0.2500) < 0.5*dt (0.5000). Increase k_hr or num_reservoir.");
    // Still checked when there is no rainfall at all.
    CHECK(!run_linear_reservoir(100.0, rain({}), {{"a", twenty_minutes}}).has_value());
}

TEST(chain_length_is_bounded_before_allocation) {
    const auto r = rain({1.0}, 1);
    // K of 2^31 - 1 seconds over a one-second step keeps a chain of 2^31
    // stable, but its state would take 16 GiB.
    LinearReservoir huge{0.1, 0.0, 2147483647, std::size_t{1} << 31};
    CHECK_ERROR(run_linear_reservoir(1.0, r, {{"a", huge}}),
                "num_reservoir 2147483648 is too large: a layer can chain at most 16777216 reservoirs");
    huge.num_reservoir = std::numeric_limits<std::size_t>::max();  // fails stability first
    CHECK(run_linear_reservoir(1.0, r, {{"a", huge}}).error().message.starts_with("Stability Error"));
    huge.num_reservoir = 1000;
    CHECK(run_linear_reservoir(1.0, r, {{"a", huge}}).has_value());
}

TEST(make_linear_reservoir_truncates_then_checks_in_order) {
    CHECK_EQ(make_linear_reservoir({0, 1, 500000}, 0.3, 0, 1)->k_duration, 1);          // 1.5 s
    CHECK_EQ(make_linear_reservoir({30000, 0, 0}, 0.3, 0, 1)->k_duration, 2147483647);  // saturates
    CHECK_ERROR(make_linear_reservoir({-1, 86399, 0}, 0.3, 0, 1), negative_duration_message);
    CHECK_ERROR(make_linear_reservoir({0, 0, 999000}, 2.0, 0, 0), "k_duration must be > 0");
    CHECK_ERROR(make_linear_reservoir({0, 60, 0}, 2.0, 0, 0), "gw_fraction must be between 0 and 1");
    CHECK_ERROR(make_linear_reservoir({0, 60, 0}, 0.5, 0, 0), "num_reservoir must be at least 1");
    CHECK(make_linear_reservoir({0, 60, 0}, not_a_number, 0, 1).has_value());
}
