// The module's classes: one heap type per class and interpreter.
//
// Every class wraps one plain value from the hydrology. Instance<T> is the
// object layout; class_def<T>() holds the PyType_Spec generated from T's
// class record (records.hpp) in the binding file of T's submodule;
// type_of<T>() creates the type on first use in each interpreter (in its
// InterpreterState, state.hpp). Creation is lock-free: racing threads may
// each build a type, the first to publish it wins and the others discard
// theirs, so exactly one type object per class and interpreter is ever
// handed out.
#pragma once

#include <Python.h>

#include <atomic>
#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "borrow_flag.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

struct ClassDef {
    PyType_Spec* spec;  // named "builtins.{class}"
    // The class's index among the per-interpreter types, drawn on first use.
    std::atomic<int> slot{-1};

    // The bare class name, for registration and type-check messages.
    const char* name() const { return spec->name + sizeof("builtins.") - 1; }
};

// Classes whose values are the doubles of a `data` vector: the time series.
template <class T>
concept HasData = requires(const T& value) {
    { value.data.data() } -> std::same_as<const double*>;
};

struct Nothing {};

// The layout of an instance. Only wrap_as() builds one: the interpreter
// allocates it zeroed and the fields are constructed in place. An instance
// can also come to be without that (object.__new__(cls) while the class's
// __new__ is swapped for a Python function): all zeros, which is no valid T.
// Its `ready` flag stays false, every use of it is refused, and its
// deallocation destroys nothing.
template <class T>
struct Instance {
    PyObject_HEAD T value;
    BorrowFlag borrow;
    bool ready;  // set once `value` and `borrow` are built
    // The number of values a series exports through the buffer protocol: the
    // shape of every view, which must stay valid as long as the view does.
    // Other classes export nothing and keep no room for it.
    [[no_unique_address]] std::conditional_t<HasData<T>, Py_ssize_t, Nothing> exported_length;
};

// TypeError "'{type}' object is not initialised", or an error of `kind`.
[[noreturn]] void raise_uninitialised(PyObject* self, PyObject* kind = PyExc_TypeError);

// Specialised once per class by TARNWICK_DEFINE_CLASS in the binding file of
// its submodule, and declared with TARNWICK_DECLARE_CLASS before any use, in
// a header where other files convert the value too.
template <class T>
ClassDef& class_def();

template <class T>
inline constexpr bool has_class = false;

#define TARNWICK_DECLARE_CLASS(T) \
    template <>                   \
    ClassDef& class_def<T>();     \
    template <>                   \
    inline constexpr bool has_class<T> = true;

// The type in the calling interpreter, created on first use there; NULL
// never escapes (throws PythonError).
PyTypeObject* ensure_type(ClassDef& def);

template <class T>
PyTypeObject* type_of() {
    return ensure_type(class_def<T>());
}

// An instance of T's class or a subclass, refused unless it was built.
template <class T>
Instance<T>& instance_of(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    if (!instance->ready) raise_uninitialised(self);
    return *instance;
}

template <class T>
T& value_of(PyObject* self) {
    return instance_of<T>(self).value;
}

// A new instance of `type` (T's class or a Python subclass) owning `value`.
template <class T>
Ref wrap_as(PyTypeObject* type, T&& value) {
    Ref object = Ref::checked(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<T>*>(object.get());
    new (&instance->value) T(std::move(value));
    new (&instance->borrow) BorrowFlag();
    if constexpr (HasData<T>) instance->exported_length = static_cast<Py_ssize_t>(instance->value.data.size());
    instance->ready = true;
    return object;
}

// A new instance of exactly T's class.
template <class T>
Ref wrap(T value) {
    return wrap_as<T>(type_of<T>(), std::move(value));
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    if (instance->ready) {
        instance->value.~T();
        instance->borrow.~BorrowFlag();
    }
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Is `object` an instance of T's class or of a subclass?
template <class T>
bool is_instance(PyObject* object) {
    return PyObject_TypeCheck(object, type_of<T>()) != 0;
}

// The constructor slot (tp_new) of T's class: binds the arguments by `S`,
// builds the value with `Make` and wraps it in an instance of `type`, which
// is T's class or a Python subclass of it.
template <class T, const Signature& S, T (*Make)(const Args&)>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] { return wrap_as<T>(type, Make(bind(S, args, kwargs))).release(); },
                 static_cast<PyObject*>(nullptr));
}

// The buffer protocol's export (bf_getbuffer) of the values of a series: the
// stored doubles themselves, read-only, one-dimensional and C-contiguous, so
// numpy and memoryview read them without a copy. The view holds a reference
// to the instance, which keeps the values alive; a series never changes after
// construction, so nothing else is held and releasing a view has nothing to
// undo. A request for a writable view, or for the values of an instance that
// was never built, fails with BufferError.
template <HasData T>
int export_data(PyObject* self, Py_buffer* view, int flags) noexcept {
    static constexpr Py_ssize_t stride = sizeof(double);
    static constexpr double no_values[1] = {};  // the address of an empty series' values
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the values of a time series are read-only");
        return -1;
    }
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    if (!instance->ready) return guard([&]() -> int { raise_uninitialised(self, PyExc_BufferError); }, -1);
    const auto& data = instance->value.data;
    view->buf = const_cast<double*>(data.empty() ? no_values : data.data());
    view->len = static_cast<Py_ssize_t>(data.size() * sizeof(double));
    view->readonly = 1;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &instance->exported_length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(&stride) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    view->obj = Py_NewRef(self);
    return 0;
}

}  // namespace tarnwick::python
