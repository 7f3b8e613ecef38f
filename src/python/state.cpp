#include "state.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

namespace {

// The key of the state in the interpreter's dict, unique to this copy of the
// library: another build loaded into the same process keeps its own.
const char key_anchor = 0;

// The interpreters whose state was released: their dict is being cleared,
// and a dict made for them afterwards would never be. Never destroyed, so
// that a state released during the process's exit can still be recorded.
std::mutex released_lock;

std::vector<std::int64_t>& released() {
    static auto* ids = new std::vector<std::int64_t>();
    return *ids;
}

bool was_released(std::int64_t interpreter) noexcept {
    try {
        std::lock_guard<std::mutex> hold(released_lock);
        const std::vector<std::int64_t>& ids = released();
        return std::find(ids.begin(), ids.end(), interpreter) != ids.end();
    } catch (...) {
        return false;  // nothing was recorded, as recording failed too
    }
}

void release_state(PyObject* capsule) noexcept {
    auto* state = static_cast<InterpreterState*>(PyCapsule_GetPointer(capsule, "tarnwick.InterpreterState"));
    if (state == nullptr) {
        PyErr_Clear();  // cannot happen: the capsule is ours
        return;
    }
    if (detail::last_used.state == state) detail::last_used = {};
    try {
        std::lock_guard<std::mutex> hold(released_lock);
        released().push_back(state->interpreter);
    } catch (...) {
        // Without the record a late call makes a state that is never freed,
        // a leak, but a state of this interpreter's own.
    }
    delete state;
}

}  // namespace

namespace detail {

#if defined(Py_GIL_DISABLED)
thread_local LastUsed last_used;
#else
LastUsed last_used;
#endif

InterpreterState* find_state_in_dict() noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    PyObject* dict = was_released(id) ? nullptr : PyInterpreterState_GetDict(interpreter);
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
        fresh->interpreter = id;
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

}  // namespace detail

InterpreterState::~InterpreterState() {
    for (auto& type : types) Py_XDECREF(type.load(std::memory_order_relaxed));
    for (auto* slot : {&panic_exception, &datetime_capsule, &ndarray, &array, &series, &data_array, &data_frame})
        Py_XDECREF(slot->load(std::memory_order_relaxed));
}

PyObject* publish(std::atomic<PyObject*>& slot, PyObject* created) noexcept {
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
    Py_DECREF(created);  // another thread published first
    return expected;
}

}  // namespace tarnwick::python
