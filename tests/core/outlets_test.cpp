#include "outlets.hpp"

#include <cmath>
#include <limits>

#include "check.hpp"
#include "interp.hpp"

using namespace tarnwick;
using namespace tarnwick::reservoir;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

ElevationDischarge rating() { return *make_elevation_discharge({100, 105, 110}, {0, 50, 200}); }

ControlledDischargeInfo controlled(std::optional<double> minimum, std::optional<double> maximum,
                                   std::optional<double> release) {
    return make_controlled_discharge(rating(), minimum, maximum, release);
}

double flow(const auto& outlet, double elevation, std::optional<std::int64_t> t = 0) {
    return *get_discharge(outlet, elevation, t);
}

}  // namespace

TEST(constant_outlet_gates_on_a_closed_band) {
    const ConstantDischargeInfo gated_outlet{10.0, 100.0, 200.0};
    CHECK_BITS(flow(gated_outlet, 99.9), 0.0);
    CHECK_BITS(flow(gated_outlet, 100.0), 10.0);
    CHECK_BITS(flow(gated_outlet, 200.0), 10.0);
    CHECK_BITS(flow(gated_outlet, 200.1), 0.0);
    CHECK_BITS(flow(gated_outlet, not_a_number), 10.0);
    const ConstantDischargeInfo open{10.0, std::nullopt, std::nullopt};
    for (double e : {-inf, -1e9, 0.0, 1e9, inf}) CHECK_BITS(flow(open, e), 10.0);
    // A NaN bound gates nothing.
    const ConstantDischargeInfo nan_bounds{10.0, not_a_number, not_a_number};
    CHECK_BITS(flow(nan_bounds, -5.0), 10.0);
    CHECK_BITS(flow(open, 1.0, std::nullopt), 10.0);
}

TEST(controlled_outlet_effective_bounds) {
    CHECK_EQ(*controlled(std::nullopt, std::nullopt, std::nullopt).minimum_elevation, 100.0);
    CHECK_EQ(*controlled(90.0, std::nullopt, std::nullopt).minimum_elevation, 100.0);
    CHECK_EQ(*controlled(102.0, std::nullopt, std::nullopt).minimum_elevation, 102.0);
    CHECK_EQ(*controlled(not_a_number, std::nullopt, std::nullopt).minimum_elevation, 100.0);
    CHECK_EQ(*controlled(std::nullopt, 120.0, std::nullopt).maximum_elevation, 110.0);
    CHECK_EQ(*controlled(std::nullopt, 107.0, std::nullopt).maximum_elevation, 107.0);
    CHECK_EQ(*controlled(std::nullopt, not_a_number, std::nullopt).maximum_elevation, 110.0);
    CHECK(!controlled(std::nullopt, std::nullopt, std::nullopt).maximum_elevation.has_value());
    CHECK(std::isnan(*controlled(std::nullopt, std::nullopt, not_a_number).maximum_release));
}

TEST(controlled_outlet_lookup_gate_and_cap) {
    const auto open = controlled(std::nullopt, std::nullopt, std::nullopt);
    CHECK_BITS(flow(open, 107.5), 125.0);
    CHECK_BITS(flow(open, 110.0), 200.0);
    CHECK_BITS(flow(open, 100.0), 0.0);
    CHECK_BITS(flow(open, 99.0), 0.0);  // below the effective minimum
    CHECK_ERROR(get_discharge(open, 110.5, 0),
                "elevation 110.5 is above the maximum of the elevation-discharge curve (110).");
    CHECK_BITS(flow(controlled(std::nullopt, 120.0, std::nullopt), 110.5), 0.0);
    const auto capped_outlet = controlled(std::nullopt, std::nullopt, 80.0);
    CHECK_BITS(flow(capped_outlet, 107.5), 80.0);
    CHECK_BITS(flow(capped_outlet, 102.0), 20.0);
    CHECK_BITS(flow(controlled(std::nullopt, std::nullopt, not_a_number), 107.5), 125.0);
    // A gated outlet releases 0.0, not the (negative) cap.
    CHECK_BITS(flow(controlled(102.0, std::nullopt, -5.0), 101.0), 0.0);
    CHECK_BITS(flow(controlled(std::nullopt, std::nullopt, -5.0), 101.0), -5.0);
    // A NaN elevation is not gated and fails in the curve search.
    CHECK_FAILURE(get_discharge(open, not_a_number, 0), interp_nan_message);
}

