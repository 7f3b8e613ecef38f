// Uniformly spaced time series.
//
// A continuous series holds point samples: value i is the state at i * step
// seconds, and the series spans (n - 1) * step. An incremental series holds
// amounts: value i accumulated over [i * step, (i + 1) * step), spanning
// n * step. Both carry a kind name and a whole-second step, and are plain
// values that are copied, never shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "duration.hpp"
#include "error.hpp"
#include "large_buffer.hpp"

namespace tarnwick {

template <class Tag>
struct Series {
    using tag = Tag;

    Values data;
    std::string kind;
    std::int32_t time_step = 1;
};

using ContinuousTimeSeries = Series<struct ContinuousTag>;
using IncrementalTimeSeries = Series<struct IncrementalTag>;

// Accepts exactly "discharge", "rainfall", "elevation" or "volume".
Result<void> validate_kind(const std::string& kind);

// The checks a caller-built series passes through, in their order: kind,
// non-negative step, step of at least one whole second.
Result<std::int32_t> checked_time_step(const std::string& kind, TimeDelta step);

template <class Tag>
Result<Series<Tag>> make_checked_series(Values data, std::string kind, TimeDelta step) {
    auto seconds = checked_time_step(kind, step);
    if (!seconds) return std::unexpected(seconds.error());
    return Series<Tag>{std::move(data), std::move(kind), *seconds};
}

// step * (n - 1); an empty series spans no time at all.
std::int64_t total_duration(const ContinuousTimeSeries& series);

// step * n.
std::int64_t total_duration(const IncrementalTimeSeries& series);

// The series read at `duration` seconds after its first sample, interpolated
// linearly between the neighbouring samples. Durations within 1e-6 s outside
// the span read the first or last sample; further out is an error, and so is
// any read of an empty series.
Result<double> get_value(const ContinuousTimeSeries& series, double duration);

// The samples read at elapsed time x, already clamped into the span:
// data[i] + (pos - i) * (data[i+1] - data[i]) with pos = x / step, the
// product rounded before the sum; at or past the last sample, the last
// sample. A NaN x reads from index 0. Requires n >= 1.
inline double interpolate_in_span(const double* data, std::size_t n, double step, double x) {
    const double pos = x / step;
    // Truncation is the floor here: pos is never negative.
    const std::size_t i = pos >= 0.0 ? static_cast<std::size_t>(pos) : 0;
    if (i + 1 < n) {
        const double frac = pos - static_cast<double>(i);
        const double delta = data[i + 1] - data[i];
        const double rise = frac * delta;
        return data[i] + rise;
    }
    return data[n - 1];
}

// Spreads every amount evenly over a finer step of `target_step` seconds,
// which must be at least 30 and divide the series' step.
Result<IncrementalTimeSeries> disaggregate(const IncrementalTimeSeries& series, std::int32_t target_step);

}  // namespace tarnwick
