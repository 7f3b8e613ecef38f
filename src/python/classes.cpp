#include "classes.hpp"

#include "state.hpp"

namespace tarnwick::python {

void raise_uninitialised(PyObject* self, PyObject* kind) {
    raise(kind, "'" + type_name(self) + "' object is not initialised");
}

namespace {

// The slot of `def` among the per-interpreter types: one per class for the
// whole process, as the classes are the same in every interpreter.
std::size_t slot_of(ClassDef& def) {
    int slot = def.slot.load(std::memory_order_acquire);
    if (slot >= 0) return static_cast<std::size_t>(slot);
    static std::atomic<int> next{0};
    const int drawn = next.fetch_add(1, std::memory_order_relaxed);
    if (drawn >= static_cast<int>(InterpreterState::max_classes))
        internal_failure("more classes than per-interpreter type slots");
    // Of two threads drawing at once, the first to store its slot wins; the
    // other's stays unused.
    int expected = -1;
    if (def.slot.compare_exchange_strong(expected, drawn, std::memory_order_acq_rel))
        return static_cast<std::size_t>(drawn);
    return static_cast<std::size_t>(expected);
}

}  // namespace

PyTypeObject* ensure_type(ClassDef& def) {
    std::atomic<PyObject*>& held = interpreter_state().types[slot_of(def)];
    PyObject* type = held.load(std::memory_order_acquire);
    if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
    PyObject* created = PyType_FromSpec(def.spec);
    if (created == nullptr) throw PythonError();
    return reinterpret_cast<PyTypeObject*>(publish(held, created));
}

}  // namespace tarnwick::python
