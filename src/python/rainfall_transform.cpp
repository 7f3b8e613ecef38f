// tarnwick.rainfall_transform: run_clark_uh.
#include "../core/clark_uh.hpp"
#include "records.hpp"
#include "utils.hpp"

namespace tarnwick::python {

namespace {

Ref run_body(PyObject*, const Args& args) {
    const IncrementalTimeSeries& rainfall = args.get(0, borrow_instance<IncrementalTimeSeries>);
    const double basin_area = args.get(1, to_f64);
    const TimeDelta tc = args.get(2, to_timedelta);
    const TimeDelta storage_r = args.get(3, to_timedelta);
    const double tc_seconds = unwrap(to_duration(tc)).as_seconds();
    const double storage_seconds = unwrap(to_duration(storage_r)).as_seconds();
    return to_python(unwrap(clark::run_clark_uh(rainfall, basin_area, tc_seconds, storage_seconds)));
}

constexpr Callable run_clark_uh{
    "run_clark_uh", "rainfall, basin_area, tc, storage_r", run_body,
    "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Excess rainfall series (inches per time step).\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `tc` - Time of concentration. Controls the duration and shape of the\n"
    "  translation hydrograph.\n"
    "* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.\n\n"
    "# Returns\n\n"
    "A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`."};

}  // namespace

void init_transform(PyObject* module) { fill<run_clark_uh>(module); }

}  // namespace tarnwick::python
