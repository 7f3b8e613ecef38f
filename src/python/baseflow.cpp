// tarnwick.baseflow: run_linear_reservoir and LinearReservoir.
//
// LinearReservoir is the one class with writable attributes, so each
// instance guards its value with its BorrowFlag: every read (an attribute
// read, or the copy taken by run_linear_reservoir) holds shared access while
// it copies the value, and every write holds exclusive access while it
// stores. Neither ever waits: an overlapping access fails with RuntimeError
// instead, which can only happen on an interpreter without the global lock.
#include "baseflow.hpp"

#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "utils.hpp"

namespace tarnwick::python {

namespace {

using baseflow::LinearReservoir;

Instance<LinearReservoir>& instance_of(PyObject* self) { return *reinterpret_cast<Instance<LinearReservoir>*>(self); }

// A copy of the instance's value, taken under shared access.
LinearReservoir read_shared(PyObject* self) {
    Instance<LinearReservoir>& instance = instance_of(self);
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

constexpr Signature reservoir_new{
    "LinearReservoir", "__new__", {"k_duration", "gw_fraction", "initial_q", "num_reservoir"}, 3};

LinearReservoir make_reservoir(const Args& args) {
    const TimeDelta k_duration = args.get(0, to_timedelta);
    const double gw_fraction = args.get(1, to_f64);
    const double initial_q = args.get(2, to_f64);
    const std::size_t num_reservoir = args.get_or(3, to_usize, std::size_t{1});
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
            Instance<LinearReservoir>& instance = instance_of(self);
            if (!instance.borrow.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
            instance.value.*Field = converted;
            instance.borrow.release_exclusive();
            return 0;
        },
        -1);
}

PyGetSetDef reservoir_getset[] = {
    {"gw_fraction", get_shared<&LinearReservoir::gw_fraction>, set_exclusive<&LinearReservoir::gw_fraction, to_f64>,
     "Fraction of rainfall loss that contributes to this reservoir's baseflow.\nMust be in [0.0, 1.0].",
     const_cast<char*>("gw_fraction")},
    {"initial_q", get_shared<&LinearReservoir::initial_q>, set_exclusive<&LinearReservoir::initial_q, to_f64>,
     "Initial discharge at the start of the simulation (e.g., cfs).", const_cast<char*>("initial_q")},
    {"num_reservoir", get_shared<&LinearReservoir::num_reservoir>,
     set_exclusive<&LinearReservoir::num_reservoir, to_usize>, "Number of linear reservoirs chained in series.",
     const_cast<char*>("num_reservoir")},
    {"k_duration", get_k_duration, nullptr, "Returns the storage time constant as a Python `timedelta`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reservoir_slots[] = {
    {Py_tp_new, slot(constructor_entry<LinearReservoir, reservoir_new, make_reservoir>)},
    {Py_tp_dealloc, slot(dealloc<LinearReservoir>)},
    {Py_tp_doc, const_cast<char*>("LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)\n--\n\n"
                                  "Configuration for a single linear reservoir groundwater layer.\n\n"
                                  "A linear reservoir models groundwater storage with the recurrence relation:\n"
                                  "`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.\n"
                                  "Chaining `num_reservoir` reservoirs in series produces a more peaked,\n"
                                  "delayed response.")},
    {Py_tp_getset, reservoir_getset},
    {0, nullptr},
};

// Not subclassable: a subclass could not share the guarded layout safely.
PyType_Spec reservoir_spec{"builtins.LinearReservoir", sizeof(Instance<LinearReservoir>), 0, final_flags,
                           reservoir_slots};

// --- run_linear_reservoir -------------------------------------------------

constexpr Signature run_sig{nullptr, "run_linear_reservoir", {"basin_area", "rainfall", "reservoirs"}, 3};

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

PyMethodDef run_def = function_def<run_sig, run_body>(
    "run_linear_reservoir(basin_area, rainfall, reservoirs)\n--\n\n"
    "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n"
    "# Arguments\n\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `rainfall` - Infiltrated rainfall series (inches per time step).\n"
    "* `reservoirs` - Named linear reservoir configurations.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if sum of all fractions exceeds 1.0,\n"
    "or any reservoir fails its stability check.");

}  // namespace

TARNWICK_DEFINE_CLASS(baseflow::LinearReservoir, reservoir_spec)

void init_baseflow(PyObject* module) {
    add_function(module, &run_def);
    add_class<baseflow::LinearReservoir>(module);
}

}  // namespace tarnwick::python
