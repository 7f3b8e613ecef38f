// tarnwick.reservoir: level pool routing and its result.
#include "../core/level_pool.hpp"
#include "records.hpp"
#include "reservoir_utils.hpp"
#include "utils.hpp"

namespace tarnwick::python {

using reservoir::LevelPoolResult;

TARNWICK_DECLARE_CLASS(LevelPoolResult)

namespace {

NamedMap<reservoir::DischargeInfo> to_outlets(PyObject* object) { return to_map(object, to_discharge_info); }

Ref routing_body(PyObject*, const Args& args) {
    // Both classes are immutable: their values are read in place.
    const auto& inflow = args.get(0, borrow_instance<ContinuousTimeSeries>);
    const double initial_elevation = args.get(1, to_f64);
    const auto& curve = args.get(2, borrow_instance<reservoir::ElevationStorage>);
    const auto outlets = args.get(3, to_outlets);
    return to_python(unwrap(reservoir::run_level_pool_routing(inflow, initial_elevation, curve, outlets)));
}

constexpr Callable run_level_pool_routing{
    "run_level_pool_routing", "inflow, initial_elevation, elevation_storage, discharge_info", routing_body,
    "Performs level pool (modified Puls) routing for a reservoir.\n\n"
    "Integrates the mass balance equation `dS/dt = I - O` over the inflow\n"
    "hydrograph duration. Output vectors are recorded at the original inflow time\n"
    "step.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if any outlet's discharge calculation fails or if\n"
    "the initial elevation is outside the elevation-storage curve range."};

constexpr Class<LevelPoolResult> level_pool_result{
    .name = "LevelPoolResult",
    .subclassable = true,
    .constructor = {},
    .doc = "Results from a level pool routing simulation.",
    .fields = {{
        {"reservoir_storage", read<&LevelPoolResult::reservoir_storage>,
         "Reservoir storage volume at each output time step."},
        {"reservoir_elevation", read<&LevelPoolResult::reservoir_elevation>,
         "Water surface elevation at each output time step."},
        {"reservoir_total_outflow", read<&LevelPoolResult::reservoir_total_outflow>,
         "Combined outflow from all outlets at each output time step."},
        {"reservoir_individual_outflows", read<&LevelPoolResult::reservoir_individual_outflows>,
         "Per-outlet outflow time series keyed by outlet name."},
    }},
};

constexpr Submodule reservoir_utils{"reservoir_utils", fill_reservoir_utils};

}  // namespace

TARNWICK_DEFINE_CLASS(level_pool_result)

void init_reservoir(PyObject* module) { fill<reservoir_utils, run_level_pool_routing, level_pool_result>(module); }

}  // namespace tarnwick::python
