// tarnwick.metrics: calculate_kge.
//
// How to add a function to a submodule:
//  1. Write its routine: convert each argument with args.get(index, converter)
//     in parameter order (a left-out optional argument is its default, as the
//     record writes it), call the hydrology and return to_python(result).
//  2. Copy a Callable record such as calculate_kge below: the Python name,
//     the parameters exactly as the docstring shows them (defaults included),
//     the routine and the docstring's description.
//  3. Add the record to the submodule's fill<...> list where it belongs in
//     the registration order.
// The signature line of the docstring, the argument binding and its error
// messages all come from the record. In the tests, add the function's calls
// to its submodule's test file and its full docstring to the table in
// test_module.py. A method is the same record listed in its class's
// .methods; a class is a Class record (see reservoir_utils.cpp).
#include "../core/kge.hpp"
#include "records.hpp"

namespace tarnwick::python {

namespace {

Ref kge_body(PyObject*, const Args& args) {
    ReadArgs read(args);
    const InPlaceValues& sim = read.sequence(0);
    const InPlaceValues& obs = read.sequence(1);
    const bool use_log = read.get(2, to_flag);
    return to_python(unwrap(metrics::calculate_kge(sim.values(), obs.values(), use_log)));
}

// The text is UTF-8 (beta, gamma, squares and the dash).
constexpr Callable calculate_kge{
    "calculate_kge", "sim, obs, use_log=False", kge_body,
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
    "different lengths."};

}  // namespace

void init_metrics(PyObject* module) { fill<calculate_kge>(module); }

}  // namespace tarnwick::python
