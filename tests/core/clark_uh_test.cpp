#include "clark_uh.hpp"

#include <cmath>
#include <limits>
#include <random>

#include "check.hpp"

using namespace tarnwick;
using namespace tarnwick::clark;

namespace {

IncrementalTimeSeries hourly(Values data) { return {std::move(data), "volume", 3600}; }

// Translation, attenuation and convolution written out plainly.
Values reference(const Values& p, double dt, double area, double tc, double r) {
    const auto m = static_cast<std::size_t>(std::ceil(tc / dt));
    Values th;
    double previous = 0.0;
    for (std::size_t i = 1; i <= m; ++i) {
        const double x = (dt * static_cast<double>(i)) / tc;
        const double t = x < 1.0 ? x : 1.0;
        const double a = t < 0.5 ? 1.414 * std::pow(t, 1.5) : 1.0 - 1.414 * std::pow(1.0 - t, 1.5);
        th.push_back(((a - previous) * area * 1.00833) / (dt / 3600.0));
        previous = a;
    }
    const double two_k = r + r, d = dt + two_k * 1.0;
    const double c0 = (dt - two_k * 0.0) / d, c1 = (dt + two_k * 0.0) / d, c2 = (two_k * 1.0 - dt) / d;
    Values u{0.0};
    for (std::size_t j = 1; j < m; ++j) u.push_back((c0 * th[j] + c1 * th[j - 1]) + c2 * u[j - 1]);
    Values q(p.size() + m - 1, 0.0);
    for (std::size_t k = 0; k < p.size(); ++k) {
        if (p[k] == 0.0) continue;
        for (std::size_t j = 0; j < m; ++j) q[k + j] = q[k + j] + p[k] * u[j];
    }
    return q;
}

void check_same(const Values& got, const Values& want) {
    CHECK_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) CHECK_BITS(got[i], want[i]);
}

}  // namespace

TEST(clark_worked_examples) {
    const auto one = run_clark_uh(hourly({1.0}), 100, 7200, 3600);
    CHECK(one.has_value());
    CHECK_EQ(one->data.size(), 2u);
    CHECK_BITS(one->data[0], 0.0);
    CHECK(std::abs(one->data[1] - 33.611) < 1e-3);
    const auto th = translation_hydrograph(2, 3600, 100, 7200);
    CHECK(std::abs(th[0] - 50.4241) < 1e-4 && std::abs(th[1] - 50.4089) < 1e-4);

    const auto three = run_clark_uh(hourly({0.5, 1.0, 0.0}), 640, 10800, 7200);
    const double want[] = {0.0, 46.9721, 169.0995, 150.3107, 0.0};
    CHECK_EQ(three->data.size(), 5u);
    for (int i = 0; i < 5; ++i) CHECK(std::abs(three->data[i] - want[i]) < 1e-4);
    check_same(three->data, reference({0.5, 1.0, 0.0}, 3600, 640, 10800, 7200));
    CHECK_EQ(three->kind, "discharge");
    CHECK_EQ(three->time_step, 3600);
}

TEST(clark_convolution_matches_plain_sum_order) {
    // Wet steps close together (paired sweeps), far apart (beyond M) and
    // signed zeros, infinities and NaN depths all keep the plain order.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> depth(-0.1, 1.0);
    std::bernoulli_distribution dry(1.0 / 3);
    Values rain(700);
    for (double& v : rain) v = dry(rng) ? 0.0 : depth(rng);
    for (std::size_t k = 300; k < 450; ++k) rain[k] = 0.0;
    rain[10] = -0.0;
    rain[500] = std::numeric_limits<double>::infinity();
    rain[600] = std::numeric_limits<double>::quiet_NaN();
    for (double tc : {3600.0, 5400.0, 36000.0, 30.0 * 3600, 100.0 * 3600})
        for (double r : {0.0, 1800.0, 20.0 * 3600})
            check_same(*clark_uh_core(rain, 3600, 640, tc, r), reference(rain, 3600, 640, tc, r));
}

TEST(clark_degenerate_cases) {
    // tc of zero: N zeros whatever the storage.
    check_same(*clark_uh_core({1, 2, 3}, 3600, 640, 0.0, 1e9), {0, 0, 0});
    // tc within one step: M = 1, U = [0], N zeros.
    check_same(*clark_uh_core({1, 2, 3}, 3600, 640, 1800, 3600), {0, 0, 0});
    // No rainfall: M - 1 zeros.
    check_same(*clark_uh_core({}, 3600, 640, 4 * 3600.0, 3600), {0, 0, 0});
    // No storage: C0 = C1 = 1, C2 = -1.
    const auto th = translation_hydrograph(3, 3600, 640, 10800);
    check_same(*clark_uh_core({1.0}, 3600, 640, 10800, 0.0),
               {0.0, th[1] + th[0] - 0.0, th[2] + th[1] - (th[1] + th[0])});
}

TEST(clark_refuses_ordinates_beyond_memory) {
    CHECK_EQ(ordinate_count(7200, 3600), 2u);
    CHECK_EQ(ordinate_count(7200.5, 3600), 3u);
    CHECK_EQ(ordinate_count(1e300, 1), std::numeric_limits<std::size_t>::max());
    const std::size_t limit = value_limit();
    CHECK(limit >= (std::size_t{1} << 20) && limit <= Values().max_size());
    // A tc of a million years on a one-second step.
    CHECK_ERROR(clark_uh_core({1.0}, 1, 640, 3.1536e13, 3600),
                "tc is too long for the rainfall's time step: the unit hydrograph would need 31536000000000 "
                "ordinates, more than can be allocated");
    CHECK(!clark_uh_core({1.0}, 1, 640, 1e300, 3600).has_value());
    // Just past the limit (both vectors together) is refused as well.
    CHECK(!clark_uh_core({}, 1, 640, static_cast<double>(limit / 2 + 1), 0).has_value());
}
