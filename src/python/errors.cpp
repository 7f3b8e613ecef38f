#include "errors.hpp"

#include "ref.hpp"
#include "state.hpp"

namespace tarnwick::python {

void raise(PyObject* type, const std::string& message) {
    // Built with its length, so a NUL inside a caller's text (a kind, a
    // name) keeps the rest of the message; invalid UTF-8 is replaced.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PythonError();
}

void clear_probe_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError();
    PyErr_Clear();
}

std::string type_name(PyObject* object) {
    Ref name = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) throw PythonError();
    return std::string(text, static_cast<std::size_t>(size));
}

std::string not_instance_message(PyObject* object, const char* target) {
    std::string message = object == Py_None ? "'None' is" : "'" + type_name(object) + "' object is";
    message += " not an instance of '";
    message += target;
    message += '\'';
    return message;
}

void raise_not_instance(PyObject* object, const char* target) {
    raise(PyExc_TypeError, not_instance_message(object, target));
}

void raise_error(const Error& error) {
    switch (error.kind) {
        case ErrorKind::value:
            raise(PyExc_ValueError, error.message);
        case ErrorKind::runtime:
            raise(PyExc_RuntimeError, error.message);
    }
    raise(PyExc_SystemError, error.message);
}

PyObject* panic_exception_type() {
    // Created once per interpreter, on first use there. Two threads may race
    // to create it; the first to publish wins and the loser drops its copy,
    // so nothing ever waits on a lock while holding the interpreter.
    InterpreterState* state = find_interpreter_state();
    if (state == nullptr) return nullptr;
    PyObject* type = state->panic_exception.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "tarnwick.PanicException",
        "Raised when internal code fails.\n\nIt derives from BaseException rather than Exception so that it "
        "normally propagates to the top instead of being caught by `except Exception`.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    return publish(state->panic_exception, created);
}

bool signal_raised() { return PyErr_CheckSignals() < 0; }

void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
}

namespace {

// The pending exception as one normalised object (NULL if none is set).
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception, nullptr);
#endif
}

}  // namespace

void prefix_type_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = Ref::steal(take_exception());
    if (!original) return;
    // On any failure while building the replacement, the original stays.
    PyObject* text = PyObject_Str(original.get());
    if (text == nullptr) {
        // What is not an Exception (a KeyboardInterrupt raised meanwhile)
        // takes the original's place and ends the call.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        PyErr_Clear();
        restore_exception(original.release());
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text));
    Py_DECREF(text);
    Ref replacement;
    if (message) replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        PyErr_Clear();
        restore_exception(original.release());
        return;
    }
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    restore_exception(replacement.release());
}

}  // namespace tarnwick::python
