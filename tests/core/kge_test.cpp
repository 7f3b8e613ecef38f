#include "kge.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"

using tarnwick::metrics::calculate_kge;

namespace {

double kge(const std::vector<double>& sim, const std::vector<double>& obs, bool use_log = false) {
    return *calculate_kge(sim, obs, use_log);
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-12; }

}  // namespace

TEST(kge_floors) {
    // Constant series: D = 0 gives a correlation term of 1 and sigma_o = 0
    // is floored, so gamma = 0.
    CHECK(near(kge({5, 5, 5}, {5, 5, 5}), 1.0 - std::sqrt(2.0)));
    CHECK(near(kge({5}, {5}), 1.0 - std::sqrt(2.0)));
    CHECK(near(kge({0, 0, 0}, {0, 0, 0}), 1.0 - std::sqrt(3.0)));
    CHECK(near(kge({0, 0}, {0, 0}, true), 1.0 - std::sqrt(2.0)));
    // A tiny negative observed mean is floored to +eps (its sign is not
    // kept), a tiny sigma_o to eps, and D < eps gives a correlation term of 1.
    const double beta_off = 2.0 / 1e-6 - 1.0;
    const double gamma_off = 1.0 / 1e-6 - 1.0;
    CHECK_BITS(kge({1, 3}, {-3e-7, -1e-7}), 1.0 - std::sqrt((1.0 + beta_off * beta_off) + gamma_off * gamma_off));
}

TEST(kge_non_finite_values_give_numbers_not_errors) {
    CHECK(std::isnan(kge({1, 2, 3}, {1, -2, 3}, true)));
    CHECK(std::isnan(kge({1, std::numeric_limits<double>::quiet_NaN(), 3}, {1, 2, 3})));
    CHECK(calculate_kge(std::vector<double>{-1e-6, 1.0}, std::vector<double>{1.0, 2.0}, true).has_value());
}

TEST(kge_checks_in_order) {
    const std::vector<double> none;
    const std::vector<double> one{1.0};
    CHECK_ERROR(calculate_kge(none, none, false), "Observed series is empty.");
    CHECK_ERROR(calculate_kge(one, none, false), "Observed series is empty.");
    CHECK_ERROR(calculate_kge(none, one, false), "Series length mismatch.");
    CHECK_ERROR(calculate_kge(std::vector<double>{1, 2}, one, true), "Series length mismatch.");
}
