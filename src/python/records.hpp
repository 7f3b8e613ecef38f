// Declarations of the module's callables, classes and submodules, and their
// registration.
//
// A function or method is one Callable record: its name, its parameters as
// its docstring shows them ("sim, obs, use_log=False"), the routine that
// runs it and its docstring after the signature line. A class is one Class
// record, a submodule one Submodule record. Everything the interpreter needs
// (the binding Signatures, the docstrings with their "name(params)\n--\n\n"
// line, the method, attribute and slot tables, the type specs) is generated
// from the records at compile time; fill<...>() registers a list of records
// in order.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "ref.hpp"

namespace tarnwick::python {

// --- The records ------------------------------------------------------------

// The routine behind a function or method: with parameters it receives the
// bound arguments, without any only the instance.
// (Records say what they hold with flags rather than by null pointers: with
// sanitizers on, the compiler cannot compare a function's address with null
// at compile time.)
struct Code {
    FunctionBody with_args = nullptr;
    NoArgsBody without_args = nullptr;
    bool takes_args = true;
    constexpr Code(FunctionBody body) : with_args(body) {}
    constexpr Code(NoArgsBody body) : without_args(body), takes_args(false) {}
};

struct Callable {
    const char* name;
    // "" for none. A default is written "name=value", with None, True, False
    // or an integer as the value, which is what a left-out argument converts.
    const char* params;
    Code code;
    const char* doc;  // the docstring after its signature line
};

// An attribute, read-only unless it has a setter (which receives the name as
// its closure). A NULL doc leaves the attribute's __doc__ None.
struct Field {
    const char* name = nullptr;
    getter get = nullptr;
    const char* doc = nullptr;
    setter set = nullptr;
};

// The getter of a read-only attribute: `Member` converted by to_python().
template <class C, class M>
C owner_of(M C::*);
template <auto Member>
inline constexpr getter read = get_field<decltype(owner_of(Member)), Member>;

template <class T>
struct Constructor {
    const char* params = "";  // as for a Callable
    T (*make)(const Args&) = nullptr;
    bool exists = false;
    constexpr Constructor() = default;
    constexpr Constructor(const char* params_, T (*make_)(const Args&)) : params(params_), make(make_), exists(true) {}
};

// Called only by a record that lists more than a capacity below holds. Not
// constexpr and never defined: records are constants, so such a record fails
// to compile with the name of the capacity to raise in the error.
void more_methods_than_Methods_capacity_in_records_hpp();
void more_fields_than_Fields_capacity_in_records_hpp();

struct Methods {
    static constexpr std::size_t capacity = 3;
    std::array<const Callable*, capacity> items{};
    std::size_t count = 0;
    constexpr Methods() = default;
    constexpr Methods(std::initializer_list<const Callable*> list) : count(list.size()) {
        if (list.size() > capacity) more_methods_than_Methods_capacity_in_records_hpp();
        std::ranges::copy(list, items.begin());
    }
};

struct Fields {
    static constexpr std::size_t capacity = 6;
    std::array<Field, capacity> items{};
    std::size_t count = 0;
    constexpr Fields() = default;
    constexpr Fields(std::initializer_list<Field> list) : count(list.size()) {
        if (list.size() > capacity) more_fields_than_Fields_capacity_in_records_hpp();
        std::ranges::copy(list, items.begin());
    }
};

// A class wrapping a T. Without a constructor it cannot be instantiated from
// Python and its docstring has no signature line.
template <class T>
struct Class {
    using type = T;
    const char* name;
    bool subclassable;
    Constructor<T> constructor;
    const char* doc;
    Fields fields{};
    Methods methods{};
    // Whether the `data` vector's doubles are also exported through the buffer
    // protocol, read-only and in place (see export_data in classes.hpp).
    bool exports_data = false;
};

struct Submodule {
    const char* name;
    void (*fill)(PyObject* module);
};

// --- Registration primitives --------------------------------------------------

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

// --- Generated from the records -----------------------------------------------

namespace records {

constexpr std::size_t length(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

template <std::size_t N>
struct Text {
    char chars[N]{};
};

// The pieces of a text, joined into one NUL-terminated array.
template <const auto& Pieces>
inline constexpr auto joined = [] {
    Text<[] {
        std::size_t n = 1;
        for (const char* piece : Pieces) n += length(piece);
        return n;
    }()>
        text;
    std::size_t at = 0;
    for (const char* piece : Pieces)
        while (*piece != '\0') text.chars[at++] = *piece++;
    return text;
}();

// "{name}({params})\n--\n\n{doc}", with "$self" first for a method.
constexpr std::array<const char*, 6> doc_pieces(const char* name, bool method, const char* params, const char* doc) {
    return {name, "(", !method ? "" : params[0] != '\0' ? "$self, " : "$self", params, ")\n--\n\n", doc};
}

// What a binding Signature is made of. A record is passed whole, never one of
// its members: a member of a template parameter cannot itself be a template
// argument. A Callable is its own name and parameters; a Class record stands
// for its constructor, "__new__" with the constructor's parameters.
constexpr const char* name_of(const Callable& f) { return f.name; }
constexpr const char* params_of(const Callable& f) { return f.params; }
template <class T>
constexpr const char* name_of(const Class<T>&) {
    return "__new__";
}
template <class T>
constexpr const char* params_of(const Class<T>& c) {
    return c.constructor.params;
}

// The owner of a module-level function: none.
struct NoOwner {
    const char* name = nullptr;
};
inline constexpr NoOwner no_owner{};

// The names of a parameter list: "a, b=1" gives "a\0b\0".
template <const auto& Source>
inline constexpr auto names_of = [] {
    constexpr const char* Params = params_of(Source);
    Text<length(Params) + 1> names;
    std::size_t at = 0;
    bool in_default = false;
    for (const char* c = Params; *c != '\0'; ++c) {
        if (*c == ',') {
            names.chars[at++] = '\0';
            in_default = false;
            c += c[1] == ' ';
            continue;
        }
        in_default = in_default || *c == '=';
        if (!in_default) names.chars[at++] = *c;
    }
    return names;
}();

// Called only for a parameter list that a signature cannot be read from. Not
// constexpr and never defined: a record with such a list fails to compile
// with the name of what is wrong in the error.
void default_is_not_None_True_False_or_an_integer();
void parameter_without_a_default_after_one_with_a_default();

// The default written after the '=' of "name=value", up to the next ',' or
// the end of the list.
constexpr Default read_default(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0' && text[n] != ',') ++n;
    const auto is = [&](const char* word) { return n == length(word) && std::equal(text, text + n, word); };
    if (is("None")) return {Default::none};
    if (is("False")) return {Default::false_};
    if (is("True")) return {Default::true_};
    const bool negative = text[0] == '-';
    if (n == (negative ? 1 : 0)) default_is_not_None_True_False_or_an_integer();
    long long value = 0;
    for (std::size_t i = negative ? 1 : 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') default_is_not_None_True_False_or_an_integer();
        value = value * 10 + (text[i] - '0');
    }
    return {Default::integer, negative ? -value : value};
}

// The parameters and their defaults, read from the list: "a, b=1" has the
// required parameter a and the optional b with the default 1. `Owner` is the
// class record of a method or constructor, or no_owner.
template <const auto& Owner, const auto& Source>
inline constexpr Signature signature_of = [] {
    Signature sig{Owner.name, name_of(Source), {}, 0};
    const char* name = names_of<Source>.chars;
    const char* c = params_of(Source);
    while (*c != '\0') {
        while (*c != '\0' && *c != ',' && *c != '=') ++c;
        Default fallback;
        if (*c == '=') {
            fallback = read_default(++c);
            while (*c != '\0' && *c != ',') ++c;
        } else if (sig.required++ != sig.count) {
            parameter_without_a_default_after_one_with_a_default();
        }
        sig.add(name, fallback);
        name += length(name) + 1;
        if (*c == ',') c += c[1] == ' ' ? 2 : 1;
    }
    return sig;
}();

template <const Callable& F, bool Method>
inline constexpr auto method_doc = doc_pieces(F.name, Method, F.params, F.doc);

template <const auto& Owner, const Callable& F, bool Method = true>
PyMethodDef method_def() {
    constexpr const char* doc = joined<method_doc<F, Method>>.chars;
    if constexpr (!F.code.takes_args)
        return {F.name, &noargs_entry<F.code.without_args>, METH_NOARGS, doc};
    else
        return {F.name,
                reinterpret_cast<PyCFunction>(
                    reinterpret_cast<void (*)()>(&fastcall_entry<signature_of<Owner, F>, F.code.with_args>)),
                METH_FASTCALL | METH_KEYWORDS, doc};
}

// The method table entry of a module-level function; static, as it must be.
template <const Callable& F>
inline PyMethodDef function_def_of = method_def<no_owner, F, false>();

template <const auto& C>
using type_t = typename std::remove_cvref_t<decltype(C)>::type;

template <const auto& C>
inline constexpr auto class_doc = C.constructor.exists ? doc_pieces(C.name, false, C.constructor.params, C.doc)
                                                       : std::array<const char*, 6>{"", "", "", "", "", C.doc};

template <const auto& C>
inline constexpr std::array<const char*, 2> qualified_name{"builtins.", C.name};

template <const auto& C, std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(std::index_sequence<I...>) {
    return {method_def<C, *C.methods.items[I]>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

template <const auto& C>
inline auto methods_of = method_table<C>(std::make_index_sequence<C.methods.count>());

template <const auto& C>
inline auto getset_of = [] {
    std::array<PyGetSetDef, C.fields.count + 1> table{};
    for (std::size_t i = 0; i < C.fields.count; ++i) {
        const Field& f = C.fields.items[i];
        table[i] = {f.name, f.get, f.set, f.doc, f.set != nullptr ? const_cast<char*>(f.name) : nullptr};
    }
    return table;
}();

template <class F>
void* slot(F* function) {
    return reinterpret_cast<void*>(function);
}

// The arrays given, one after another.
template <std::size_t... N>
std::array<PyType_Slot, (N + ...)> concat(const std::array<PyType_Slot, N>&... parts) {
    std::array<PyType_Slot, (N + ...)> all{};
    auto at = all.begin();
    ((at = std::ranges::copy(parts, at).out), ...);
    return all;
}

// The optional slots of a class: one entry each when the class has it, none
// otherwise.
template <const auto& C>
auto constructor_slot() {
    if constexpr (C.constructor.exists)
        return std::array{
            PyType_Slot{Py_tp_new, slot(constructor_entry<type_t<C>, signature_of<C, C>, C.constructor.make>)}};
    else
        return std::array<PyType_Slot, 0>{};
}

template <const auto& C>
auto methods_slot() {
    if constexpr (C.methods.count > 0)
        return std::array{PyType_Slot{Py_tp_methods, methods_of<C>.data()}};
    else
        return std::array<PyType_Slot, 0>{};
}

template <const auto& C>
auto buffer_slot() {
    if constexpr (C.exports_data)
        return std::array{PyType_Slot{Py_bf_getbuffer, slot(export_data<type_t<C>>)}};
    else
        return std::array<PyType_Slot, 0>{};
}

// The slot table, sized by the slots the class has, with its zero entry last.
template <const auto& C>
inline auto slots_of = concat(constructor_slot<C>(),
                              std::array{
                                  PyType_Slot{Py_tp_dealloc, slot(dealloc<type_t<C>>)},
                                  PyType_Slot{Py_tp_doc, const_cast<char*>(joined<class_doc<C>>.chars)},
                                  PyType_Slot{Py_tp_getset, getset_of<C>.data()},
                              },
                              methods_slot<C>(), buffer_slot<C>(), std::array{PyType_Slot{0, nullptr}});

// Named "builtins.{class}". Without a constructor it cannot be instantiated.
template <const auto& C>
inline PyType_Spec type_spec{joined<qualified_name<C>>.chars, static_cast<int>(sizeof(Instance<type_t<C>>)), 0,
                             static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | (C.subclassable ? Py_TPFLAGS_BASETYPE : 0) |
                                                       (C.constructor.exists ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
                             slots_of<C>.data()};

template <const auto& R>
void add_record(PyObject* module) {
    using Record = std::remove_cvref_t<decltype(R)>;
    if constexpr (std::is_same_v<Record, Callable>) {
        add_function(module, &function_def_of<R>);
    } else if constexpr (std::is_same_v<Record, Submodule>) {
        Ref child = new_submodule(R.name);
        R.fill(child.get());  // completely, before it is attached
        add_submodule(module, child.get());
    } else {
        add_class<type_t<R>>(module);
    }
}

}  // namespace records

// Registers the records in the module, in the order given.
template <const auto&... Records>
void fill(PyObject* module) {
    (records::add_record<Records>(module), ...);
}

// Defines class_def<T>() from a Class<T> record, after the record.
#define TARNWICK_DEFINE_CLASS(record)                     \
    template <>                                           \
    ClassDef& class_def<records::type_t<record>>() {      \
        static ClassDef def{&records::type_spec<record>}; \
        return def;                                       \
    }

}  // namespace tarnwick::python
