#include "convert.hpp"

#include <datetime.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "state.hpp"

namespace tarnwick::python {

namespace {

// The calling interpreter's datetime C interface, imported there on first
// use. The state keeps the module's capsule, which keeps the table alive.
const PyDateTime_CAPI* datetime_api() {
    InterpreterState& state = interpreter_state();
    const void* api = state.datetime_api.load(std::memory_order_acquire);
    if (api != nullptr) return static_cast<const PyDateTime_CAPI*>(api);
    PyObject* capsule = state.datetime_capsule.load(std::memory_order_acquire);
    if (capsule == nullptr) {
        Ref module = Ref::checked(PyImport_ImportModule("datetime"));
        Ref found = Ref::checked(PyObject_GetAttrString(module.get(), "datetime_CAPI"));
        capsule = publish(state.datetime_capsule, found.release());
    }
    api = PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME);
    if (api == nullptr) throw PythonError();
    state.datetime_api.store(api, std::memory_order_release);  // the same table whoever stores it
    return static_cast<const PyDateTime_CAPI*>(api);
}

// A float item: the float itself, or the interpreter's float conversion.
inline double item_to_f64(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError();
    return value;
}

// Integer conversion through __index__, into a long long.
long long index_to_i64(PyObject* object) {
    Ref index = Ref::checked(PyNumber_Index(object));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError();
    return value;
}

// Item-by-item conversions run no Python code of their own for built-in
// items (a range of 10**19 is read entirely in C), so after every block of
// items they run pending signal handlers themselves: Ctrl-C ends the call.
constexpr Py_ssize_t signal_block = Py_ssize_t{1} << 14;

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError();
}

// Without the interpreter lock another thread may resize a list under a
// borrowed item, so there lists are iterated like any other sequence.
#if defined(Py_GIL_DISABLED)
constexpr bool borrow_list_items = false;
#else
constexpr bool borrow_list_items = true;
#endif

// Items of an exact list. The list is re-measured on every step, as its
// iterator does, because converting an item may run code that changes it.
void list_items(PyObject* list, Values& out) {
    reserve_large(out, static_cast<std::size_t>(PyList_GET_SIZE(list)));
    Py_ssize_t i = 0;
    while (i < PyList_GET_SIZE(list)) {
        // Only a conversion that runs Python code can change the list: the
        // block's end is measured again after each.
        Py_ssize_t end = PyList_GET_SIZE(list) - i > signal_block ? i + signal_block : PyList_GET_SIZE(list);
        for (; i < end; ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (PyFloat_CheckExact(item)) {
                out.push_back(PyFloat_AS_DOUBLE(item));
            } else {
                Ref held = Ref::borrow(item);
                out.push_back(item_to_f64(held.get()));
                if (PyList_GET_SIZE(list) < end) end = PyList_GET_SIZE(list);
            }
        }
        check_signals();
    }
}

void tuple_items(PyObject* tuple, Values& out) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    reserve_large(out, static_cast<std::size_t>(size));
    for (Py_ssize_t start = 0; start < size; start += signal_block) {
        const Py_ssize_t end = size - start > signal_block ? start + signal_block : size;
        for (Py_ssize_t i = start; i < end; ++i) out.push_back(item_to_f64(PyTuple_GET_ITEM(tuple, i)));
        check_signals();
    }
}

// Is `type` exactly the class `name` of the module `module`, if that module
// has been imported? Nothing is imported here: an object of the class can
// only exist once its module is loaded. A class found is kept in `known`,
// so later checks compare one pointer.
bool is_loaded_class(PyTypeObject* type, std::atomic<PyObject*>& known, const char* module, const char* name) {
    PyObject* kept = known.load(std::memory_order_acquire);
    if (kept == reinterpret_cast<PyObject*>(type)) return true;
    // Any other failure to look (a module without the class) only means "no".
    Ref key = Ref::checked(PyUnicode_FromString(module));
    Ref loaded = Ref::steal(PyImport_GetModule(key.get()));
    Ref found = Ref::steal(loaded ? PyObject_GetAttrString(loaded.get(), name) : nullptr);
    if (!found && PyErr_Occurred()) clear_probe_failure();
    if (found.get() != reinterpret_cast<PyObject*>(type)) return false;
    // A module loaded again has a class of its own: the first one found stays
    // kept and the new one is found by name.
    if (kept == nullptr) publish(known, found.release());
    return true;
}

