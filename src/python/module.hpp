// Module registration: the primitives every fill operation uses and the fill
// operation of each submodule, defined in that submodule's binding file.
#pragma once

#include <Python.h>

#include "classes.hpp"
#include "ref.hpp"

namespace tarnwick::python {

// Appends `name` to the module's __all__ (creating the list on first use)
// and sets the attribute.
void add(PyObject* module, const char* name, PyObject* value);

template <class T>
void add_class(PyObject* module) {
    add(module, class_def<T>().name(), reinterpret_cast<PyObject*>(type_of<T>()));
}

// A new built-in function bound to `module`; `def` must be static.
void add_function(PyObject* module, PyMethodDef* def);

void add_submodule(PyObject* parent, PyObject* child);

// A plain module created by its short name (not entered in sys.modules).
Ref new_submodule(const char* name);

// Fill operations, one per submodule.
void fill_utils(PyObject* module);
void init_reach(PyObject* module);
void init_reservoir(PyObject* module);
void fill_reservoir_utils(PyObject* module);
void init_transform(PyObject* module);
void init_loss(PyObject* module);
void init_baseflow(PyObject* module);
void init_metrics(PyObject* module);

}  // namespace tarnwick::python
