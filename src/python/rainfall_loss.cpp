// tarnwick.rainfall_loss: DeficitConstantResult and run_deficit_and_constant.
#include "../core/deficit_constant.hpp"
#include "records.hpp"
#include "utils.hpp"

namespace tarnwick::python {

using deficit_constant::DeficitConstantResult;

TARNWICK_DECLARE_CLASS(DeficitConstantResult)

namespace {

constexpr Class<DeficitConstantResult> deficit_constant_result{
    .name = "DeficitConstantResult",
    .subclassable = true,
    .constructor = {},
    .doc = "Results from the deficit-and-constant rainfall loss model.",
    .fields = {{
        {"excess", read<&DeficitConstantResult::excess>,
         "Excess rainfall that becomes surface runoff (inches per time step)."},
        {"loss", read<&DeficitConstantResult::loss>,
         "Total infiltrated depth per time step (constant loss + deficit fill, inches)."},
        {"deficit", read<&DeficitConstantResult::deficit>,
         "Running soil moisture deficit at the end of each time step (inches)."},
    }},
};

Ref run_body(PyObject*, const Args& args) {
    const IncrementalTimeSeries& rainfall = args.get(0, borrow_instance<IncrementalTimeSeries>);
    const double initial_deficit = args.get(1, to_f64);
    const double max_deficit = args.get(2, to_f64);
    const double constant_loss_per_hr = args.get(3, to_f64);
    const TimeDelta time_to_dry = args.get(4, to_timedelta);
    const double time_to_dry_seconds = unwrap(to_duration(time_to_dry)).as_seconds();
    return to_python(deficit_constant::run_deficit_and_constant(
        rainfall, {initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry_seconds}));
}

constexpr Callable run_deficit_and_constant{
    "run_deficit_and_constant", "rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry", run_body,
    "Separates gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Gross rainfall time series (inches per time step).\n"
    "* `initial_deficit` - Starting soil moisture deficit (inches).\n"
    "* `max_deficit` - Maximum soil moisture storage capacity (inches).\n"
    "* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).\n"
    "* `time_to_dry` - Characteristic drying time for deficit recovery.\n\n"
    "# Returns\n\n"
    "A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series."};

}  // namespace

TARNWICK_DEFINE_CLASS(deficit_constant_result)

void init_loss(PyObject* module) { fill<deficit_constant_result, run_deficit_and_constant>(module); }

}  // namespace tarnwick::python
