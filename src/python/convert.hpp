// Conversions between Python objects and plain values.
//
// Each from-Python converter takes one borrowed object and returns one value
// or throws PythonError with the exception set; Args::get adds the argument
// prefix. Each to_python overload turns one value into a new reference.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "../core/duration.hpp"
#include "../core/large_buffer.hpp"
#include "../core/named_map.hpp"
#include "binding.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tarnwick::python {

// --- From Python --------------------------------------------------------

// float as is; anything else through the interpreter's float conversion.
double to_f64(PyObject* object);

// None (or a missing argument) is absent.
std::optional<double> to_opt_f64(PyObject* object);

// True or False, or a numpy boolean through its truth conversion.
bool to_flag(PyObject* object);

std::int32_t to_i32(PyObject* object);
std::int64_t to_i64(PyObject* object);
std::size_t to_usize(PyObject* object);

// A str as UTF-8 text.
std::string to_text(PyObject* object);

// Any sequence except str, item by item through the float conversion. Exact
// lists and tuples, one-dimensional float64 and int64 arrays, and pandas
// Series and xarray DataArrays holding such arrays, take fast paths with the
// same results.
Values to_vector(PyObject* object);

// What InPlaceValues should open for `object`: the numpy array of values of a
// pandas Series or xarray DataArray, or else the object itself. Finding a
// frame's values runs Python code.
Ref values_source(PyObject* object);

// The values of a sequence that a call only reads. A one-dimensional,
// aligned, contiguous buffer of native doubles, of a type that to_vector()
// copies directly, is read in place: its export is held until destruction,
// so the caller's object keeps the memory alive and cannot resize it. For
// anything else in_place() is false and the caller supplies the values with
// assign(), usually converted by to_vector().
//
// Values read in place equal a copy taken when they were opened as long as
// no Python code runs in between; before a conversion that may run Python
// code (and so write to the buffer), the caller takes that copy with
// keep_copy(). ReadArgs below does all of this for a call's arguments.
class InPlaceValues {
 public:
    explicit InPlaceValues(PyObject* object);
    InPlaceValues(const InPlaceValues&) = delete;
    InPlaceValues& operator=(const InPlaceValues&) = delete;
    ~InPlaceValues();

    bool in_place() const { return held_; }
    void assign(Values values);
    void keep_copy();
    std::span<const double> values() const { return values_; }

 private:
    Py_buffer view_{};
    bool held_ = false;
    Values owned_;
    std::span<const double> values_;
};

// The arguments of a call that only reads its sequences of floats. Each is
// read in place where it can be; its values are always those a copy taken
// at its conversion would hold, the arguments converted in parameter order,
// whatever the conversion of a later one does. Converting a later argument
// in a way that may run Python code (which could write to a buffer read in
// place: a frame's values, a type probe, an item's __float__, a flag's
// __bool__) first copies what was read in place so far. Only conversions
// known to run no Python code leave them in place: an exact float, int, bool
// or None, or a buffer of a type already recognised as a plain one.
class ReadArgs {
 public:
    explicit ReadArgs(const Args& args) : args_(args) {}
    ReadArgs(const ReadArgs&) = delete;
    ReadArgs& operator=(const ReadArgs&) = delete;

    // Argument `index` as a sequence of floats (as to_vector() reads it).
    // Read its values() only once every argument is converted.
    const InPlaceValues& sequence(std::size_t index);

    // Argument `index` converted by `convert`, as Args::get does.
    template <class Convert>
    auto get(std::size_t index, Convert&& convert) -> decltype(convert(nullptr)) {
        if (!converts_quietly(args_[index])) keep_copies();
        return args_.get(index, convert);
    }

 private:
    static bool converts_quietly(PyObject* object);
    void keep_copies();

    static constexpr std::size_t most = 4;
    const Args& args_;
    std::array<std::optional<InPlaceValues>, most> read_{};
    std::size_t count_ = 0;
};

// The fields of a datetime.timedelta; only the type is checked here.
TimeDelta to_timedelta(PyObject* object);

// A copy of the value held by an instance of T's class (or a subclass).
template <class T>
T to_instance(PyObject* object) {
    if (!is_instance<T>(object)) raise_not_instance(object, class_def<T>().name());
    return value_of<T>(object);
}

// The value held by an instance of T's class (or a subclass), read in place
// instead of copied. Only for immutable classes: the caller's object keeps
// the value alive for the call and nothing can change it meanwhile, so this
// is indistinguishable from a copy but costs nothing for a long series.
template <class T>
const T& borrow_instance(PyObject* object) {
    if (!is_instance<T>(object)) raise_not_instance(object, class_def<T>().name());
    return value_of<T>(object);
}

