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
// exceptions by the wrappers that the ONDREL_* table macros install.
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
// Parameter kinds. Each converts one object into a plain value; on failure it leaves a Python
// exception set and returns false. Values borrowed from an argument (Text, Instance) stay valid
// for the call because the caller keeps its arguments alive; kinds used inside sequences and
// pairs produce owned values, since converting a later item may run Python code that drops
// earlier ones.

struct Float {
    using value_type = double;
    static bool convert(PyObject* o, double& out) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        out = PyFloat_AsDouble(o);
        return !(out == -1.0 && PyErr_Occurred());
    }
};

struct U64 {
    using value_type = std::uint64_t;
    static bool convert(PyObject* o, std::uint64_t& out);
};

struct I32 {
    using value_type = std::int32_t;
    static bool convert(PyObject* o, std::int32_t& out);
};

// True or False, or a NumPy boolean scalar taken by its truth value.
struct Flag {
    using value_type = bool;
    static bool convert(PyObject* o, bool& out);
};

// str, viewed as UTF-8 (borrowed from the string object).
struct Text {
    using value_type = std::string_view;
    static bool convert(PyObject* o, std::string_view& out);
};

// str, copied as UTF-8.
struct OwnedText {
    using value_type = std::string;
    static bool convert(PyObject* o, std::string& out);
};

// An instance of exactly the given extension type (none of the classes can be subclassed).
// TypeFn returns the cached type object; T is the instance layout.
template <class T, PyTypeObject* (*TypeFn)()>
struct Instance {
    using value_type = T*;
    static bool convert(PyObject* o, T*& out);
};

void raise_wrong_type(PyTypeObject* expected, PyObject* got);

template <class T, PyTypeObject* (*TypeFn)()>
bool Instance<T, TypeFn>::convert(PyObject* o, T*& out) {
    PyTypeObject* t = TypeFn();
    if (t == nullptr) return false;
    if (Py_TYPE(o) != t) {
        raise_wrong_type(t, o);
        return false;
    }
    out = reinterpret_cast<T*>(o);
    return true;
}

// A sequence of K: any object passing the sequence check except str.
template <class K>
struct SeqOf {
    using value_type = std::vector<typename K::value_type>;
    static bool convert(PyObject* o, value_type& out);
};

bool check_sequence(PyObject* o);

template <class K>
bool SeqOf<K>::convert(PyObject* o, value_type& out) {
    if (!check_sequence(o)) return false;
    out.clear();
    if (PyTuple_CheckExact(o)) {
        // Tuples are immutable and keep their items alive while we hold the argument.
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        out.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!K::convert(PyTuple_GET_ITEM(o, i), out[static_cast<std::size_t>(i)])) return false;
        }
        return true;
    }
    if (PyList_CheckExact(o)) {
        // A conversion may run Python code that changes the list: re-read the size each step
        // and hold the item while converting it, exactly as iteration would.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            PyRef item = PyRef::borrow(PyList_GET_ITEM(o, i));
            typename K::value_type v;
            if (!K::convert(item.get(), v)) return false;
            out.push_back(std::move(v));
        }
        return true;
    }
    // The length only sizes the array; a sequence may report more items than it yields, so
    // the reservation is capped and growth covers the rest.
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
    } else {
        out.reserve(std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 20));
    }
    PyRef it = PyRef::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        typename K::value_type v;
        if (!K::convert(item.get(), v)) return false;
        out.push_back(std::move(v));
    }
    return !PyErr_Occurred();
}

// A tuple of exactly two items.
template <class K1, class K2>
struct PairOf {
    using value_type = std::pair<typename K1::value_type, typename K2::value_type>;
    static bool convert(PyObject* o, value_type& out) {
        if (!PyTuple_Check(o)) {
            PyErr_Format(PyExc_TypeError, "expected a tuple of 2 items, got %.200s",
                         Py_TYPE(o)->tp_name);
            return false;
        }
        if (PyTuple_GET_SIZE(o) != 2) {
            PyErr_Format(PyExc_ValueError, "expected a tuple of 2 items, got %zd items",
                         PyTuple_GET_SIZE(o));
            return false;
        }
        return K1::convert(PyTuple_GET_ITEM(o, 0), out.first) &&
               K2::convert(PyTuple_GET_ITEM(o, 1), out.second);
    }
};

// dict (or subclass) of str to float. The items are copied out before any value is converted,
// so a conversion that changes the dictionary cannot make us read its freed entries.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};
using NameFloatMapValue = std::unordered_map<std::string, double, StringHash, std::equal_to<>>;

struct NameFloatMap {
    using value_type = NameFloatMapValue;
    static bool convert(PyObject* o, value_type& out);
};

