// tarnwick.reservoir: level pool routing and its result.
#include "../core/level_pool.hpp"
#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "reservoir_utils.hpp"
#include "utils.hpp"

namespace tarnwick::python {

using reservoir::LevelPoolResult;

TARNWICK_DECLARE_CLASS(LevelPoolResult)

namespace {

constexpr Signature routing_sig{
    nullptr, "run_level_pool_routing", {"inflow", "initial_elevation", "elevation_storage", "discharge_info"}, 4};

NamedMap<reservoir::DischargeInfo> to_outlets(PyObject* object) { return to_map(object, to_discharge_info); }

Ref routing_body(PyObject*, const Args& args) {
    // Both classes are immutable: their values are read in place.
    const auto& inflow = args.get(0, borrow_instance<ContinuousTimeSeries>);
    const double initial_elevation = args.get(1, to_f64);
    const auto& curve = args.get(2, borrow_instance<reservoir::ElevationStorage>);
    const auto outlets = args.get(3, to_outlets);
    return to_python(unwrap(reservoir::run_level_pool_routing(inflow, initial_elevation, curve, outlets)));
}

PyMethodDef routing_def = function_def<routing_sig, routing_body>(
    "run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info)\n--\n\n"
    "Performs level pool (modified Puls) routing for a reservoir.\n\n"
    "Integrates the mass balance equation `dS/dt = I - O` over the inflow\n"
    "hydrograph duration. Output vectors are recorded at the original inflow time\n"
    "step.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if any outlet's discharge calculation fails or if\n"
    "the initial elevation is outside the elevation-storage curve range.");

PyGetSetDef result_getset[] = {
    {"reservoir_storage", get_field<LevelPoolResult, &LevelPoolResult::reservoir_storage>, nullptr,
     "Reservoir storage volume at each output time step.", nullptr},
    {"reservoir_elevation", get_field<LevelPoolResult, &LevelPoolResult::reservoir_elevation>, nullptr,
     "Water surface elevation at each output time step.", nullptr},
    {"reservoir_total_outflow", get_field<LevelPoolResult, &LevelPoolResult::reservoir_total_outflow>, nullptr,
     "Combined outflow from all outlets at each output time step.", nullptr},
    {"reservoir_individual_outflows", get_field<LevelPoolResult, &LevelPoolResult::reservoir_individual_outflows>,
     nullptr, "Per-outlet outflow time series keyed by outlet name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, slot(dealloc<LevelPoolResult>)},
    {Py_tp_doc, const_cast<char*>("Results from a level pool routing simulation.")},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec{"builtins.LevelPoolResult", sizeof(Instance<LevelPoolResult>), 0, result_flags, result_slots};

}  // namespace

TARNWICK_DEFINE_CLASS(LevelPoolResult, result_spec)

void init_reservoir(PyObject* module) {
    Ref utils = new_submodule("reservoir_utils");
    fill_reservoir_utils(utils.get());
    add_submodule(module, utils.get());
    add_function(module, &routing_def);
    add_class<LevelPoolResult>(module);
}

}  // namespace tarnwick::python
