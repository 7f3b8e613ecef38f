#include "rating_curves.hpp"

#include <limits>

#include "check.hpp"
#include "interp.hpp"

using namespace tarnwick;
using namespace tarnwick::reservoir;

namespace {
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
}

TEST(elevation_storage_checks_in_order) {
    CHECK_ERROR(make_elevation_storage({1, 2, 3}, {3, 1}), "`elevation` and `storage` must have the same length");
    CHECK_ERROR(make_elevation_storage({2, 1}, {1, 1}), "`elevation` must must be sorted and can't have duplicates");
    CHECK_ERROR(make_elevation_storage({1, 2}, {10, 10}), "`storage` must must be sorted and can't have duplicates");
    CHECK_ERROR(make_elevation_storage({1, not_a_number}, {1, 2}),
                "`elevation` must must be sorted and can't have duplicates");
    CHECK(make_elevation_storage({}, {}).has_value());
    CHECK(make_elevation_storage({1}, {5}).has_value());
}

TEST(elevation_discharge_checks_in_order) {
    CHECK_ERROR(make_elevation_discharge({1.0}, {0.0, 1.0}), "`elevation` and `discharge` must have the same length");
    CHECK_ERROR(make_elevation_discharge({1.0}, {0.0}),
                "`elevation` and `discharge` each must have at least 2 elements.");
    CHECK_ERROR(make_elevation_discharge({1, 1}, {0, 1}), "`elevation` must must be sorted and can't have duplicates");
    CHECK_ERROR(make_elevation_discharge({1, 2}, {1, 0}), "`discharge` must must be sorted");
    CHECK_ERROR(make_elevation_discharge({1, 2}, {0, not_a_number}), "`discharge` must must be sorted");
    CHECK(make_elevation_discharge({1, 2}, {10, 10}).has_value());
}

TEST(elevation_storage_lookups_both_ways) {
    const auto curve = *make_elevation_storage({100, 110}, {0, 1000});
    CHECK_BITS(*get_storage(curve, 105), 500.0);
    CHECK_BITS(*get_elevation(curve, 250), 102.5);
    CHECK_BITS(*get_storage(curve, 100), 0.0);
    CHECK_BITS(*get_storage(curve, 110), 1000.0);
    CHECK_BITS(*get_elevation(curve, 1000), 110.0);
    CHECK_ERROR(get_storage(curve, 99), "`elevation` 99 is outside the range of the elevation-storage curve.");
    CHECK_ERROR(get_storage(curve, 110.00000000000001),
                "`elevation` 110.00000000000001 is outside the range of the elevation-storage curve.");
    CHECK_ERROR(get_elevation(curve, -0.5), "`storage` -0.5 is outside the range of the elevation-storage curve.");
    CHECK_FAILURE(get_storage(curve, not_a_number), interp_nan_message);
    CHECK_FAILURE(get_elevation(curve, not_a_number), interp_nan_message);
}

TEST(short_elevation_storage_fails_every_lookup) {
    for (const auto& curve : {*make_elevation_storage({}, {}), *make_elevation_storage({1}, {5})}) {
        CHECK_FAILURE(get_storage(curve, 1), interp_too_short_message);
        CHECK_FAILURE(get_elevation(curve, 5), interp_too_short_message);
    }
}
