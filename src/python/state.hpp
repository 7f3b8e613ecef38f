// What the module keeps per interpreter.
//
// Every Python object or C-API table the module holds on to (its class
// objects, PanicException, the datetime interface, the array types it
// recognises) belongs to the interpreter that created or imported it, and is
// only used there: a legacy sub-interpreter sharing the process gets its own,
// and they go when it is destroyed. The state lives in the interpreter's own
// dict, so it is released with the interpreter, however many module objects
// (the main one, standalone submodules) were created there. Once it has been
// released, that interpreter gets no new one: a call made there afterwards
// (from a finalizer that runs while the interpreter is cleared) fails with
// RuntimeError instead of leaving a state in a dict nobody frees.
//
// Each slot is filled at most once by a lock-free publish: racing threads
// (without the interpreter lock) may each create a value, the first to
// publish wins and the others drop theirs.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "errors.hpp"

namespace tarnwick::python {

struct InterpreterState {
    static constexpr std::size_t max_classes = 32;

    // The id of the interpreter whose dict holds this state.
    std::int64_t interpreter = -1;

    // Class objects, indexed by the slot their ClassDef draws on first use.
    std::array<std::atomic<PyObject*>, max_classes> types{};
    std::atomic<PyObject*> panic_exception{nullptr};
    // The datetime module's capsule, which keeps its interface alive, and
    // the interface (a PyDateTime_CAPI) once read from it.
    std::atomic<PyObject*> datetime_capsule{nullptr};
    std::atomic<const void*> datetime_api{nullptr};
    // Types recognised by identity, once found among the loaded modules:
    // numpy.ndarray, array.array, pandas.Series, xarray.DataArray and
    // pandas.DataFrame (refused where a sequence is expected).
    std::atomic<PyObject*> ndarray{nullptr};
    std::atomic<PyObject*> array{nullptr};
    std::atomic<PyObject*> series{nullptr};
    std::atomic<PyObject*> data_array{nullptr};
    std::atomic<PyObject*> data_frame{nullptr};

    InterpreterState() = default;
    InterpreterState(const InterpreterState&) = delete;
    InterpreterState& operator=(const InterpreterState&) = delete;
    ~InterpreterState();
};

namespace detail {

// The last state used, keyed by its interpreter's id, which is never reused
// in a process (an interpreter's address is, once it is freed). With the
// interpreter lock, which every interpreter that can load the module shares
// (one with a lock of its own refuses the import), there is one for the
// process, reset when the state is released. Without it, each thread keeps
// its own.
struct LastUsed {
    std::int64_t interpreter = -1;
    InterpreterState* state = nullptr;
};
#if defined(Py_GIL_DISABLED)
extern thread_local LastUsed last_used;
#else
extern LastUsed last_used;
#endif

InterpreterState* find_state_in_dict() noexcept;

}  // namespace detail

// The calling thread's interpreter's state, created on first use; NULL with
// an exception set if it cannot be created. Never throws.
inline InterpreterState* find_interpreter_state() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id >= 0 && detail::last_used.interpreter == id) return detail::last_used.state;
    return detail::find_state_in_dict();
}

// As find_interpreter_state(), throwing PythonError on failure.
inline InterpreterState& interpreter_state() {
    InterpreterState* state = find_interpreter_state();
    if (state == nullptr) throw PythonError();
    return *state;
}

// Publishes `created` (a new reference) in `slot` unless another thread did
// first; returns the published object (borrowed from the state).
PyObject* publish(std::atomic<PyObject*>& slot, PyObject* created) noexcept;

}  // namespace tarnwick::python
