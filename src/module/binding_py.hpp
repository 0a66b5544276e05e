// The binding kit: everything between CPython's calling conventions and the plain C++ logic.
//
// A method is written as
//
//     constexpr char add_variable_doc[] = "add_variable($self, name, lb, ub, category)\n--\n\n";
//     PyObject* add_variable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
//         static constexpr auto sig = ONDREL_SIGNATURE(add_variable_doc);
//         Arg<Text> name; Arg<Float> lb, ub; Arg<EnumOf<Category>> category;
//         if (!parse(sig, args, nargs, kw, name, lb, ub, category)) return nullptr;
//         ...
//     }
//
// and listed with ONDREL_FASTCALL("add_variable", add_variable, add_variable_doc). The parameter
// names come from the docstring's text signature, so the names Python shows and the names the
// binder accepts cannot drift apart. parse() binds positional and keyword arguments (TypeError
// for a missing, extra, unknown or repeated argument before anything is converted), then
// converts each parameter in declaration order; the first failure keeps its exception and gets
// a note naming the parameter. C++ exceptions thrown by the logic are turned into Python
// exceptions by the wrappers that the ONDREL_* table macros install. The parameter kinds, the
// holders and parse() are in arguments_py.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ondrel::py {

// ---------------------------------------------------------------------------------------------
// Owning reference.

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Signatures, parsed at compile time from the docstring's text-signature line.

template <std::size_t N>
struct Signature {
    std::string_view function;
    std::array<std::string_view, N> names{};
    std::array<bool, N> has_default{};
    std::size_t required = 0;
};

namespace detail {
constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}
constexpr std::string_view params_text(std::string_view doc) {
    const auto open = doc.find('(');
    const auto close = doc.find(')');
    return doc.substr(open + 1, close - open - 1);
}
template <class F>
constexpr void for_each_param(std::string_view doc, F&& f) {
    std::string_view rest = params_text(doc);
    while (true) {
        const auto comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        if (!item.empty() && item.front() != '$') f(item);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
}
}  // namespace detail

constexpr std::size_t count_params(std::string_view doc) {
    std::size_t n = 0;
    detail::for_each_param(doc, [&](std::string_view) { ++n; });
    return n;
}

template <std::size_t N>
constexpr Signature<N> parse_signature(std::string_view doc) {
    Signature<N> sig;
    sig.function = doc.substr(0, doc.find('('));
    std::size_t i = 0;
    detail::for_each_param(doc, [&](std::string_view item) {
        const auto eq = item.find('=');
        sig.names[i] = detail::trim(item.substr(0, eq));
        sig.has_default[i] = eq != std::string_view::npos;
        if (!sig.has_default[i]) sig.required = i + 1;
        ++i;
    });
    return sig;
}

#define ONDREL_SIGNATURE(doc) \
    ::ondrel::py::parse_signature<::ondrel::py::count_params(doc)>(std::string_view(doc))

// Matches arguments to parameters. slots[i] receives a borrowed reference, or nullptr when the
// parameter was omitted (only possible for parameters with a default).
bool bind_fastcall(std::string_view function, const std::string_view* names, std::size_t n,
                   std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);
// The same for the tuple-and-dict convention of tp_new.
bool bind_tuple_dict(std::string_view function, const std::string_view* names, std::size_t n,
                     std::size_t required, PyObject* args, PyObject* kwargs, PyObject** slots);

// Adds "argument 'name' of function()" as a note to the exception being raised.
void note_parameter(std::string_view function, std::string_view parameter);

// ---------------------------------------------------------------------------------------------
// Results.

inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* to_py(bool b) { return PyBool_FromLong(b); }
inline PyObject* to_py(double d) { return PyFloat_FromDouble(d); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_py(std::int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}
inline PyObject* to_py(const std::optional<double>& d) { return d ? to_py(*d) : none(); }
inline PyObject* to_py(const std::optional<std::string>& s) {
    return s ? to_py(std::string_view(*s)) : none();
}

// A new list of n items, item i being make(i): a new reference, or nullptr with an exception
// set, which abandons the list.
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A new tuple of the given new references, which it takes over; nullptr (with the exception
// of the failed item set) when any of them is nullptr.
template <class... Items>
PyObject* tuple_of(Items*... items) {
    PyRef refs[] = {PyRef::steal(items)...};
    for (const PyRef& r : refs) {
        if (!r) return nullptr;
    }
    return PyTuple_Pack(sizeof...(Items), items...);
}

// A list of str.
inline PyObject* str_list(const std::vector<std::string>& items) {
    return build_list(items.size(), [&](std::size_t i) { return to_py(std::string_view(items[i])); });
}

// Thrown by binding code when a Python exception is already set and should propagate as is.
struct PythonErrorSet {};

// The interrupt check handed to long plain operations: runs the signal handlers of pending
// signals and throws PythonErrorSet when one raised (KeyboardInterrupt after Ctrl-C).
void check_signals();

// Sets the Python exception for the C++ exception being handled (call inside catch).
void set_error_from_current_exception() noexcept;

// ---------------------------------------------------------------------------------------------
// Exception-safe entry points. Every function the interpreter calls goes through Guard: a C++
// exception becomes the Python exception (set_error_from_current_exception), and the call
// returns the C API's error value, nullptr for an object and -1 for an int.

template <auto F>
struct Guard;

template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            set_error_from_current_exception();
            if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else {
                return -1;
            }
        }
    }
};

using NoArgsFn = PyObject* (*)(PyObject*);

// The METH_NOARGS and getter shapes of a one-argument function.
template <NoArgsFn F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    return Guard<F>::call(self);
}

template <NoArgsFn F>
PyObject* getter(PyObject* self, void*) noexcept {
    return Guard<F>::call(self);
}

template <class Fn>
PyCFunction as_cfunction(Fn f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

#define ONDREL_FASTCALL(name, fn, doc)                                                  \
    PyMethodDef {                                                                        \
        name, ::ondrel::py::as_cfunction(&::ondrel::py::Guard<fn>::call),                \
            METH_FASTCALL | METH_KEYWORDS, doc                                           \
    }
#define ONDREL_STATIC(name, fn, doc)                                                    \
    PyMethodDef {                                                                        \
        name, ::ondrel::py::as_cfunction(&::ondrel::py::Guard<fn>::call),                \
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc                             \
    }
// A type slot holding a guarded function (tp_new, tp_str, tp_repr, ...).
#define ONDREL_SLOT(slot, fn) \
    PyType_Slot { slot, reinterpret_cast<void*>(&::ondrel::py::Guard<fn>::call) }
#define ONDREL_NOARGS(name, fn, doc) \
    PyMethodDef { name, ::ondrel::py::as_cfunction(&::ondrel::py::noargs<fn>), METH_NOARGS, doc }
#define ONDREL_GETTER(name, fn) \
    PyGetSetDef { name, &::ondrel::py::getter<fn>, nullptr, nullptr, nullptr }
#define ONDREL_METHODS_END \
    PyMethodDef { nullptr, nullptr, 0, nullptr }
#define ONDREL_GETTERS_END \
    PyGetSetDef { nullptr, nullptr, nullptr, nullptr, nullptr }


// ---------------------------------------------------------------------------------------------
// Types.

// Creates a heap type from its spec the first time and returns the same object afterwards;
// nullptr with an exception set when creation fails. `finish`, when given, completes the new
// type (adding class attributes, say) before it is cached, and returns false with an exception
// set on failure. The type spec's name must be "builtins.<Class>" (PyType_Spec::name).
PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& spec, bool (*finish)(PyTypeObject*) = nullptr);

// Deallocation for instances of heap types: runs the C++ destructor of T, frees the memory and
// drops the instance's reference to its type.
template <class T>
void destroy_instance(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<T*>(self)->~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Allocates an instance of a heap type without the memset of the generic allocator; the caller
// placement-constructs T right after.
inline PyObject* allocate_instance(PyTypeObject* tp) {
    void* mem = PyObject_Malloc(static_cast<std::size_t>(tp->tp_basicsize));
    if (mem == nullptr) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(mem), tp);
}

}  // namespace ondrel::py
