// tarnwick.utils: ContinuousTimeSeries and IncrementalTimeSeries.
#include "utils.hpp"

#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"

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

template <class S>
PyGetSetDef series_getset[] = {
    {"data", get_field<S, &S::data>, nullptr, "", nullptr},
    {"kind", get_field<S, &S::kind>, nullptr, "", nullptr},
    {"time_step", get_time_step<S>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- ContinuousTimeSeries -----------------------------------------------

constexpr Signature continuous_new{"ContinuousTimeSeries", "__new__", {"data", "time_step", "kind"}, 3};

PyMethodDef continuous_methods[] = {
    noargs_def<total_duration_body<ContinuousTimeSeries>>(
        "total_duration", "total_duration($self)\n--\n\nTotal duration from first to last data point (seconds)."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot continuous_slots[] = {
    {Py_tp_new, slot(constructor_entry<ContinuousTimeSeries, continuous_new, make_series<ContinuousTimeSeries>>)},
    {Py_tp_dealloc, slot(dealloc<ContinuousTimeSeries>)},
    {Py_tp_doc, const_cast<char*>("ContinuousTimeSeries(data, time_step, kind)\n--\n\n"
                                  "A uniformly-spaced time series where each value represents a quantity at a\n"
                                  "discrete point in time (e.g. discharge, elevation, storage).\n\n"
                                  "Total duration spans first to last point: `time_step * (len(data) - 1)`.\n"
                                  "Supports linear interpolation between points.")},
    {Py_tp_getset, series_getset<ContinuousTimeSeries>},
    {Py_tp_methods, continuous_methods},
    {0, nullptr},
};

PyType_Spec continuous_spec{"builtins.ContinuousTimeSeries", sizeof(Instance<ContinuousTimeSeries>), 0,
                            subclassable_flags, continuous_slots};

// --- IncrementalTimeSeries ----------------------------------------------

constexpr Signature incremental_new{"IncrementalTimeSeries", "__new__", {"data", "time_step", "kind"}, 3};
constexpr Signature disaggregate_sig{"IncrementalTimeSeries", "disaggregate", {"target_step"}, 1};

Ref disaggregate_body(PyObject* self, const Args& args) {
    const std::int32_t target_step = args.get(0, to_i32);
    return to_python(unwrap(disaggregate(value_of<IncrementalTimeSeries>(self), target_step)));
}

PyMethodDef incremental_methods[] = {
    noargs_def<total_duration_body<IncrementalTimeSeries>>(
        "total_duration", "total_duration($self)\n--\n\nTotal duration spanning all time step intervals (seconds)."),
    function_def<disaggregate_sig, disaggregate_body>("disaggregate($self, target_step)\n--\n\n"
                                                      "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
                                                      "distributing each bucket's value. Total depth is preserved."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot incremental_slots[] = {
    {Py_tp_new, slot(constructor_entry<IncrementalTimeSeries, incremental_new, make_series<IncrementalTimeSeries>>)},
    {Py_tp_dealloc, slot(dealloc<IncrementalTimeSeries>)},
    {Py_tp_doc, const_cast<char*>("IncrementalTimeSeries(data, time_step, kind)\n--\n\n"
                                  "A uniformly-spaced time series where each value represents a quantity\n"
                                  "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n"
                                  "Total duration spans all intervals: `time_step * len(data)`.\n"
                                  "Supports disaggregation to a finer time step.")},
    {Py_tp_getset, series_getset<IncrementalTimeSeries>},
    {Py_tp_methods, incremental_methods},
    {0, nullptr},
};

PyType_Spec incremental_spec{"builtins.IncrementalTimeSeries", sizeof(Instance<IncrementalTimeSeries>), 0,
                             subclassable_flags, incremental_slots};

}  // namespace

TARNWICK_DEFINE_CLASS(ContinuousTimeSeries, continuous_spec)

TARNWICK_DEFINE_CLASS(IncrementalTimeSeries, incremental_spec)

void fill_utils(PyObject* module) {
    add_class<ContinuousTimeSeries>(module);
    add_class<IncrementalTimeSeries>(module);
}

}  // namespace tarnwick::python
