#include "float_text.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"

using tarnwick::fixed_text;
using tarnwick::float_text;

TEST(float_text_shortest_plain_decimal) {
    CHECK_EQ(float_text(7200.0), "7200");
    CHECK_EQ(float_text(0.5), "0.5");
    CHECK_EQ(float_text(-2.25), "-2.25");
    CHECK_EQ(float_text(1e21), "1000000000000000000000");
    CHECK_EQ(float_text(1e-7), "0.0000001");
    CHECK_EQ(float_text(0.1 + 0.2), "0.30000000000000004");
    CHECK_EQ(float_text(7200.0000005), "7200.0000005");
    CHECK_EQ(float_text(-0.0), "-0");
    CHECK_EQ(float_text(0.0), "0");
}

TEST(float_text_large_and_tiny_use_the_shortest_digits) {
    CHECK_EQ(float_text(1e300), "1" + std::string(300, '0'));
    CHECK_EQ(float_text(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0'));
    CHECK_EQ(float_text(std::numeric_limits<double>::denorm_min()), "0." + std::string(323, '0') + "5");
    CHECK_EQ(float_text(-1e23), "-1" + std::string(23, '0'));
    CHECK_EQ(float_text(9007199254740993.0), "9007199254740992");
    CHECK_EQ(float_text(123456.789e3), "123456789");
}

TEST(float_text_non_finite) {
    CHECK_EQ(float_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
    CHECK_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
    CHECK_EQ(float_text(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(float_text_extremes_round_trip) {
    const double max = std::numeric_limits<double>::max();
    CHECK_EQ(float_text(max).size(), 309u);
    CHECK_EQ(std::stod(float_text(max)), max);
    const double tiny = std::numeric_limits<double>::denorm_min();
    CHECK_EQ(std::strtod(float_text(tiny).c_str(), nullptr), tiny);
}

TEST(fixed_text_four_digits) {
    CHECK_EQ(fixed_text(1.0 / 3.0, 4), "0.3333");
    CHECK_EQ(fixed_text(0.5, 4), "0.5000");
    CHECK_EQ(fixed_text(2.0 / 3.0, 4), "0.6667");
    CHECK_EQ(fixed_text(1e20, 4), "100000000000000000000.0000");
    CHECK_EQ(fixed_text(std::numeric_limits<double>::infinity(), 4), "inf");
}
