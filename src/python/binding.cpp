#include "binding.hpp"

#include <cstring>

namespace tarnwick::python {

std::string Signature::full_name() const {
    std::string full = owner != nullptr ? std::string(owner) + "." + name : std::string(name);
    return full + "()";
}

void Args::no_parameter(std::size_t index) const {
    internal_failure(signature_->full_name() + " has no parameter " + std::to_string(index));
}

PyObject* Args::default_of(std::size_t index, Ref& owned) const {
    const Default& fallback = signature_->defaults[index];
    switch (fallback.kind) {
        case Default::none:
            return Py_None;
        case Default::false_:
            return Py_False;
        case Default::true_:
            return Py_True;
        case Default::integer:
            owned = Ref::checked(PyLong_FromLongLong(fallback.value));
            return owned.get();
        case Default::absent:
            break;
    }
    internal_failure(std::string("argument '") + signature_->params[index] + "' of " + signature_->full_name() +
                     " has no value");
}

namespace {

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
    std::string message = sig.full_name() + " takes ";
    if (sig.required == sig.count)
        message += std::to_string(sig.count);
    else
        message += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message);
}

// Index of the parameter called `name`, or sig.count if there is none.
std::size_t parameter_index(const Signature& sig, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
        if (PyErr_Occurred()) clear_probe_failure();  // a name that is not valid text matches no parameter
        return sig.count;
    }
    for (std::size_t i = 0; i < sig.count; ++i)
        if (std::strlen(sig.params[i]) == static_cast<std::size_t>(size) && std::memcmp(sig.params[i], text, size) == 0)
            return i;
    return sig.count;
}

void bind_keyword(const Signature& sig, std::array<PyObject*, Signature::max_params>& items, PyObject* name,
                  PyObject* value) {
    const std::size_t index = parameter_index(sig, name);
    if (index == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name().c_str(), name);
        throw PythonError();
    }
    if (items[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", sig.full_name().c_str(), name);
        throw PythonError();
    }
    items[index] = Py_NewRef(value);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void check_required(const Signature& sig, const std::array<PyObject*, Signature::max_params>& items) {
    std::size_t missing[Signature::max_params];
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (items[i] == nullptr) missing[count++] = i;
    if (count == 0) return;

    std::string list;
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) list += count == 2 ? " and " : (k + 1 == count ? ", and " : ", ");
        // Appended piecewise: GCC 12 reports a false -Wrestrict on "'" + std::string(...).
        list += '\'';
        list += sig.params[missing[k]];
        list += '\'';
    }
    raise(PyExc_TypeError, sig.full_name() + " missing " + std::to_string(count) + " required positional " +
                               (count == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

Args bind(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    if (nargs > sig.count) too_many_positional(sig, nargs);
    Args bound(sig);
    for (std::size_t i = 0; i < nargs; ++i) bound.items_[i] = Py_NewRef(args[i]);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            bind_keyword(sig, bound.items_, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)]);
    }
    check_required(sig, bound.items_);
    return bound;
}

Args bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (nargs > sig.count) too_many_positional(sig, nargs);
    Args bound(sig);
    for (std::size_t i = 0; i < nargs; ++i)
        bound.items_[i] = Py_NewRef(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &position, &name, &value)) bind_keyword(sig, bound.items_, name, value);
    }
    check_required(sig, bound.items_);
    return bound;
}

}  // namespace tarnwick::python
