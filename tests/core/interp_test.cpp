#include "interp.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "check.hpp"

using namespace tarnwick;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
using V = std::vector<double>;

std::optional<double> lookup(const V& x, const V& y, double at, std::optional<double> below = std::nullopt,
                             std::optional<double> above = std::nullopt) {
    return interp1d(x, y, at, below, above);
}

bool same(std::optional<double> a, std::optional<double> b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || check::same_bits(*a, *b);
}

// The answer spelled out by a linear scan: exact knot, below, above, or the
// segment that holds x.
std::optional<double> scanned(const V& x, const V& y, double at, std::optional<double> below,
                              std::optional<double> above) {
    for (std::size_t k = 0; k < x.size(); ++k)
        if (x[k] == at) return y[k];
    if (at < x.front()) return below;
    if (at > x.back()) return above;
    std::size_t i = 1;
    while (!(at < x[i])) ++i;
    return interpolate_segment(x.data(), y.data(), i, at);
}

}  // namespace

TEST(interp1d_worked_examples) {
    const V x{0, 10, 20}, y{0, 100, 400};
    CHECK_BITS(*lookup(x, y, 10), 100.0);
    CHECK_BITS(*lookup(x, y, 15), 250.0);
    CHECK_BITS(*lookup(x, y, 0), 0.0);
    CHECK_BITS(*lookup(x, y, 20), 400.0);
    CHECK(!lookup(x, y, -1).has_value());
    CHECK_BITS(*lookup(x, y, -1, 0.0), 0.0);
    CHECK(!lookup(x, y, 21, 0.0).has_value());
    CHECK_BITS(*lookup(x, y, 21, std::nullopt, 7.0), 7.0);
    CHECK_BITS(*lookup(x, y, inf, -1.0, 9.0), 9.0);
    CHECK_BITS(*lookup(x, y, -inf, -1.0, 9.0), -1.0);
    // A flat stretch of y is allowed.
    CHECK_BITS(*lookup({0, 1, 2, 3}, {0, 5, 5, 9}, 1.5), 5.0);
}

TEST(interp1d_exact_knot_needs_no_arithmetic) {
    // On the segment's formula y1 - y0 overflows to inf here; a knot returns
    // its ordinate untouched.
    const V x{0.1, 0.7, 1.3}, y{-1e308, 1e308, 1e308};
    CHECK_BITS(*lookup(x, y, 0.7), 1e308);
    CHECK_BITS(*lookup(x, y, 0.1), -1e308);
    CHECK(std::isinf(*lookup(x, y, 0.4)));
    CurveLookup curve(x, y);
    double at_knot = 0.0;
    CHECK(curve.inside(0.7, at_knot));
    CHECK_BITS(at_knot, 1e308);
    CHECK(curve.inside(1.3, at_knot));
    CHECK_BITS(at_knot, 1e308);
}

TEST(interp1d_check_order_and_messages) {
    // Lengths first, even for unsorted vectors; then the point count.
    CHECK_FAILURE(lookup({3, 2, 1}, {2, 1}, 1), interp_length_message);
    CHECK_FAILURE(lookup({1}, {1}, 1), interp_too_short_message);
    CHECK_FAILURE(lookup({}, {}, 1), interp_too_short_message);
    CHECK_FAILURE(lookup({0, 1, 1, 2}, {0, 1, 2, 3}, 1), interp_x_order_message);
    CHECK_FAILURE(lookup({0, 2, 1}, {0, 1, 2}, 1), interp_x_order_message);
    CHECK_FAILURE(lookup({0, not_a_number}, {0, 1}, 0), interp_x_order_message);
    CHECK_FAILURE(lookup({0, 1}, {3, 2}, 0.5), interp_y_order_message);
    CHECK_FAILURE(lookup({0, 1}, {not_a_number, 2}, 0.5), interp_y_order_message);
    // x is checked before y.
    CHECK_FAILURE(lookup({1, 0}, {3, 2}, 0.5), interp_x_order_message);
    // The checks run even when the point is out of range.
    CHECK_FAILURE(lookup({0, 1}, {3, 2}, 5), interp_y_order_message);
    CHECK(interp1d_check(V{0, 1}, V{0, 0}) == nullptr);
}

