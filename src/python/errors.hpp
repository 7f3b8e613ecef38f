// Failures at the Python boundary.
//
// Inside the boundary a failure travels as a C++ exception: PythonError means
// "a Python exception is already set", InternalFailure (from the hydrology)
// means a broken precondition, and Cancelled (from the hydrology) means the
// cancellation hook found a signal handler raising, whose exception is set. guard() is the one place that turns every
// C++ exception into the matching Python exception; every entry point the interpreter can call runs its body inside it
// and is noexcept.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "../core/cancel.hpp"
#include "../core/error.hpp"

namespace tarnwick::python {

// Thrown after a Python exception has been set.
struct PythonError {};

// Clears the pending exception when it is an Exception, which is how a probe
// (a length hint, an optional attribute) may fail; anything else, such as the
// KeyboardInterrupt of a signal handler or SystemExit, ends the call: it
// stays set and PythonError is thrown.
void clear_probe_failure();

// Sets an exception of `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The type-check message: "'{type}' object is not an instance of '{target}'",
// or "'None' is not an instance of '{target}'" for None.
std::string not_instance_message(PyObject* object, const char* target);

// The type-check error: "'{type}' object is not an instance of '{target}'",
// or "'None' is not an instance of '{target}'" for None.
[[noreturn]] void raise_not_instance(PyObject* object, const char* target);

// Raises a returned error as its Python exception.
[[noreturn]] void raise_error(const Error& error);

// The value of a Result, or its error raised as a Python exception.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result) raise_error(result.error());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// The interpreter's PanicException class (a direct subclass of BaseException),
// created on first use; NULL with an exception set if it cannot be created.
PyObject* panic_exception_type();

// The hydrology's cancellation hook: runs pending signal handlers, and asks
// to stop when one raised (a KeyboardInterrupt on Ctrl-C), leaving its
// exception set. Every computation runs in a call from the interpreter, on
// a thread attached to it, which is what signal handling needs.
bool signal_raised();

// Sets PanicException with `message` as its single argument.
void set_panic(const char* message);

// The qualified name of an object's type, for messages.
std::string type_name(PyObject* object);

// Replaces a pending TypeError by "argument '{parameter}': {message}",
// keeping its __cause__; other exceptions are left as they are.
void prefix_type_error(const char* parameter);

// Runs `body` and converts any escaping C++ exception into a Python
// exception, returning `failed` in that case.
template <class Body, class R = decltype(std::declval<Body>()())>
R guard(Body&& body, R failed) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const Cancelled&) {
    } catch (const InternalFailure& failure) {
        set_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold.
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        set_panic(other.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
    return failed;
}

}  // namespace tarnwick::python
