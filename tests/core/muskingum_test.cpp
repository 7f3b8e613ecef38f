#include "muskingum.hpp"

#include <cmath>
#include <limits>
#include <random>

#include "check.hpp"

using namespace tarnwick;
using namespace tarnwick::muskingum;

namespace {

ContinuousTimeSeries hourly(Values data) { return {std::move(data), "volume", 3600}; }

// The recurrence written out plainly, one pass.
Values reference_pass(const Values& in, double first, double dt, double k, double x) {
    const Coefficients c = coefficients(dt, k, x);
    Values out{first};
    for (std::size_t i = 1; i < in.size(); ++i) {
        const double a = c.c0 * in[i];
        const double b = c.c1 * in[i - 1];
        const double s = c.c2 * out[i - 1];
        out.push_back((a + b) + s);
    }
    return out;
}

void check_same(const Values& got, const Values& want) {
    CHECK_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) CHECK_BITS(got[i], want[i]);
}

}  // namespace

TEST(muskingum_coefficients_in_stated_order) {
    const Coefficients c = coefficients(3600.0, 7200.0, 0.2);
    CHECK_BITS(c.c0, (3600.0 - 14400.0 * 0.2) / (3600.0 + 14400.0 * 0.8));
    CHECK(std::abs(c.c0 - 1.0 / 21) < 1e-15 && std::abs(c.c1 - 9.0 / 21) < 1e-15 && std::abs(c.c2 - 11.0 / 21) < 1e-15);
}

TEST(muskingum_worked_example_one_and_two_sub_reaches) {
    const auto one = run_muskingum_routing(hourly({0, 100, 0, 0}), {7200, 0.2, 1, 0.0});
    const double want1[] = {0, 4.7619048, 45.351474, 23.755534};
    for (int i = 0; i < 4; ++i) CHECK(std::abs(one.data[i] - want1[i]) < 1e-6);
    check_same(one.data, reference_pass({0, 100, 0, 0}, 0.0, 3600, 7200, 0.2));

    const auto two = run_muskingum_routing(hourly({0, 100, 0, 0}), {7200, 0.2, 2, 0.0});
    const double want2[] = {0, 5.3254438, 27.309968, 41.315080};
    for (int i = 0; i < 4; ++i) CHECK(std::abs(two.data[i] - want2[i]) < 1e-6);
    const auto first = reference_pass({0, 100, 0, 0}, 0.0, 3600, 3600, 0.2);
    check_same(two.data, reference_pass(first, first[0], 3600, 3600, 0.2));
    CHECK_EQ(two.kind, "discharge");
    CHECK_EQ(two.time_step, 3600);
}

TEST(muskingum_lazy_first_pass_matches_in_place_kernel) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> flow(0.0, 500.0);
    for (std::size_t n : {2u, 3u, 17u, 1000u}) {
        Values in(n);
        for (double& v : in) v = flow(rng);
        for (std::int64_t passes : {1, 3}) {
            const auto routed = run_muskingum_routing({in, "discharge", 900}, {5000.0, 0.35, passes, 12.5});
            Values want = muskingum_routing_core(in, 12.5, 900, 5000.0 / passes, 0.35);
            for (std::int64_t p = 1; p < passes; ++p)
                want = muskingum_routing_core(want, std::nullopt, 900, 5000.0 / passes, 0.35);
            check_same(routed.data, want);
            check_same(muskingum_routing_core(in, 12.5, 900, 5000.0, 0.35), reference_pass(in, 12.5, 900, 5000, 0.35));
            CHECK_BITS(routed.data[0], 12.5);  // every pass starts from the initial outflow
        }
    }
}

TEST(muskingum_single_value_and_zero_storage) {
    for (std::int64_t passes : {-2, 0, 1, 4})
        check_same(run_muskingum_routing(hourly({42}), {1e9, 7.0, passes, -3.0}).data, {-3.0});
    // k = 0: C0 = C1 = 1, C2 = -1, so whole-number flows come through unchanged.
    check_same(run_muskingum_routing(hourly({5, 9, 2, 30}), {0.0, 0.3, 1, 5.0}).data, {5, 9, 2, 30});
}

TEST(muskingum_unchecked_sub_reach_counts) {
    // Zero sub-reaches: one pass with K = inf, every later value NaN.
    const auto zero = run_muskingum_routing(hourly({1, 2, 3}), {3600, 0.2, 0, 1.0});
    CHECK_BITS(zero.data[0], 1.0);
    CHECK(std::isnan(zero.data[1]) && std::isnan(zero.data[2]));
    // Negative: one pass with a negative K, no error.
    check_same(run_muskingum_routing(hourly({1, 2, 3}), {3600, 0.2, -2, 1.0}).data,
               reference_pass({1, 2, 3}, 1.0, 3600, -1800, 0.2));
}

TEST(muskingum_empty_inflow_is_an_internal_failure) {
    CHECK_FAILURE(run_muskingum_routing(hourly({}), {3600, 0.2, 1, 0.0}),
                  "index out of bounds: the len is 0 but the index is 0");
    CHECK_FAILURE(muskingum_routing_core({}, 0.0, 3600, 3600, 0.2),
                  "index out of bounds: the len is 0 but the index is 0");
}

TEST(muskingum_weighting_factor_range) {
    for (double x : {0.0, -0.0, 0.25, 0.5}) CHECK(!x_outside_recommended_range(x));
    for (double x : {0.51, -0.1, std::numeric_limits<double>::quiet_NaN()}) CHECK(x_outside_recommended_range(x));
}
