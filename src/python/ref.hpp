// Owned Python references.
//
// Ref owns one strong reference and releases it when it goes out of scope, so
// no error path can leak. Every C-API call that returns a new reference goes
// through Ref::checked, which turns a NULL result (an exception is set) into
// a thrown PythonError.
#pragma once

#include <Python.h>

#include <utility>

#include "errors.hpp"

namespace tarnwick::python {

class Ref {
 public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes ownership of a new reference that may be NULL.
    static Ref steal(PyObject* object) { return Ref(object); }

    // Takes ownership of a new reference from a C-API call; NULL means the
    // call failed and left an exception set.
    static Ref checked(PyObject* object) {
        if (object == nullptr) throw PythonError();
        return Ref(object);
    }

    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference over to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tarnwick::python