// Is `type` memoryview, or the numpy.ndarray or array.array found before?
// Answered without running Python code.
bool known_plain_type(PyTypeObject* type) {
    if (type == &PyMemoryView_Type) return true;
    InterpreterState& state = interpreter_state();
    const auto* object = reinterpret_cast<PyObject*>(type);
    return object == state.ndarray.load(std::memory_order_acquire) ||
           object == state.array.load(std::memory_order_acquire);
}

// Types whose iteration yields exactly the items of their buffer: memoryview,
// array.array and numpy.ndarray, matched by the type object itself. A
// subclass (whatever it is named) may iterate differently and is iterated.
bool plain_buffer_type(PyTypeObject* type) {
    if (known_plain_type(type)) return true;
    InterpreterState& state = interpreter_state();
    if (std::strcmp(type->tp_name, "numpy.ndarray") == 0)  // a cheap first sieve; the identity decides
        return is_loaded_class(type, state.ndarray, "numpy", "ndarray");
    if (std::strcmp(type->tp_name, "array.array") == 0) return is_loaded_class(type, state.array, "array", "array");
    return false;
}

// The values of a one-dimensional pandas.Series or xarray.DataArray, of
// exactly the library's own class, as a numpy array; empty for anything else
// (whether the values are numbers is left to the buffer). Iterating such an
// object yields its values' items one by one, as Python numbers or 0-d
// arrays, which convert to the same doubles as the values themselves.
Ref frame_values(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    bool frame = false;
    if (std::strcmp(type->tp_name, "Series") == 0)
        frame = is_loaded_class(type, interpreter_state().series, "pandas", "Series");
    else if (std::strcmp(type->tp_name, "DataArray") == 0)
        frame = is_loaded_class(type, interpreter_state().data_array, "xarray", "DataArray");
    if (!frame) return {};
    Ref values = Ref::steal(PyObject_GetAttrString(object, "values"));
    if (!values) clear_probe_failure();
    return values;
}

// Is `object` exactly a pandas.DataFrame? Iterating one yields its column
// labels, not numbers, so it is refused rather than read as a sequence.
bool is_data_frame(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return std::strcmp(type->tp_name, "DataFrame") == 0 &&
           is_loaded_class(type, interpreter_state().data_frame, "pandas", "DataFrame");
}

// Is `format` the buffer format of one native value of the C type whose
// code is `code`?
bool native_format(const char* format, char code) {
    if (format[0] == '@' || format[0] == '=' || (format[0] == '<' && PY_LITTLE_ENDIAN) ||
        (format[0] == '>' && PY_BIG_ENDIAN))
        ++format;
    return format[0] == code && format[1] == '\0';
}

// What a buffer holds, when it is one of the two kinds read directly.
enum class Held { doubles, int64s };

// Opens a one-dimensional buffer of native doubles (numpy float64 arrays,
// array('d'), memoryviews of either), or, with `ints`, of native 64-bit
// integers. Returns false, holding nothing, for anything else. Only exact
// types whose iteration is known to be plain qualify: reading their buffer
// gives the same doubles as iterating them.
bool open_numbers(PyObject* object, Py_buffer& view, bool ints, Held& held) {
    if (!plain_buffer_type(Py_TYPE(object))) return false;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) {
        clear_probe_failure();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    if (view.ndim == 1 && view.itemsize == 8) {
        held = Held::doubles;
        if (native_format(format, 'd')) return true;
        held = Held::int64s;
        if (ints && (native_format(format, 'q') || (sizeof(long) == 8 && native_format(format, 'l')))) return true;
    }
    PyBuffer_Release(&view);
    return false;
}

bool open_doubles(PyObject* object, Py_buffer& view) {
    Held held;
    return open_numbers(object, view, false, held);
}

