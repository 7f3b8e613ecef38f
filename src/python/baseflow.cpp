// tarnwick.baseflow: run_linear_reservoir and LinearReservoir.
//
// LinearReservoir is the one class with writable attributes, so each
// instance guards its value with its BorrowFlag: every read (an attribute
// read, or the copy taken by run_linear_reservoir) holds shared access while
// it copies the value, and every write holds exclusive access while it
// stores. Neither ever waits: an overlapping access fails with RuntimeError
// instead, which can only happen on an interpreter without the global lock.
#include "../core/linear_reservoir.hpp"
#include "records.hpp"
#include "utils.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(baseflow::LinearReservoir)

namespace {

using baseflow::LinearReservoir;

// A copy of the instance's value, taken under shared access.
LinearReservoir read_shared(PyObject* self) {
    Instance<LinearReservoir>& instance = instance_of<LinearReservoir>(self);
    if (!instance.borrow.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    const LinearReservoir copy = instance.value;
    instance.borrow.release_shared();
    return copy;
}

// A dict value of run_linear_reservoir's `reservoirs`.
LinearReservoir to_reservoir(PyObject* object) {
    if (!is_instance<LinearReservoir>(object)) raise_not_instance(object, class_def<LinearReservoir>().name());
    return read_shared(object);
}

// --- LinearReservoir ------------------------------------------------------

LinearReservoir make_reservoir(const Args& args) {
    const TimeDelta k_duration = args.get(0, to_timedelta);
    const double gw_fraction = args.get(1, to_f64);
    const double initial_q = args.get(2, to_f64);
    const std::size_t num_reservoir = args.get(3, to_usize);
    return unwrap(baseflow::make_linear_reservoir(k_duration, gw_fraction, initial_q, num_reservoir));
}

template <auto Field>
PyObject* get_shared(PyObject* self, void*) noexcept {
    return guard([&] { return to_python(read_shared(self).*Field).release(); }, static_cast<PyObject*>(nullptr));
}

PyObject* get_k_duration(PyObject* self, void*) noexcept {
    return guard([&] { return timedelta_from_seconds(read_shared(self).k_duration).release(); },
                 static_cast<PyObject*>(nullptr));
}

// Setter of a writable field. `closure` is the attribute's name, which a
// conversion TypeError names as its argument. The new value is converted
// first, without any access held, because the conversion may run Python
// code (a __float__ or __index__) that reads this very object; only the
// store itself happens under exclusive access.
template <auto Field, auto Convert>
int set_exclusive(PyObject* self, PyObject* value, void* closure) noexcept {
    return guard(
        [&] {
            if (value == nullptr) raise(PyExc_AttributeError, "property has no deleter");
            const char* name = static_cast<const char*>(closure);
            auto converted = [&] {
                try {
                    return Convert(value);
                } catch (const PythonError&) {
                    prefix_type_error(name);
                    throw;
                }
            }();
            Instance<LinearReservoir>& instance = instance_of<LinearReservoir>(self);
            if (!instance.borrow.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
            instance.value.*Field = converted;
            instance.borrow.release_exclusive();
            return 0;
        },
        -1);
}

// Not subclassable: a subclass could not share the guarded layout safely.
constexpr Class<LinearReservoir> linear_reservoir{
    .name = "LinearReservoir",
    .subclassable = false,
    .constructor = {"k_duration, gw_fraction, initial_q, num_reservoir=1", make_reservoir},
    .doc =
        "Configuration for a single linear reservoir groundwater layer.\n\n"
        "A linear reservoir models groundwater storage with the recurrence relation:\n"
        "`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.\n"
        "Chaining `num_reservoir` reservoirs in series produces a more peaked,\n"
        "delayed response.",
    .fields = {{
        {"gw_fraction", get_shared<&LinearReservoir::gw_fraction>,
         "Fraction of rainfall loss that contributes to this reservoir's baseflow.\nMust be in [0.0, 1.0].",
         set_exclusive<&LinearReservoir::gw_fraction, to_f64>},
        {"initial_q", get_shared<&LinearReservoir::initial_q>,
         "Initial discharge at the start of the simulation (e.g., cfs).",
         set_exclusive<&LinearReservoir::initial_q, to_f64>},
        {"num_reservoir", get_shared<&LinearReservoir::num_reservoir>, "Number of linear reservoirs chained in series.",
         set_exclusive<&LinearReservoir::num_reservoir, to_usize>},
        {"k_duration", get_k_duration, "Returns the storage time constant as a Python `timedelta`."},
    }},
};

// --- run_linear_reservoir -------------------------------------------------

Ref run_body(PyObject*, const Args& args) {
    const double basin_area = args.get(0, to_f64);
    // A series is immutable and the caller keeps it alive for the call, so it
    // is read in place rather than copied.
    const IncrementalTimeSeries& rainfall = args.get(1, borrow_instance<IncrementalTimeSeries>);
    const auto reservoirs = args.get(2, [](PyObject* object) { return to_map(object, to_reservoir); });
    auto result = unwrap(baseflow::run_linear_reservoir(basin_area, rainfall, reservoirs));
    // (total, {name: layer}), in the order the caller gave the layers.
    return to_python(std::pair{std::move(result.total), std::move(result.layers)});
}

constexpr Callable run_linear_reservoir{
    "run_linear_reservoir", "basin_area, rainfall, reservoirs", run_body,
    "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n"
    "# Arguments\n\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `rainfall` - Infiltrated rainfall series (inches per time step).\n"
    "* `reservoirs` - Named linear reservoir configurations.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if sum of all fractions exceeds 1.0,\n"
    "or any reservoir fails its stability check."};

}  // namespace

TARNWICK_DEFINE_CLASS(linear_reservoir)

void init_baseflow(PyObject* module) { fill<run_linear_reservoir, linear_reservoir>(module); }

}  // namespace tarnwick::python
