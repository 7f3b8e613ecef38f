// tarnwick.utils: ContinuousTimeSeries and IncrementalTimeSeries.
#include "utils.hpp"

#include "records.hpp"

namespace tarnwick::python {

namespace {

// Both classes are built the same way: data, then the step's type, then the
// kind's type, then the value checks in the core.
template <class S>
S make_series(const Args& args) {
    auto data = args.get(0, to_vector);
    auto step = args.get(1, to_timedelta);
    auto kind = args.get(2, to_text);
    return unwrap(make_checked_series<typename S::tag>(std::move(data), std::move(kind), step));
}

template <class S>
PyObject* get_time_step(PyObject* self, void*) noexcept {
    return guard([&] { return timedelta_from_seconds(value_of<S>(self).time_step).release(); },
                 static_cast<PyObject*>(nullptr));
}

template <class S>
Ref total_duration_body(PyObject* self) {
    return to_python(total_duration(value_of<S>(self)));
}

// Both classes read the same three attributes.
template <class S>
constexpr Fields series_fields{{
    {"data", read<&S::data>, ""},
    {"kind", read<&S::kind>, ""},
    {"time_step", get_time_step<S>, ""},
}};

constexpr Callable continuous_total_duration{"total_duration", "", total_duration_body<ContinuousTimeSeries>,
                                             "Total duration from first to last data point (seconds)."};

constexpr Class<ContinuousTimeSeries> continuous_time_series{
    .name = "ContinuousTimeSeries",
    .subclassable = true,
    .constructor = {"data, time_step, kind", make_series<ContinuousTimeSeries>},
    .doc =
        "A uniformly-spaced time series where each value represents a quantity at a\n"
        "discrete point in time (e.g. discharge, elevation, storage).\n\n"
        "Total duration spans first to last point: `time_step * (len(data) - 1)`.\n"
        "Supports linear interpolation between points.",
    .fields = series_fields<ContinuousTimeSeries>,
    .methods = {&continuous_total_duration},
    .exports_data = true,
};

Ref disaggregate_body(PyObject* self, const Args& args) {
    const std::int32_t target_step = args.get(0, to_i32);
    return to_python(unwrap(disaggregate(value_of<IncrementalTimeSeries>(self), target_step)));
}

constexpr Callable incremental_total_duration{"total_duration", "", total_duration_body<IncrementalTimeSeries>,
                                              "Total duration spanning all time step intervals (seconds)."};

constexpr Callable disaggregate_method{"disaggregate", "target_step", disaggregate_body,
                                       "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
                                       "distributing each bucket's value. Total depth is preserved."};

constexpr Class<IncrementalTimeSeries> incremental_time_series{
    .name = "IncrementalTimeSeries",
    .subclassable = true,
    .constructor = {"data, time_step, kind", make_series<IncrementalTimeSeries>},
    .doc =
        "A uniformly-spaced time series where each value represents a quantity\n"
        "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n"
        "Total duration spans all intervals: `time_step * len(data)`.\n"
        "Supports disaggregation to a finer time step.",
    .fields = series_fields<IncrementalTimeSeries>,
    .methods = {&incremental_total_duration, &disaggregate_method},
    .exports_data = true,
};

}  // namespace

TARNWICK_DEFINE_CLASS(continuous_time_series)

TARNWICK_DEFINE_CLASS(incremental_time_series)

void fill_utils(PyObject* module) { fill<continuous_time_series, incremental_time_series>(module); }

}  // namespace tarnwick::python