// The distance in bytes from one value of an open buffer to the next.
Py_ssize_t stride_of(const Py_buffer& view) { return view.strides != nullptr ? view.strides[0] : 8; }

// The values of an open buffer as one aligned, contiguous run, or nullptr.
const double* contiguous_doubles(const Py_buffer& view) {
    if (stride_of(view) != 8 || reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) return nullptr;
    return static_cast<const double*>(view.buf);
}

// Buffers that open_numbers() accepts are copied directly: iterating them
// would yield the same doubles one Python number at a time (an integer's
// conversion to float rounds to nearest, as the cast does). Returns false to
// fall back to iteration.
bool buffer_items(PyObject* object, Values& out) {
    Py_buffer view;
    Held held;
    if (!open_numbers(object, view, true, held)) return false;
    try {
        const std::size_t n = static_cast<std::size_t>(view.shape[0]);
        reserve_large(out, n);
        const char* base = static_cast<const char*>(view.buf);
        const Py_ssize_t stride = stride_of(view);
        if (held == Held::int64s) {
            out.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                std::int64_t value;
                std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof value);
                out[i] = static_cast<double>(value);
            }
        } else if (const double* first = contiguous_doubles(view)) {
            out.assign(first, first + n);
        } else {
            out.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                std::memcpy(&out[i], base + static_cast<Py_ssize_t>(i) * stride, sizeof(double));
        }
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return true;
}

// A data frame's numbers are copied from its values like any other buffer's.
bool frame_items(PyObject* object, Values& out) {
    Ref values = frame_values(object);
    return values && buffer_items(values.get(), out);
}

// The most values reserved on a sequence's word: its length is only a
// capacity hint (it may overstate, or change while it is iterated), so past
// this the vector grows as the items arrive.
constexpr Py_ssize_t max_reserved_hint = Py_ssize_t{1} << 20;

void iterate_items(PyObject* object, Values& out) {
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0)
        clear_probe_failure();
    else
        out.reserve(static_cast<std::size_t>(hint < max_reserved_hint ? hint : max_reserved_hint));
    Ref iterator = Ref::checked(PyObject_GetIter(object));
    Py_ssize_t left = signal_block;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        out.push_back(item_to_f64(item.get()));
        if (--left == 0) {
            left = signal_block;
            check_signals();
        }
    }
    if (PyErr_Occurred()) throw PythonError();
}

}  // namespace

double to_f64(PyObject* object) { return item_to_f64(object); }

std::optional<double> to_opt_f64(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return to_f64(object);
}

bool to_flag(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    // numpy's boolean scalar type is numpy.bool_ (named "bool" since numpy 2).
    PyTypeObject* type = Py_TYPE(object);
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) clear_probe_failure();
    const char* name = std::strrchr(type->tp_name, '.');
    name = name != nullptr ? name + 1 : type->tp_name;
    const bool numpy_bool = module && PyUnicode_Check(module.get()) &&
                            PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            (std::strcmp(name, "bool_") == 0 || std::strcmp(name, "bool") == 0);
    if (!numpy_bool) raise_not_instance(object, "bool");
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr)
        raise(PyExc_TypeError, "object of type '" + type_name(object) + "' does not define a '__bool__' conversion");
    const int truth = type->tp_as_number->nb_bool(object);
    if (truth < 0) throw PythonError();
    return truth != 0;
}

std::int32_t to_i32(PyObject* object) {
    const long long value = index_to_i64(object);
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(value);
}

std::int64_t to_i64(PyObject* object) { return index_to_i64(object); }

std::size_t to_usize(PyObject* object) {
    Ref index = Ref::checked(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
    if (value > std::numeric_limits<std::size_t>::max())
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::size_t>(value);
}

std::string to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_not_instance(object, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) throw PythonError();
    return std::string(text, static_cast<std::size_t>(size));
}

