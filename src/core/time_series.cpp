#include "time_series.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "cancel.hpp"
#include "float_text.hpp"
#include "large_buffer.hpp"

namespace tarnwick {

namespace {
constexpr const char* allowed_kinds[] = {"discharge", "rainfall", "elevation", "volume"};
}

Result<void> validate_kind(const std::string& kind) {
    for (const char* allowed : allowed_kinds)
        if (kind == allowed) return {};
    std::string message = "kind must be one of [";
    bool first = true;
    for (const char* allowed : allowed_kinds) {
        if (!first) message += ", ";
        message += '"';
        message += allowed;
        message += '"';
        first = false;
    }
    message += "]; got '" + kind + "'";
    return value_error(std::move(message));
}

Result<std::int32_t> checked_time_step(const std::string& kind, TimeDelta step) {
    if (auto kind_ok = validate_kind(kind); !kind_ok) return std::unexpected(kind_ok.error());
    auto duration = to_duration(step);
    if (!duration) return std::unexpected(duration.error());
    std::int32_t seconds = whole_seconds_i32(duration->as_seconds());
    if (seconds < 1) return value_error("time_step must be > 0");
    return seconds;
}

std::int64_t total_duration(const ContinuousTimeSeries& series) {
    if (series.data.empty()) return 0;
    return static_cast<std::int64_t>(series.time_step) * static_cast<std::int64_t>(series.data.size() - 1);
}

std::int64_t total_duration(const IncrementalTimeSeries& series) {
    return static_cast<std::int64_t>(series.time_step) * static_cast<std::int64_t>(series.data.size());
}

Result<double> get_value(const ContinuousTimeSeries& series, double duration) {
    const Values& data = series.data;
    const std::size_t n = data.size();
    if (n == 0) return value_error("`duration` " + float_text(duration) + " is out of range (the series is empty)");

    const std::int64_t max = total_duration(series);
    const double maxf = static_cast<double>(max);
    if (duration < -1e-6) return value_error("`duration` " + float_text(duration) + " is less than 0.");
    if (duration > maxf + 1e-6)
        return value_error("`duration` " + float_text(duration) + " is out of range (max " + std::to_string(max) + ")");

    // Clamp into [0, maxf]; NaN passes through both tests unchanged.
    double x = duration;
    if (x < 0.0) x = 0.0;
    if (x > maxf) x = maxf;

    return interpolate_in_span(data.data(), n, static_cast<double>(series.time_step), x);
}

Result<IncrementalTimeSeries> disaggregate(const IncrementalTimeSeries& series, std::int32_t target_step) {
    if (target_step < 30) return value_error("target_step must be >= 30 seconds.");
    const std::int32_t step = series.time_step;
    const std::int32_t count = step / target_step;
    if (step - count * target_step != 0)
        return value_error("Original time_step (" + std::to_string(step) + ") must be a multiple of target_step (" +
                           std::to_string(target_step) + ").");

    // Only a step below one second leaves no piece per value (every series
    // built from Python has at least one); the division below needs one.
    if (count < 1) internal_failure("the series' time step must be at least one second");

    // A long step split into 30-second pieces multiplies the values by up to
    // 7e7: a result beyond the process's memory is refused as an allocation
    // failure before it is reserved, not filled until the process is killed.
    const std::size_t per_value = static_cast<std::size_t>(count);
    const std::uint64_t n = series.data.size();
    if (n > std::numeric_limits<std::uint64_t>::max() / per_value || !values_fit(1, n * per_value))
        throw std::bad_alloc();

    const double factor = static_cast<double>(target_step) / static_cast<double>(step);
    IncrementalTimeSeries out{{}, series.kind, target_step};
    out.data.reserve(series.data.size() * per_value);
    CancelCountdown countdown;
    for (double amount : series.data) {
        const double share = factor * amount;
        out.data.insert(out.data.end(), per_value, share);
        countdown.add(per_value);
    }
    return out;
}

}  // namespace tarnwick
