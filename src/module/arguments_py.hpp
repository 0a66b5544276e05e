// The binding kit's argument side: one kind per parameter type (float, integers, flag, text,
// class instance, sequence, pair, name-to-float mapping, buffer, optional names), the holders
// that a method declares one per parameter, and parse(), which binds and converts them. The
// rest of the kit (references, signatures, results, Guard, types) is in binding_py.hpp.
#pragma once

#include "base/huge_pages.hpp"
#include "module/binding_py.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ondrel::py {

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
    // Large sequences (millions of names) are converted into a block of their own, which goes
    // back to the system when the call ends instead of staying in the heap.
    using value_type = HugeVector<typename K::value_type>;
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

}  // namespace ondrel::py