// A dict from str to values converted by `convert`, in the dict's order.
// Names are unique by their text: of two str subclass keys with the same
// text (and their own hashing), the later value takes the earlier's place.
template <class Convert>
auto to_map(PyObject* object, Convert&& convert) -> NamedMap<decltype(convert(nullptr))>;

// --- To Python ----------------------------------------------------------

Ref to_python(double value);
Ref to_python(std::int64_t value);
Ref to_python(std::size_t value);
Ref to_python(const std::string& value);
Ref to_python(const Values& values);
Ref to_python(const std::optional<double>& value);

// A timedelta of `seconds` whole seconds, normalised (86400 s is one day).
Ref timedelta_from_seconds(std::int64_t seconds);

// Any value with a class: a new instance of exactly that class, owning a
// copy of an lvalue or the moved value of an rvalue.
template <class V>
requires has_class<std::remove_cvref_t<V>> Ref to_python(V&& value) {
    return wrap<std::remove_cvref_t<V>>(std::forward<V>(value));
}

template <class T>
Ref to_python(const NamedMap<T>& map) {
    Ref dict = Ref::checked(PyDict_New());
    for (const auto& [name, value] : map) {
        Ref item = to_python(value);
        Ref key = to_python(name);
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) throw PythonError();
    }
    return dict;
}

// A map about to be discarded: its values are moved into their objects.
template <class T>
Ref to_python(NamedMap<T>&& map) {
    Ref dict = Ref::checked(PyDict_New());
    for (auto& [name, value] : map) {
        Ref item = to_python(std::move(value));
        Ref key = to_python(name);
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) throw PythonError();
    }
    return dict;
}

template <class A, class B>
Ref to_python(const std::pair<A, B>& pair) {
    Ref first = to_python(pair.first);
    Ref second = to_python(pair.second);
    return Ref::checked(PyTuple_Pack(2, first.get(), second.get()));
}

// A pair about to be discarded: its members are moved, not copied.
template <class A, class B>
Ref to_python(std::pair<A, B>&& pair) {
    Ref first = to_python(std::move(pair.first));
    Ref second = to_python(std::move(pair.second));
    return Ref::checked(PyTuple_Pack(2, first.get(), second.get()));
}

// Getter of a read-only attribute: the field converted by to_python().
template <class T, auto Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    return guard([&] { return to_python(value_of<T>(self).*Field).release(); }, static_cast<PyObject*>(nullptr));
}

// --- Map conversion -------------------------------------------------------

namespace detail {
[[noreturn]] void dict_changed(bool size_changed);
}

template <class Convert>
auto to_map(PyObject* object, Convert&& convert) -> NamedMap<decltype(convert(nullptr))> {
    if (!PyDict_Check(object)) raise_not_instance(object, "dict");
    NamedMap<decltype(convert(nullptr))> map;
    bool subclass_keys = false;  // only these can repeat a text
#if defined(Py_GIL_DISABLED)
    // Without the interpreter lock the dict is walked through a snapshot of
    // its items, taken atomically, instead of its live table.
    Ref items = Ref::checked(PyDict_Items(object));
    const Py_ssize_t size = PyList_GET_SIZE(items.get());
    map.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        subclass_keys = subclass_keys || !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0));
        std::string name = to_text(PyTuple_GET_ITEM(pair, 0));
        auto converted = convert(PyTuple_GET_ITEM(pair, 1));
        map.emplace_back(std::move(name), std::move(converted));
    }
#else
    const Py_ssize_t size = PyDict_GET_SIZE(object);
    map.reserve(static_cast<std::size_t>(size));
    Py_ssize_t position = 0;
    Py_ssize_t seen = 0;
    PyObject *key, *value;
    while (PyDict_Next(object, &position, &key, &value)) {
        // Converting a value may run Python code that mutates the dict.
        Ref key_ref = Ref::borrow(key);
        Ref value_ref = Ref::borrow(value);
        if (++seen > size) detail::dict_changed(false);
        subclass_keys = subclass_keys || !PyUnicode_CheckExact(key_ref.get());
        std::string name = to_text(key_ref.get());
        auto converted = convert(value_ref.get());
        if (PyDict_GET_SIZE(object) != size) detail::dict_changed(true);
        map.emplace_back(std::move(name), std::move(converted));
    }
#endif
    if (subclass_keys) merge_repeated_names(map);
    return map;
}

}  // namespace tarnwick::python
