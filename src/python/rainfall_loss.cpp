// tarnwick.rainfall_loss: DeficitConstantResult and run_deficit_and_constant.
#include "rainfall_loss.hpp"

#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "utils.hpp"

namespace tarnwick::python {

namespace {

// --- DeficitConstantResult ----------------------------------------------

PyGetSetDef result_getset[] = {
    {"excess", get_field<DeficitConstantResult, &DeficitConstantResult::excess>, nullptr,
     "Excess rainfall that becomes surface runoff (inches per time step).", nullptr},
    {"loss", get_field<DeficitConstantResult, &DeficitConstantResult::loss>, nullptr,
     "Total infiltrated depth per time step (constant loss + deficit fill, inches).", nullptr},
    {"deficit", get_field<DeficitConstantResult, &DeficitConstantResult::deficit>, nullptr,
     "Running soil moisture deficit at the end of each time step (inches).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, slot(dealloc<DeficitConstantResult>)},
    {Py_tp_doc, const_cast<char*>("Results from the deficit-and-constant rainfall loss model.")},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec{"builtins.DeficitConstantResult", sizeof(Instance<DeficitConstantResult>), 0, result_flags,
                        result_slots};

// --- run_deficit_and_constant -------------------------------------------

constexpr Signature run_sig{nullptr,
                            "run_deficit_and_constant",
                            {"rainfall", "initial_deficit", "max_deficit", "constant_loss_per_hr", "time_to_dry"},
                            5};

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

PyMethodDef run_def = function_def<run_sig, run_body>(
    "run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)\n--\n\n"
    "Separates gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Gross rainfall time series (inches per time step).\n"
    "* `initial_deficit` - Starting soil moisture deficit (inches).\n"
    "* `max_deficit` - Maximum soil moisture storage capacity (inches).\n"
    "* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).\n"
    "* `time_to_dry` - Characteristic drying time for deficit recovery.\n\n"
    "# Returns\n\n"
    "A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.");

}  // namespace

TARNWICK_DEFINE_CLASS(DeficitConstantResult, result_spec)

void init_loss(PyObject* module) {
    add_class<DeficitConstantResult>(module);
    add_function(module, &run_def);
}

}  // namespace tarnwick::python
