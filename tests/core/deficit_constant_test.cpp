#include "deficit_constant.hpp"

#include <cmath>
#include <limits>
#include <random>

#include "check.hpp"

using namespace tarnwick;
using namespace tarnwick::deficit_constant;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The method exactly as stated, with std::fmin/fmax for the NaN rules.
DeficitConstantResult reference(const Values& rain, std::int32_t step, const Parameters& p) {
    const double dt = step;
    const double w =
        p.time_to_dry_seconds > 0 ? 1.0 - std::exp((dt / 3600.0) / (p.time_to_dry_seconds / -3600.0)) : 0.0;
    const double cap = p.constant_loss_per_hr * (dt / 3600.0);
    DeficitConstantResult r{{{}, "rainfall", step}, {{}, "rainfall", step}, {{}, "rainfall", step}};
    double d = p.initial_deficit;
    for (double x : rain) {
        double g = p.max_deficit - d;
        if (std::isnan(g)) g = 0.0;
        d = d + w * std::fmax(g, 0.0);
        const double capped = std::fmin(d, p.max_deficit);
        if (x > 0.0) {
            const double taken = std::fmin(x, cap);
            const double rest = x - taken;
            const double fill = std::fmin(rest, capped);
            r.loss.data.push_back(taken + fill);
            r.excess.data.push_back(rest - fill);
            d = capped - fill;
        } else {
            r.loss.data.push_back(0.0);
            r.excess.data.push_back(0.0);
            d = capped;
        }
        r.deficit.data.push_back(d);
    }
    return r;
}

// Equal values, treating +0 and -0 alike (the NaN rules leave the sign of a
// zero minimum open).
bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void check_matches_reference(const Values& rain, std::int32_t step, const Parameters& p) {
    const auto got = run_deficit_and_constant({rain, "volume", step}, p);
    const auto want = reference(rain, step, p);
    for (std::size_t i = 0; i < rain.size(); ++i) {
        CHECK(same(got.excess.data[i], want.excess.data[i]));
        CHECK(same(got.loss.data[i], want.loss.data[i]));
        CHECK(same(got.deficit.data[i], want.deficit.data[i]));
    }
}

}  // namespace

TEST(deficit_constant_worked_example) {
    const auto r = run_deficit_and_constant({{0.0, 0.5, 1.0, 0.0}, "volume", 3600}, {0.3, 1.0, 0.1, 36000});
    const double excess[] = {0.0, 0.0, 0.780508, 0.0};
    const double loss[] = {0.0, 0.5, 0.219492, 0.0};
    const double deficit[] = {0.366614, 0.026888, 0.0, 0.095163};
    for (int i = 0; i < 4; ++i) {
        CHECK(std::abs(r.excess.data[i] - excess[i]) < 1e-6);
        CHECK(std::abs(r.loss.data[i] - loss[i]) < 1e-6);
        CHECK(std::abs(r.deficit.data[i] - deficit[i]) < 1e-6);
    }
    CHECK(std::abs(recovery_fraction(3600, 36000) - 0.0951626) < 1e-7);
    for (const auto* s : {&r.excess, &r.loss, &r.deficit}) {
        CHECK_EQ(s->kind, "rainfall");
        CHECK_EQ(s->time_step, 3600);
    }
}

TEST(deficit_constant_matches_plain_method_on_random_storms) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> depth(0.0, 0.6);
    std::bernoulli_distribution dry(1.0 / 3);
    Values rain(5000);
    for (double& v : rain) v = dry(rng) ? 0.0 : depth(rng);
    for (const Parameters& p : {Parameters{0.3, 1.5, 0.08, 30 * 3600.0}, Parameters{2.0, 1.0, 0.5, 0.0},
                                Parameters{0.0, 0.2, 0.0, 3600.0}, Parameters{-0.5, 3.0, -0.1, 7200.5}})
        check_matches_reference(rain, 3600, p);
    check_matches_reference(rain, 900, {0.3, 1.5, 0.08, 30 * 3600.0});
}

TEST(deficit_constant_not_a_number_and_infinite_inputs) {
    const Values rain{0.2, kNaN, -0.0, kInf, 0.05, -1.0, 1.0, 0.3};
    for (const Parameters& p :
         {Parameters{kNaN, 1.0, 0.1, 36000}, Parameters{0.3, kNaN, 0.1, 36000}, Parameters{kNaN, kNaN, 0.1, 36000},
          Parameters{0.3, 1.0, kNaN, 36000}, Parameters{0.3, 1.0, kInf, 36000}, Parameters{0.3, kInf, 0.1, 36000},
          Parameters{0.3, -kInf, 0.1, 36000}, Parameters{0.3, 1.0, 0.1, 36000}})
        check_matches_reference(rain, 3600, p);
    // A NaN depth is a dry step.
    const auto r = run_deficit_and_constant({{kNaN}, "rainfall", 3600}, {0.3, 1.0, 0.1, 36000});
    CHECK_BITS(r.excess.data[0], 0.0);
    CHECK_BITS(r.loss.data[0], 0.0);
}

TEST(deficit_constant_recovery_cap_and_small_rain) {
    const double w = recovery_fraction(3600, 36000);
    // A dry first step raises the deficit by w (max - initial).
    CHECK_BITS(run_deficit_and_constant({{0.0}, "rainfall", 3600}, {0.3, 1.0, 0.1, 36000}).deficit.data[0],
               0.3 + w * (1.0 - 0.3));
    // No drying time: no recovery, the deficit only falls.
    const auto still = run_deficit_and_constant({{0.0, 0.3, 0.0}, "rainfall", 3600}, {0.5, 1.0, 0.1, 0.0});
    CHECK(still.deficit.data == (Values{0.5, 0.5 - (0.3 - 0.1), 0.5 - (0.3 - 0.1)}));
    // An initial deficit above the maximum is cut back at the first step.
    CHECK_BITS(run_deficit_and_constant({{0.0}, "rainfall", 3600}, {2.0, 1.0, 0.1, 36000}).deficit.data[0], 1.0);
    CHECK_BITS(run_deficit_and_constant({{0.5}, "rainfall", 3600}, {2.0, 1.0, 0.1, 36000}).deficit.data[0],
               1.0 - (0.5 - 0.1));
    // Rain below the constant loss is all lost; the deficit only recovers.
    const auto small = run_deficit_and_constant({{0.04}, "rainfall", 3600}, {0.3, 1.0, 0.1, 36000});
    CHECK_BITS(small.loss.data[0], 0.04);
    CHECK_BITS(small.excess.data[0], 0.0);
    CHECK_BITS(small.deficit.data[0], 0.3 + w * 0.7);
}

TEST(deficit_constant_empty_rainfall) {
    const auto r = run_deficit_and_constant({{}, "volume", 600}, {0.3, 1.0, 0.1, 36000});
    CHECK(r.excess.data.empty() && r.loss.data.empty() && r.deficit.data.empty());
    CHECK_EQ(r.deficit.time_step, 600);
}
