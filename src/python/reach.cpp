// tarnwick.reach: run_muskingum_routing.
#include "../core/muskingum.hpp"
#include "records.hpp"
#include "utils.hpp"

namespace tarnwick::python {

namespace {

// warnings.warn(message), imported at the moment of warning; an exception
// from either (a filter turning the warning into an error) ends the call.
void warn(const char* message) {
    Ref warnings = Ref::checked(PyImport_ImportModule("warnings"));
    Ref warn_function = Ref::checked(PyObject_GetAttrString(warnings.get(), "warn"));
    Ref text = Ref::checked(PyUnicode_FromString(message));
    Ref outcome = Ref::checked(PyObject_CallOneArg(warn_function.get(), text.get()));
}

Ref run_body(PyObject*, const Args& args) {
    const ContinuousTimeSeries& inflow = args.get(0, borrow_instance<ContinuousTimeSeries>);
    const TimeDelta k = args.get(1, to_timedelta);
    const double x = args.get(2, to_f64);
    const std::int64_t sub_reaches = args.get(3, to_i64);
    const double initial_outflow = args.get(4, to_f64);
    // The weighting factor is questioned before k is checked.
    if (muskingum::x_outside_recommended_range(x)) warn(muskingum::x_range_warning);
    const double k_seconds = unwrap(to_duration(k)).as_seconds();
    return to_python(muskingum::run_muskingum_routing(inflow, {k_seconds, x, sub_reaches, initial_outflow}));
}

constexpr Callable run_muskingum_routing{
    "run_muskingum_routing", "inflow, k, x, sub_reaches, initial_outflow", run_body,
    "Routes an inflow hydrograph through a channel reach using the Muskingum method.\n\n"
    "The reach can be divided into `sub_reaches` equal segments to improve\n"
    "numerical accuracy. Each segment is routed sequentially using the same\n"
    "Muskingum coefficients derived from the per-segment `k` and the weighting\n"
    "factor `x`.\n\n"
    "Issues a Python `warnings.warn` if `x` is outside the physically meaningful\n"
    "range `[0.0, 0.5]`.\n\n"
    "# Arguments\n\n"
    "* `inflow` - Inflow hydrograph at the upstream end of the reach.\n"
    "* `k` - Storage time constant for the full reach (seconds). The per-segment\n"
    "  value is `k / sub_reaches`.\n"
    "* `x` - Weighting factor in `[0.0, 0.5]`. `x=0` gives pure reservoir routing\n"
    "  (maximum attenuation); `x=0.5` approximates kinematic routing (no attenuation).\n"
    "* `sub_reaches` - Number of equal sub-reaches. Must be >= 1.\n"
    "* `initial_outflow` - Initial outflow value. Defaults to the first inflow\n"
    "  value if not provided.\n\n"
    "# Returns\n\n"
    "A `ContinuousTimeSeries` (kind=discharge) of routed outflow values at the\n"
    "same time step as `inflow`."};

}  // namespace

void init_reach(PyObject* module) { fill<run_muskingum_routing>(module); }

}  // namespace tarnwick::python
