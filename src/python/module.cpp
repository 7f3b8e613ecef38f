// Entry points of the library.
//
// The interpreter finds PyInit_tarnwick when importing `tarnwick`; it only
// returns a static definition (multi-phase initialisation), and the
// interpreter then runs the definition's exec slot on the new module, which
// builds the whole tree of submodules. Six further entries build one
// submodule's content as a standalone module, sharing the fill operations.
#include "records.hpp"

namespace tarnwick::python {

void add(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
        all = Ref::checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError();
    } else if (!PyList_Check(all.get())) {
        raise_not_instance(all.get(), "list");
    }
    Ref key = Ref::checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), key.get()) < 0) {
        PyErr_Clear();
        internal_failure("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, key.get(), value) < 0) throw PythonError();
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::checked(PyModule_GetNameObject(module));
    Ref function = Ref::checked(PyCFunction_NewEx(def, module, module_name.get()));
    add(module, def->ml_name, function.get());
}

void add_submodule(PyObject* parent, PyObject* child) {
    const char* name = PyModule_GetName(child);
    if (name == nullptr) throw PythonError();
    add(parent, name, child);
}

Ref new_submodule(const char* name) {
    Ref text = Ref::checked(PyUnicode_FromString(name));
    return Ref::checked(PyModule_NewObject(text.get()));
}

namespace {

void require_module(PyObject* module) {
    if (!PyModule_Check(module)) raise_not_instance(module, "module");
}

constexpr Submodule utils_module{"utils", fill_utils};
constexpr Submodule reach_module{"reach", init_reach};
constexpr Submodule reservoir_module{"reservoir", init_reservoir};
constexpr Submodule rainfall_transform_module{"rainfall_transform", init_transform};
constexpr Submodule rainfall_loss_module{"rainfall_loss", init_loss};
constexpr Submodule baseflow_module{"baseflow", init_baseflow};
constexpr Submodule metrics_module{"metrics", init_metrics};

void fill_tarnwick(PyObject* module) {
    fill<utils_module, reach_module, reservoir_module, rainfall_transform_module, rainfall_loss_module, baseflow_module,
         metrics_module>(module);
}

// The execution operation: checks that it was given a module, then fills it.
template <void (*Fill)(PyObject*)>
int exec(PyObject* module) noexcept {
    return guard(
        [&] {
            require_module(module);
            set_cancel_hook(signal_raised);
            // The memory limits are read here, once, rather than by a call.
            buffers::prepare();
            Fill(module);
            return 0;
        },
        -1);
}

// The static definition of the module `name` that `Fill` builds.
template <void (*Fill)(PyObject*)>
PyObject* definition(const char* name) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec<Fill>)},
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };
    static PyModuleDef def{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
}

}  // namespace

}  // namespace tarnwick::python

using namespace tarnwick::python;

PyMODINIT_FUNC PyInit_tarnwick() { return definition<fill_tarnwick>("tarnwick"); }
PyMODINIT_FUNC PyInit_init_reach() { return definition<init_reach>("init_reach"); }
PyMODINIT_FUNC PyInit_init_reservoir() { return definition<init_reservoir>("init_reservoir"); }
PyMODINIT_FUNC PyInit_init_transform() { return definition<init_transform>("init_transform"); }
PyMODINIT_FUNC PyInit_init_loss() { return definition<init_loss>("init_loss"); }
PyMODINIT_FUNC PyInit_init_baseflow() { return definition<init_baseflow>("init_baseflow"); }
PyMODINIT_FUNC PyInit_init_metrics() { return definition<init_metrics>("init_metrics"); }
