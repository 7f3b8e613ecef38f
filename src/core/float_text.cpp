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
    // The shortest digits that read back as the same double come in
    // scientific form, d.ddd...e[+-]x; they are laid out again in plain
    // notation, the digits padded with zeros on either side. (Fixed notation
    // straight from to_chars would spell a large value's exact binary
    // expansion instead: 1e23 as 99999999999999991611392.)
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    (void)ec;  // cannot fail with this buffer size
    const char* at = buffer;
    if (*at == '-') {
        out += '-';
        ++at;
    }
    std::string digits;
    while (at != end && *at != 'e') {
        if (*at != '.') digits += *at;
        ++at;
    }
    int exponent = 0;
    if (at != end) std::from_chars(at + (at[1] == '+' ? 2 : 1), end, exponent);
    // The decimal point falls after `point` of the digits.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else if (point > 0) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    }
    return out;
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