TEST(uncontrolled_outlet_shifts_the_elevation) {
    const UnControlledDischargeInfo spill{rating(), -2.0};
    CHECK_BITS(flow(spill, 107.0), 50.0);
    CHECK_BITS(flow(spill, 101.9), 0.0);
    CHECK_ERROR(get_discharge(spill, 112.5, 0),
                "elevation 110.5 is above the maximum of the elevation-discharge curve (110).");
    const UnControlledDischargeInfo plain{rating(), std::nullopt};
    CHECK_BITS(flow(plain, 107.5), 125.0);
    CHECK_BITS(flow(plain, 110.0), 200.0);
    CHECK_ERROR(get_discharge(plain, inf, 0),
                "elevation inf is above the maximum of the elevation-discharge curve (110).");
    CHECK_BITS(flow(plain, -inf), 0.0);
    CHECK_FAILURE(get_discharge(UnControlledDischargeInfo{rating(), not_a_number}, 105.0, 0), interp_nan_message);
}

TEST(specified_outlet_reads_its_series) {
    const SpecifiedDischargeInfo outlet{{{5, 7, 9}, "discharge", 3600}, std::nullopt, std::nullopt, 6.0};
    CHECK_BITS(flow(outlet, 0.0, 0), 5.0);
    CHECK_BITS(flow(outlet, 0.0, 1800), 6.0);
    CHECK_BITS(flow(outlet, 0.0, 7200), 9.0);  // the release cap takes no part
    CHECK_ERROR(get_discharge(outlet, 0.0, 7201),
                "simulation duration 7201s exceeds the specified discharge series length (7200s).");
    CHECK_ERROR(get_discharge(outlet, 0.0, std::nullopt),
                "SpecifiedDischargeInfo requires duration_secs but none was provided.");
    CHECK(get_discharge(outlet, 0.0, std::nullopt).error().kind == ErrorKind::runtime);
    CHECK(get_discharge(outlet, 0.0, 7201).error().kind == ErrorKind::value);

    const SpecifiedDischargeInfo banded{{{5, 7, 9}, "rainfall", 3600}, 10.0, 20.0, std::nullopt};
    CHECK_BITS(flow(banded, 5.0, 7201), 0.0);  // the gate comes before the length test
    CHECK_ERROR(get_discharge(banded, 5.0, std::nullopt),
                "SpecifiedDischargeInfo requires duration_secs but none was provided.");
    CHECK_BITS(flow(banded, 15.0, 3600), 7.0);
}

TEST(specified_outlet_with_an_empty_series) {
    const SpecifiedDischargeInfo empty{{{}, "discharge", 60}, 10.0, std::nullopt, std::nullopt};
    CHECK_ERROR(get_discharge(empty, 15.0, 60), "`duration` 60 is out of range (the series is empty)");
    CHECK_ERROR(get_discharge(empty, 15.0, 0), "`duration` 0 is out of range (the series is empty)");
    CHECK(get_discharge(empty, 15.0, 0).error().kind == ErrorKind::value);
    CHECK_BITS(flow(empty, 5.0, 60), 0.0);  // gated before the series is read
}

TEST(discharge_info_dispatches_to_its_kind) {
    const DischargeInfo outlets[] = {
        UnControlledDischargeInfo{rating(), std::nullopt}, controlled(std::nullopt, std::nullopt, 80.0),
        SpecifiedDischargeInfo{{{5, 7, 9}, "discharge", 3600}, {}, {}, {}}, ConstantDischargeInfo{3.0, {}, {}}};
    const double expected[] = {125.0, 80.0, 6.0, 3.0};
    for (int k = 0; k < 4; ++k) CHECK_BITS(*get_discharge(outlets[k], 107.5, 1800), expected[k]);
}
