#include "classes.hpp"

namespace tarnwick::python {

void raise_uninitialised(PyObject* self, PyObject* kind) {
    raise(kind, "'" + type_name(self) + "' object is not initialised");
}

PyTypeObject* ensure_type(ClassDef& def) {
    PyObject* type = def.type.load(std::memory_order_acquire);
    if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
    PyObject* created = PyType_FromSpec(def.spec);
    if (created == nullptr) throw PythonError();
    PyObject* expected = nullptr;
    if (def.type.compare_exchange_strong(expected, created, std::memory_order_acq_rel))
        return reinterpret_cast<PyTypeObject*>(created);
    Py_DECREF(created);  // another thread published first
    return reinterpret_cast<PyTypeObject*>(expected);
}

}  // namespace tarnwick::python
