#include "state.hpp"

#include <cstdint>
#include <new>

#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

namespace {

// The last state each thread used, with its interpreter's id: ids are never
// reused within a process, so a match means the state is still alive.
struct LastUsed {
    std::int64_t interpreter = -1;
    InterpreterState* state = nullptr;
};
thread_local LastUsed last_used;

// The key of the state in the interpreter's dict, unique to this copy of the
// library: another build loaded into the same process keeps its own.
const char key_anchor = 0;

void release_state(PyObject* capsule) noexcept {
    auto* state = static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, "tarnwick.InterpreterState"));
    if (state == nullptr) {
        PyErr_Clear();  // cannot happen: the capsule is ours
        return;
    }
    if (last_used.state == state) last_used = {};
    delete state;
}

InterpreterState* create_or_find(std::int64_t id) noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dict for module state");
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("tarnwick.InterpreterState.%p", static_cast<const void*>(&key_anchor)));
    if (!key) return nullptr;
    PyObject* found = PyDict_GetItemWithError(dict, key.get());  // borrowed
    if (found == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        auto* fresh = new (std::nothrow) InterpreterState();
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        Ref capsule = Ref::steal(PyCapsule_New(fresh, "tarnwick.InterpreterState", release_state));
        if (!capsule) {
            delete fresh;
            return nullptr;
        }
        // Another thread may have stored one meanwhile: the stored one wins
        // and ours goes with its capsule.
        found = PyDict_SetDefault(dict, key.get(), capsule.get());
        if (found == nullptr) return nullptr;
    }
    auto* state = static_cast<InterpreterState*>(PyCapsule_GetPointer(found, "tarnwick.InterpreterState"));
    if (state != nullptr) last_used = {id, state};
    return state;
}

}  // namespace

InterpreterState::~InterpreterState() {
    for (auto& type : types) Py_XDECREF(type.load(std::memory_order_relaxed));
    for (auto* slot : {&panic_exception, &datetime_capsule, &ndarray, &array, &series, &data_array})
        Py_XDECREF(slot->load(std::memory_order_relaxed));
}

InterpreterState* find_interpreter_state() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (last_used.interpreter == id) return last_used.state;
    return create_or_find(id);
}

InterpreterState& interpreter_state() {
    InterpreterState* state = find_interpreter_state();
    if (state == nullptr) throw PythonError();
    return *state;
}

PyObject* publish(std::atomic<PyObject*>& slot, PyObject* created) noexcept {
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
    Py_DECREF(created);  // another thread published first
    return expected;
}

}  // namespace tarnwick::python
