// Time spans handed in by the caller.
//
// A time delta arrives as its three normalised fields (days may be negative,
// 0 <= seconds < 86400, 0 <= microseconds < 1000000). Turning it into a
// duration refuses negative spans; a duration is then used in seconds as a
// double: whole seconds plus nanoseconds / 1e9.
#pragma once

#include <cstdint>

#include "error.hpp"

namespace tarnwick {

struct TimeDelta {
    std::int32_t days = 0;
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;

    double as_seconds() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
};

inline constexpr const char* negative_duration_message = "a negative timedelta cannot be converted to a duration";

// A delta is negative exactly when its days field is.
inline Result<Duration> to_duration(TimeDelta delta) {
    if (delta.days < 0) return value_error(negative_duration_message);
    return Duration{static_cast<std::uint64_t>(delta.days) * 86400u + static_cast<std::uint64_t>(delta.seconds),
                    static_cast<std::uint32_t>(delta.microseconds) * 1000u};
}

// Seconds truncated toward zero into a whole-second step, saturating at the
// largest 32-bit value. The input is never negative.
inline std::int32_t whole_seconds_i32(double seconds) {
    if (!(seconds < 2147483647.0)) return 2147483647;
    return static_cast<std::int32_t>(seconds);
}

}  // namespace tarnwick
