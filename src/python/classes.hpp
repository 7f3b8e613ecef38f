// The module's classes: one heap type per class and process.
//
// Every class wraps one plain value from the hydrology. Instance<T> is the
// object layout; class_def<T>() holds the PyType_Spec that the
// binding file of T's submodule provides; type_of<T>() creates the type on
// first use. Creation is lock-free: racing threads may each build a type,
// the first to publish it wins and the others discard theirs, so exactly one
// type object per class is ever handed out.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "binding.hpp"
#include "borrow_flag.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

struct ClassDef {
    PyType_Spec* spec;  // named "builtins.{class}"
    std::atomic<PyObject*> type{nullptr};

    // The bare class name, for registration and type-check messages.
    const char* name() const { return spec->name + sizeof("builtins.") - 1; }
};

template <class T>
struct Instance {
    PyObject_HEAD T value;
    BorrowFlag borrow;
};

// Specialised once per class, in the binding file of its submodule; the
// submodule's header declares it with TARNWICK_DECLARE_CLASS so that every
// file converting the value sees it.
template <class T>
ClassDef& class_def();

template <class T>
inline constexpr bool has_class = false;

// Defines class_def<T>() in the binding file that owns T's type spec.
#define TARNWICK_DEFINE_CLASS(T, type_spec) \
    template <>                             \
    ClassDef& class_def<T>() {              \
        static ClassDef def{&type_spec};    \
        return def;                         \
    }

#define TARNWICK_DECLARE_CLASS(T) \
    template <>                   \
    ClassDef& class_def<T>();     \
    template <>                   \
    inline constexpr bool has_class<T> = true;

// Creates the type on first use; NULL never escapes (throws PythonError).
PyTypeObject* ensure_type(ClassDef& def);

template <class T>
PyTypeObject* type_of() {
    return ensure_type(class_def<T>());
}

template <class T>
T& value_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

// A new instance of `type` (T's class or a Python subclass) owning `value`.
template <class T>
Ref wrap_as(PyTypeObject* type, T&& value) {
    Ref object = Ref::checked(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<T>*>(object.get());
    new (&instance->value) T(std::move(value));
    new (&instance->borrow) BorrowFlag();
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
    instance->value.~T();
    instance->borrow.~BorrowFlag();
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

// A function as the untyped pointer of a type slot.
template <class F>
void* slot(F* function) {
    return reinterpret_cast<void*>(function);
}

// Type flags of the three sorts of class.
inline constexpr unsigned int subclassable_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
inline constexpr unsigned int final_flags = Py_TPFLAGS_DEFAULT;
inline constexpr unsigned int result_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace tarnwick::python
