#include "float_text.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace tarnwick {

namespace {

// Non-finite values have fixed spellings; returns false for finite values.
bool special_text(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string float_text(double value) {
    std::string out;
    if (special_text(value, out)) return out;
    // Fixed notation with no precision asks for the shortest digits that
    // round-trip; the largest double needs 309 integral digits.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    (void)ec;  // cannot fail with this buffer size
    return std::string(buffer, end);
}

std::string fixed_text(double value, int digits) {
    std::string out;
    if (special_text(value, out)) return out;
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
    if (ec != std::errc()) return float_text(value);
    return std::string(buffer, end);
}

}  // namespace tarnwick
