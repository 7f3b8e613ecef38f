// What the module keeps per interpreter.
//
// Every Python object or C-API table the module holds on to (its class
// objects, PanicException, the datetime interface, the array types it
// recognises) belongs to the interpreter that created or imported it, and is
// only used there: a legacy sub-interpreter sharing the process gets its own,
// and they go when it is destroyed. The state lives in the interpreter's own
// dict, so it is released with the interpreter, however many module objects
// (the main one, standalone submodules) were created there.
//
// Each slot is filled at most once by a lock-free publish: racing threads
// (without the interpreter lock) may each create a value, the first to
// publish wins and the others drop theirs.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>

namespace tarnwick::python {

struct InterpreterState {
    static constexpr std::size_t max_classes = 32;

    // Class objects, indexed by the slot their ClassDef draws on first use.
    std::array<std::atomic<PyObject*>, max_classes> types{};
    std::atomic<PyObject*> panic_exception{nullptr};
    // The datetime module's capsule, which keeps its interface alive.
    std::atomic<PyObject*> datetime_capsule{nullptr};
    // Types recognised by identity, once found among the loaded modules:
    // numpy.ndarray, array.array, pandas.Series and xarray.DataArray.
    std::atomic<PyObject*> ndarray{nullptr};
    std::atomic<PyObject*> array{nullptr};
    std::atomic<PyObject*> series{nullptr};
    std::atomic<PyObject*> data_array{nullptr};

    InterpreterState() = default;
    InterpreterState(const InterpreterState&) = delete;
    InterpreterState& operator=(const InterpreterState&) = delete;
    ~InterpreterState();
};

// The calling thread's interpreter's state, created on first use; NULL with
// an exception set if it cannot be created. Never throws.
InterpreterState* find_interpreter_state() noexcept;

// As find_interpreter_state(), throwing PythonError on failure.
InterpreterState& interpreter_state();

// Publishes `created` (a new reference) in `slot` unless another thread did
// first; returns the published object (borrowed from the state).
PyObject* publish(std::atomic<PyObject*>& slot, PyObject* created) noexcept;

}  // namespace tarnwick::python
