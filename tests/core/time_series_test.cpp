#include "time_series.hpp"

#include <cmath>
#include <limits>

#include "check.hpp"

using namespace tarnwick;

namespace {
ContinuousTimeSeries hourly(Values data) { return {std::move(data), "discharge", 3600}; }
}  // namespace

TEST(get_value_interpolates_and_clamps) {
    const auto s = hourly({10, 20, 40});
    CHECK_BITS(*get_value(s, 0), 10.0);
    CHECK_BITS(*get_value(s, 1800), 15.0);
    CHECK_BITS(*get_value(s, 3600), 20.0);
    CHECK_BITS(*get_value(s, 5400), 30.0);
    CHECK_BITS(*get_value(s, 7200), 40.0);
    CHECK_BITS(*get_value(s, 7200.0000005), 40.0);
    CHECK_BITS(*get_value(s, -0.0000005), 10.0);
}

TEST(get_value_range_errors) {
    const auto s = hourly({10, 20, 40});
    CHECK_ERROR(get_value(s, 7201), "`duration` 7201 is out of range (max 7200)");
    CHECK_ERROR(get_value(s, -1), "`duration` -1 is less than 0.");
    CHECK_ERROR(get_value(s, 7200.5), "`duration` 7200.5 is out of range (max 7200)");
    CHECK(get_value(s, -1).error().kind == ErrorKind::value);
}

TEST(get_value_order_of_operations) {
    // data[i] + (pos - i) * (data[i+1] - data[i]), product rounded first.
    const auto s = ContinuousTimeSeries{{0.1, 0.7, 1.3}, "discharge", 7};
    for (double t : {0.3, 1.1, 2.9, 6.99, 7.5, 13.7}) {
        const double pos = t / 7.0;
        const auto i = static_cast<std::size_t>(std::floor(pos));
        const double frac = pos - static_cast<double>(i);
        const double product = frac * (s.data[i + 1] - s.data[i]);
        CHECK_BITS(*get_value(s, t), s.data[i] + product);
    }
}

TEST(get_value_single_and_empty_series) {
    const auto one = hourly({5});
    CHECK_BITS(*get_value(one, 0), 5.0);
    CHECK_BITS(*get_value(one, 1e-7), 5.0);
    CHECK_ERROR(get_value(one, 1), "`duration` 1 is out of range (max 0)");
    const auto empty = hourly({});
    CHECK(!get_value(empty, 0).has_value());
    CHECK(get_value(empty, 0).error().kind == ErrorKind::value);
    CHECK_EQ(total_duration(empty), 0);
}

TEST(get_value_nan) {
    const auto s = hourly({10, 20});
    CHECK(std::isnan(*get_value(s, std::numeric_limits<double>::quiet_NaN())));
    CHECK_BITS(*get_value(hourly({3}), std::numeric_limits<double>::quiet_NaN()), 3.0);
}

TEST(total_duration_continuous_and_incremental) {
    CHECK_EQ(total_duration(hourly({1, 2})), 3600);
    const IncrementalTimeSeries inc{{1, 2}, "rainfall", 3600};
    CHECK_EQ(total_duration(inc), 7200);
    const IncrementalTimeSeries big{Values(3, 0.0), "rainfall", 2147483647};
    CHECK_EQ(total_duration(big), 3 * 2147483647LL);
}

TEST(checked_time_step_order_and_truncation) {
    CHECK_EQ(*checked_time_step("discharge", {0, 90, 700000}), 90);
    CHECK_ERROR(checked_time_step("discharge", {0, 0, 500000}), "time_step must be > 0");
    CHECK_ERROR(checked_time_step("discharge", {-1, 86340, 0}), negative_duration_message);
    // The kind is checked before the step.
    CHECK_ERROR(checked_time_step("Discharge", {0, 0, 0}),
                "kind must be one of [\"discharge\", \"rainfall\", \"elevation\", \"volume\"]; got 'Discharge'");
    CHECK_EQ(*checked_time_step("volume", {999999999, 0, 0}), 2147483647);
}

TEST(disaggregate_splits_evenly) {
    const IncrementalTimeSeries s{{1.0, 2.0}, "rainfall", 3600};
    auto half = disaggregate(s, 1800);
    CHECK(half.has_value());
    CHECK(half->data == (Values{0.5, 0.5, 1.0, 1.0}));
    CHECK_EQ(half->time_step, 1800);
    CHECK_EQ(half->kind, "rainfall");
    // Factor computed once: 900 / 3600 times the amount, not amount / 4.
    const IncrementalTimeSeries odd{{0.3}, "rainfall", 3600};
    CHECK_BITS(disaggregate(odd, 900)->data[3], (900.0 / 3600.0) * 0.3);
}

TEST(disaggregate_errors) {
    const IncrementalTimeSeries s{{1.0, 2.0}, "rainfall", 3600};
    CHECK_ERROR(disaggregate(s, 7200), "Original time_step (3600) must be a multiple of target_step (7200).");
    CHECK_ERROR(disaggregate(s, 1700), "Original time_step (3600) must be a multiple of target_step (1700).");
    CHECK_ERROR(disaggregate(s, 29), "target_step must be >= 30 seconds.");
    CHECK_ERROR(disaggregate(s, -60), "target_step must be >= 30 seconds.");
    const IncrementalTimeSeries empty{{}, "volume", 60};
    CHECK(disaggregate(empty, 30)->data.empty());
    CHECK_EQ(disaggregate(empty, 30)->time_step, 30);
    // No series is built with a step below one second; one that were is an
    // internal failure, not a division by zero.
    for (std::int32_t step : {0, -3600})
        CHECK_FAILURE(disaggregate(IncrementalTimeSeries{{}, "rainfall", step}, 900),
                      "the series' time step must be at least one second");
}