Values to_vector(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_not_instance(object, "Sequence");
    if (is_data_frame(object))
        raise(PyExc_TypeError,
              "a pandas DataFrame has columns, not one sequence of floats: pass one column, "
              "such as frame[\"name\"] or frame.iloc[:, 0]");
    Values out;
    if (borrow_list_items && PyList_CheckExact(object))
        list_items(object, out);
    else if (PyTuple_CheckExact(object))
        tuple_items(object, out);
    else if (!buffer_items(object, out) && !frame_items(object, out))
        iterate_items(object, out);
    return out;
}

Ref values_source(PyObject* object) {
    if (Ref values = frame_values(object)) return values;
    return Ref::borrow(object);
}

InPlaceValues::InPlaceValues(PyObject* object) {
    held_ = open_doubles(object, view_);
    if (!held_) return;
    const double* first = contiguous_doubles(view_);
    if (first == nullptr) {
        PyBuffer_Release(&view_);
        held_ = false;
        return;
    }
    values_ = {first, static_cast<std::size_t>(view_.shape[0])};
}

InPlaceValues::~InPlaceValues() {
    if (held_) PyBuffer_Release(&view_);
}

void InPlaceValues::assign(Values values) {
    keep_copy();
    owned_ = std::move(values);
    values_ = owned_;
}

void InPlaceValues::keep_copy() {
    if (!held_) return;
    Values copy;
    reserve_large(copy, values_.size());
    copy.assign(values_.begin(), values_.end());
    owned_ = std::move(copy);
    values_ = owned_;
    PyBuffer_Release(&view_);
    held_ = false;
}

bool ReadArgs::converts_quietly(PyObject* object) {
    return object == nullptr || object == Py_None || object == Py_True || object == Py_False ||
           PyFloat_CheckExact(object) || PyLong_CheckExact(object);
}

void ReadArgs::keep_copies() {
    for (std::size_t i = 0; i < count_; ++i) read_[i]->keep_copy();
}

// A slot is counted only once it holds its argument: keep_copies() reads the
// counted ones.
const InPlaceValues& ReadArgs::sequence(std::size_t index) {
    if (count_ == most) internal_failure("more sequences than ReadArgs holds");
    PyObject* object = args_[index];
    if (object == nullptr) internal_failure("a sequence read in place has no default");
    std::optional<InPlaceValues>& slot = read_[count_];
    if (known_plain_type(Py_TYPE(object))) {
        // Opening a buffer of such a type runs no Python code.
        slot.emplace(object);
    } else {
        keep_copies();
        Ref source = values_source(object);
        slot.emplace(source.get());
    }
    ++count_;
    if (slot->in_place()) return *slot;
    keep_copies();
    slot->assign(args_.get(index, to_vector));
    return *slot;
}

TimeDelta to_timedelta(PyObject* object) {
    const PyDateTime_CAPI* api = datetime_api();
    if (!PyObject_TypeCheck(object, api->DeltaType)) raise_not_instance(object, "timedelta");
    return {PyDateTime_DELTA_GET_DAYS(object), PyDateTime_DELTA_GET_SECONDS(object),
            PyDateTime_DELTA_GET_MICROSECONDS(object)};
}

Ref to_python(double value) { return Ref::checked(PyFloat_FromDouble(value)); }

Ref to_python(std::int64_t value) { return Ref::checked(PyLong_FromLongLong(value)); }

Ref to_python(std::size_t value) { return Ref::checked(PyLong_FromSize_t(value)); }

Ref to_python(const std::string& value) {
    return Ref::checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Ref to_python(const Values& values) {
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw PythonError();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

Ref to_python(const std::optional<double>& value) {
    if (!value) return Ref::borrow(Py_None);
    return to_python(*value);
}

Ref timedelta_from_seconds(std::int64_t seconds) {
    const PyDateTime_CAPI* api = datetime_api();
    const long long days = seconds / 86400;
    const long long rest = seconds % 86400;
    return Ref::checked(api->Delta_FromDelta(static_cast<int>(days), static_cast<int>(rest), 0, 1, api->DeltaType));
}

namespace detail {
void dict_changed(bool size_changed) {
    internal_failure(size_changed ? "dictionary changed size during iteration"
                                  : "dictionary keys changed during iteration");
}
}  // namespace detail

}  // namespace tarnwick::python