TEST(interp1d_nan_point_fails_the_search) {
    CHECK_FAILURE(lookup({0, 1}, {0, 1}, not_a_number), interp_nan_message);
    CHECK_FAILURE(lookup({0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}, not_a_number, 0.0, 0.0), interp_nan_message);
    // A bad curve is reported before the NaN.
    CHECK_FAILURE(lookup({0}, {0}, not_a_number), interp_too_short_message);
}

TEST(interp1d_matches_a_linear_scan) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 2 + random() % 30;
        V x(n), y(n);
        double xs = unit(random) * 10 - 5, ys = unit(random);
        for (std::size_t k = 0; k < n; ++k) {
            x[k] = xs;
            y[k] = ys;
            xs += round % 3 == 0 ? 1.0 : 0.01 + unit(random);
            ys += round % 4 == 0 ? 0.0 : unit(random) * 3;
        }
        for (int q = 0; q < 40; ++q) {
            double at = q % 5 == 0 ? x[random() % n] : x.front() - 1 + unit(random) * (x.back() - x.front() + 2);
            CHECK(same(lookup(x, y, at, 0.0, std::nullopt), scanned(x, y, at, 0.0, std::nullopt)));
            CHECK(same(lookup(x, y, at), scanned(x, y, at, std::nullopt, std::nullopt)));
        }
    }
}

TEST(curve_lookup_matches_interp1d_along_walks_and_jumps) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 2 + random() % 40;
        V x(n), y(n);
        double xs = round % 2 ? 0.0 : -unit(random) * 100, ys = 0;
        for (std::size_t k = 0; k < n; ++k) {
            x[k] = xs;
            y[k] = ys;
            xs += round % 3 == 0 ? 1.0 : 0.001 + unit(random) * 2;
            ys += unit(random) < 0.2 ? 0.0 : unit(random);
        }
        if (round % 17 == 0) x.back() = inf;
        if (round % 19 == 0) x.front() = -inf;
        CurveLookup curve(x, y);
        const double lo = std::isinf(x.front()) ? x[1] : x.front();
        const double hi = std::isinf(x.back()) ? x[n - 2] : x.back();
        double at = lo + (hi - lo) * unit(random);
        for (int q = 0; q < 300; ++q) {
            const unsigned kind = random() % 10;
            if (kind < 5)
                at += (unit(random) - 0.5) * (hi - lo) * 0.05;  // small moves, across a bracket now and then
            else if (kind == 5)
                at = x[random() % n];  // a knot exactly
            else if (kind == 6)
                at = lo - 1 - unit(random) * 10;  // below
            else if (kind == 7)
                at = hi + 1 + unit(random) * 10;  // above
            else if (kind == 8)
                at = random() % 2 ? inf : -inf;
            else
                at = lo + (hi - lo) * unit(random);  // anywhere
            const std::optional<double> below = q % 2 ? std::optional<double>(0.0) : std::nullopt;
            const std::optional<double> above = q % 3 ? std::optional<double>(-2.0) : std::nullopt;
            const auto expected = interp1d(x, y, at, below, above);
            CHECK(same(curve(at, below, above), expected));
            double inside = -7.0;
            const bool within = !(at < x.front()) && !(at > x.back());
            CHECK_EQ(curve.inside(at, inside), within);
            if (within) CHECK(same(inside, expected));
            if (std::isinf(at)) at = lo;
        }
    }
}

TEST(curve_lookup_remembers_the_check_failure) {
    const V bad_x{0, 2, 1}, y{0, 1, 2};
    // Building the lookup does not fail; every lookup does, as interp1d would.
    CurveLookup curve(bad_x, y);
    CHECK_FAILURE(curve(1.0, std::nullopt, std::nullopt), interp_x_order_message);
    CHECK_FAILURE(curve(not_a_number, std::nullopt, std::nullopt), interp_x_order_message);
    const V one{1};
    CurveLookup short_curve(one, one);
    CHECK_FAILURE(short_curve.locate(1.0), interp_too_short_message);
    const V x{0, 1};
    CurveLookup good(x, x);
    CHECK_FAILURE(good(not_a_number, 0.0, 0.0), interp_nan_message);
    CHECK_BITS(*good(0.25, std::nullopt, std::nullopt), 0.25);
}
