// tarnwick.metrics: calculate_kge.
#include "../core/kge.hpp"
#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"

namespace tarnwick::python {

namespace {

constexpr Signature kge_sig{nullptr, "calculate_kge", {"sim", "obs", "use_log"}, 2};

Ref kge_body(PyObject*, const Args& args) {
    // Float64 arrays are read in place. A conversion that may run Python
    // code (which could write to an array read in place) first copies what
    // is read in place, so the values are those of that moment, as if every
    // argument had been copied in turn.
    InPlaceValues sim(args[0]);
    if (!sim.in_place()) sim.assign(args.get(0, to_vector));
    InPlaceValues obs(args[1]);
    if (!obs.in_place()) {
        sim.keep_copy();
        obs.assign(args.get(1, to_vector));
    }
    if (args[2] != nullptr && args[2] != Py_True && args[2] != Py_False) {
        sim.keep_copy();
        obs.keep_copy();
    }
    const bool use_log = args.get_or(2, to_flag, false);
    return to_python(unwrap(metrics::calculate_kge(sim.values(), obs.values(), use_log)));
}

// The text is UTF-8 (beta, gamma, squares and the dash).
PyMethodDef kge_def = function_def<kge_sig, kge_body>(
    "calculate_kge(sim, obs, use_log=False)\n--\n\n"
    "Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\n"
    "KGE decomposes model performance into three components measured against\n"
    "a perfect score of 1:\n\n"
    "- **r** (Pearson correlation) — timing and shape agreement.\n"
    "- **β = mean_sim / mean_obs** — bias ratio.\n"
    "- **γ = std_sim / std_obs** — variability ratio.\n\n"
    "The efficiency is computed as:\n"
    "```text\n"
    "KGE = 1 - sqrt((r-1)² + (β-1)² + (γ-1)²)\n"
    "```\n\n"
    "A KGE of 1 indicates a perfect match. Values above 0 are generally\n"
    "considered acceptable. Setting `use_log = true` applies a log transform\n"
    "before computing statistics, which emphasises low-flow performance.\n\n"
    "# Arguments\n\n"
    "* `sim` - Simulated time series.\n"
    "* `obs` - Observed time series. Must have the same length as `sim`.\n"
    "* `use_log` - If `true`, transforms both series with `ln(x + ε)` before\n"
    "  computing statistics.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have\n"
    "different lengths.");

}  // namespace

void init_metrics(PyObject* module) { add_function(module, &kge_def); }

}  // namespace tarnwick::python
