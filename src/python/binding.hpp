// Argument binding shared by every callable.
//
// Each callable (module function, method, constructor) is described once by
// a constexpr Signature: its name, its ordered parameter names and how many
// leading ones are required. bind() matches a call's positional and keyword
// arguments against it and produces every binding message; Args then hands
// each argument to a converter, applying the "argument '{name}': " prefix to
// a TypeError in one place. The entry templates at the end wrap a body
// written against Args into the interpreter's calling conventions.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

// The default of an optional parameter, read from the text that the
// docstring's signature shows ("use_log=False"), so the two cannot differ.
struct Default {
    enum Kind : unsigned char { absent, none, false_, true_, integer };
    Kind kind = absent;
    long long value = 0;  // of an integer
};

// Called only by a signature with more parameters than max_params. Not
// constexpr and never defined: signatures are constants, so such a signature
// fails to compile with this name in the error.
void more_parameters_than_Signature_max_params_in_binding_hpp();

struct Signature {
    static constexpr std::size_t max_params = 6;

    const char* owner;  // class of a constructor or method; nullptr for functions
    const char* name;   // "__new__" for constructors
    std::array<const char*, max_params> params{};
    std::array<Default, max_params> defaults{};  // absent for required parameters
    std::size_t count = 0;
    std::size_t required = 0;

    constexpr Signature(const char* owner_, const char* name_, std::initializer_list<const char*> names,
                        std::size_t required_)
        : owner(owner_), name(name_), required(required_) {
        for (const char* param : names) add(param);
    }

    constexpr void add(const char* param, Default fallback = {}) {
        if (count == max_params) more_parameters_than_Signature_max_params_in_binding_hpp();
        defaults[count] = fallback;
        params[count++] = param;
    }

    // "{class}.{name}()" or "{name}()".
    std::string full_name() const;
};

// The arguments of one call, bound to parameters. Absent optional arguments
// are NULL. Each bound object is owned for the call's duration: converting
// one argument may run Python code (a __float__ or __iter__) that empties the
// caller's keyword dict, and a later argument must still be alive when read.
class Args {
 public:
    explicit Args(const Signature& signature) : signature_(&signature) {}
    Args(Args&& other) noexcept : signature_(other.signature_), items_(std::exchange(other.items_, {})) {}
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    Args& operator=(Args&&) = delete;
    ~Args() {
        for (PyObject* item : items_) Py_XDECREF(item);
    }

    // The argument bound to parameter `index`, NULL if it was left out.
    PyObject* operator[](std::size_t index) const { return items_[checked(index)]; }

    // Converts argument `index` with `convert`, or the parameter's default
    // when the argument was left out; a TypeError gets the parameter's
    // prefix, other exceptions pass unchanged.
    template <class Convert>
    auto get(std::size_t index, Convert&& convert) const -> decltype(convert(nullptr)) {
        PyObject* item = items_[checked(index)];
        if (item == nullptr) [[unlikely]]
            return get_default(index, convert);
        return converted(index, item, convert);
    }

 private:
    friend Args bind(const Signature&, PyObject* const*, std::size_t, PyObject*);
    friend Args bind(const Signature&, PyObject*, PyObject*);

    // `index`, if the signature has such a parameter; an internal failure
    // otherwise.
    std::size_t checked(std::size_t index) const {
        if (index >= signature_->count) [[unlikely]]
            no_parameter(index);
        return index;
    }
    [[noreturn]] void no_parameter(std::size_t index) const;

    template <class Convert>
    auto converted(std::size_t index, PyObject* item, Convert& convert) const -> decltype(convert(nullptr)) {
        try {
            return convert(item);
        } catch (const PythonError&) {
            prefix_type_error(signature_->params[index]);
            throw;
        }
    }

    // A left-out argument: its parameter's default, converted as a given
    // argument would be. The defaults whose conversion is plain (a flag from
    // False or True, an integer in range, an absent optional from None) are
    // taken as they are, without making a Python object to convert.
    template <class Convert>
    auto get_default(std::size_t index, Convert& convert) const -> decltype(convert(nullptr)) {
        using R = decltype(convert(nullptr));
        const Default& fallback = signature_->defaults[index];
        if constexpr (std::is_same_v<R, bool>) {
            if (fallback.kind == Default::false_ || fallback.kind == Default::true_)
                return fallback.kind == Default::true_;
        } else if constexpr (std::is_integral_v<R>) {
            if (fallback.kind == Default::integer && std::in_range<R>(fallback.value))
                return static_cast<R>(fallback.value);
        } else if constexpr (std::is_same_v<R, std::optional<double>>) {
            if (fallback.kind == Default::none) return std::nullopt;
        }
        Ref owned;
        return converted(index, default_of(index, owned), convert);
    }

    // None, False and True are never freed and are returned without a
    // reference of their own; an integer is made into `owned`.
    PyObject* default_of(std::size_t index, Ref& owned) const;

    const Signature* signature_;
    std::array<PyObject*, Signature::max_params> items_{};
};

// Vectorcall form: `nargs` positional arguments followed by one value per
// name in the tuple `kwnames` (which may be NULL).
Args bind(const Signature& signature, PyObject* const* args, std::size_t nargs, PyObject* kwnames);

// Constructor form: a positional tuple and an optional keyword dict.
Args bind(const Signature& signature, PyObject* args, PyObject* kwargs);

// --- Entry points -----------------------------------------------------------

using FunctionBody = Ref (*)(PyObject* self, const Args& args);
using NoArgsBody = Ref (*)(PyObject* self);

template <const Signature& S, FunctionBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return Body(self, bind(S, args, static_cast<std::size_t>(nargs), kwnames)).release(); },
                 static_cast<PyObject*>(nullptr));
}

template <NoArgsBody Body>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return guard([&] { return Body(self).release(); }, static_cast<PyObject*>(nullptr));
}

}  // namespace tarnwick::python
