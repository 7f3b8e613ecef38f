#include "classes.hpp"

#include <mutex>

#include "state.hpp"

namespace tarnwick::python {

void raise_uninitialised(PyObject* self, PyObject* kind) {
    raise(kind, "'" + type_name(self) + "' object is not initialised");
}

namespace {

// The slot of `def` among the per-interpreter types: one per class for the
// whole process, as the classes are the same in every interpreter.
std::size_t slot_of(ClassDef& def) {
    const int slot = def.slot.load(std::memory_order_acquire);
    if (slot >= 0) return static_cast<std::size_t>(slot);
    // A class's first use draws its slot under a lock, so that threads racing
    // on it draw one slot between them, not one each.
    static std::mutex drawing;
    static int next = 0;
    std::lock_guard<std::mutex> hold(drawing);
    const int drawn = def.slot.load(std::memory_order_relaxed);
    if (drawn >= 0) return static_cast<std::size_t>(drawn);
    if (next >= static_cast<int>(InterpreterState::max_classes))
        internal_failure("more classes than per-interpreter type slots");
    def.slot.store(next, std::memory_order_release);
    return static_cast<std::size_t>(next++);
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