// What a buffer argument holds: unsigned 64-bit integers (item format 'Q', or 'L'/'N' where
// those are 8 bytes), 64-bit floats ('d'), or one-byte codes ('B', 'b' or 'c').
enum class BufferItem { U64, F64, Byte };

// A read-only buffer of one item kind, with the view released on scope exit.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(BufferView&& other) noexcept : view_(other.view_), held_(other.held_) {
        other.held_ = false;
    }
    BufferView& operator=(BufferView&& other) noexcept {
        if (this != &other) {
            reset();
            view_ = other.view_;
            held_ = other.held_;
            other.held_ = false;
        }
        return *this;
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { reset(); }

    bool acquire(PyObject* o, BufferItem item);
    bool c_contiguous() const noexcept { return held_ && PyBuffer_IsContiguous(&view_, 'C'); }
    std::size_t count() const noexcept {
        return held_ ? static_cast<std::size_t>(view_.len / view_.itemsize) : 0;
    }
    const void* data() const noexcept { return view_.buf; }
    // The items as a span; the view must be C-contiguous and of T's kind.
    template <class T>
    std::span<const T> items() const noexcept {
        return std::span<const T>(static_cast<const T*>(view_.buf), count());
    }

private:
    void reset() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer view_{};
    bool held_ = false;
};

template <BufferItem Item>
struct BufferOf {
    using value_type = BufferView;
    static bool convert(PyObject* o, BufferView& out) { return out.acquire(o, Item); }
};
using U64Buffer = BufferOf<BufferItem::U64>;
using F64Buffer = BufferOf<BufferItem::F64>;

// None, or a sequence of str or None (a name each). The sequence is held as a list or tuple,
// so its items and their UTF-8 texts stay alive and unchanged for the call: after conversion,
// name(i) reads a text without creating anything.
struct OptionalNames {
    PyRef items;  // a list or tuple, or empty for None

    std::size_t size() const noexcept {
        return items ? static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())) : 0;
    }
    std::optional<std::string_view> name(std::size_t i) const noexcept {
        PyObject* o = PySequence_Fast_ITEMS(items.get())[i];
        if (o == Py_None) return std::nullopt;
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &len);  // cached by conversion
        return std::string_view(text, static_cast<std::size_t>(len));
    }
};

struct OptionalNamesKind {
    using value_type = OptionalNames;
    static bool convert(PyObject* o, OptionalNames& out);
};

// ---------------------------------------------------------------------------------------------
// Argument holders used with parse().

template <class K>
struct Arg {
    typename K::value_type value{};
    bool from(PyObject* o) { return K::convert(o, value); }
    void omitted() {}
};

// A parameter with a default; the default applies only when the argument is omitted.
template <class K, auto Default>
struct ArgOr {
    typename K::value_type value{};
    bool from(PyObject* o) { return K::convert(o, value); }
    void omitted() { value = Default; }
};

// An optional value: None, or a value of kind K.
template <class K>
struct OptArg {
    std::optional<typename K::value_type> value;
    bool from(PyObject* o) {
        if (o == Py_None) {
            value.reset();
            return true;
        }
        typename K::value_type v{};
        if (!K::convert(o, v)) return false;
        value = std::move(v);
        return true;
    }
    void omitted() {}
};

namespace detail {
template <class H>
bool convert_one(std::string_view function, std::string_view name, PyObject* slot, H& holder) {
    if (slot == nullptr) {
        holder.omitted();
        return true;
    }
    if (holder.from(slot)) return true;
    note_parameter(function, name);
    return false;
}

template <std::size_t N, class... H, std::size_t... I>
bool convert_all(const Signature<N>& sig, PyObject** slots, std::index_sequence<I...>,
                 H&... holders) {
    return (convert_one(sig.function, sig.names[I], slots[I], holders) && ...);
}
}  // namespace detail

template <std::size_t N, class... H>
bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           H&... holders) {
    static_assert(sizeof...(H) == N, "one holder per parameter of the signature");
    PyObject* slots[N == 0 ? 1 : N];
    if (!bind_fastcall(sig.function, sig.names.data(), N, sig.required, args, nargs, kwnames,
                       slots))
        return false;
    return detail::convert_all(sig, slots, std::index_sequence_for<H...>{}, holders...);
}

template <std::size_t N, class... H>
bool parse_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, H&... holders) {
    static_assert(sizeof...(H) == N, "one holder per parameter of the signature");
    PyObject* slots[N == 0 ? 1 : N];
    if (!bind_tuple_dict(sig.function, sig.names.data(), N, sig.required, args, kwargs, slots))
        return false;
    return detail::convert_all(sig, slots, std::index_sequence_for<H...>{}, holders...);
}

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
