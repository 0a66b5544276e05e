#include "module/arguments_py.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "base/errors.hpp"

namespace ondrel::py {

namespace {

std::string fn_text(std::string_view function) {
    std::string s(function);
    s += "()";
    return s;
}

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &len);
    if (p == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {p, static_cast<std::size_t>(len)};
}

// Index of the parameter called `key`, or n when there is none.
std::size_t find_param(const std::string_view* names, std::size_t n, PyObject* key) {
    const std::string_view k = utf8_of(key);
    for (std::size_t j = 0; j < n; ++j) {
        if (names[j] == k) return j;
    }
    return n;
}

bool too_many(std::string_view function, std::size_t n, Py_ssize_t given) {
    const std::string f = fn_text(function);
    if (n == 0) {
        PyErr_Format(PyExc_TypeError, "%s takes no arguments (%zd given)", f.c_str(), given);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes at most %zu argument%s (%zd given)", f.c_str(), n,
                     n == 1 ? "" : "s", given);
    }
    return false;
}

bool place_keyword(std::string_view function, const std::string_view* names, std::size_t n,
                   Py_ssize_t nargs, PyObject* key, PyObject* value, PyObject** slots) {
    const std::size_t j = find_param(names, n, key);
    const std::string f = fn_text(function);
    if (j == n) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", f.c_str(), key);
        return false;
    }
    if (slots[j] != nullptr) {
        const std::string name(names[j]);
        if (static_cast<Py_ssize_t>(j) < nargs) {
            PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%s') and position (%zu)",
                         f.c_str(), name.c_str(), j + 1);
        } else {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", f.c_str(),
                         name.c_str());
        }
        return false;
    }
    slots[j] = value;
    return true;
}

bool check_required(std::string_view function, const std::string_view* names,
                    std::size_t required, PyObject** slots) {
    for (std::size_t j = 0; j < required; ++j) {
        if (slots[j] == nullptr) {
            const std::string f = fn_text(function);
            const std::string name(names[j]);
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zu)", f.c_str(),
                         name.c_str(), j + 1);
            return false;
        }
    }
    return true;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

bool is_numpy_bool(PyTypeObject* tp) {
    // NumPy's boolean scalar type is called bool_ (1.x) or bool (2.x) in the module numpy.
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    PyRef name = PyRef::steal(PyType_GetName(tp));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool bind_fastcall(std::string_view function, const std::string_view* names, std::size_t n,
                   std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) {
    nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs > static_cast<Py_ssize_t>(n)) return too_many(function, n, nargs + nkw);
    for (std::size_t j = 0; j < n; ++j) {
        slots[j] = static_cast<Py_ssize_t>(j) < nargs ? args[j] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!place_keyword(function, names, n, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                           slots))
            return false;
    }
    return check_required(function, names, required, slots);
}

bool bind_tuple_dict(std::string_view function, const std::string_view* names, std::size_t n,
                     std::size_t required, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (nargs > static_cast<Py_ssize_t>(n)) return too_many(function, n, nargs + nkw);
    for (std::size_t j = 0; j < n; ++j) {
        slots[j] = static_cast<Py_ssize_t>(j) < nargs ? PyTuple_GET_ITEM(args, j) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s keywords must be strings",
                             fn_text(function).c_str());
                return false;
            }
            if (!place_keyword(function, names, n, nargs, key, value, slots)) return false;
        }
    }
    return check_required(function, names, required, slots);
}

void note_parameter(std::string_view function, std::string_view parameter) {
    std::string note = "argument '";
    note.append(parameter);
    note += "' of ";
    note.append(function);
    note += "()";
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyRef r = PyRef::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    if (!r) PyErr_Clear();
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    if (value != nullptr) {
        PyRef r = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
        if (!r) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
#endif
}

bool U64::convert(PyObject* o, std::uint64_t& out) {
    PyRef index;
    if (!PyLong_Check(o)) {
        index = PyRef::steal(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    out = PyLong_AsUnsignedLongLong(o);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool I32::convert(PyObject* o, std::int32_t& out) {
    PyRef index;
    if (!PyLong_Check(o)) {
        index = PyRef::steal(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "Python int out of range for a signed 32-bit integer");
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool Flag::convert(PyObject* o, bool& out) {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False) {
        out = false;
        return true;
    }
    if (is_numpy_bool(Py_TYPE(o))) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %.200s", type_name(o));
    return false;
}

bool Text::convert(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", type_name(o));
        return false;
    }
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &len);
    if (p == nullptr) return false;
    out = std::string_view(p, static_cast<std::size_t>(len));
    return true;
}

bool OwnedText::convert(PyObject* o, std::string& out) {
    std::string_view v;
    if (!Text::convert(o, v)) return false;
    out.assign(v);
    return true;
}

void raise_wrong_type(PyTypeObject* expected, PyObject* got) {
    PyRef name = PyRef::steal(PyType_GetName(expected));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "expected %U, got %.200s", name.get(), type_name(got));
}

bool check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "expected a sequence, got str");
        return false;
    }
    if (!PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence, got %.200s", type_name(o));
        return false;
    }
    return true;
}

bool NameFloatMap::convert(PyObject* o, value_type& out) {
    if (!PyDict_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected dict, got %.200s", type_name(o));
        return false;
    }
    // Snapshot the items first: converting a value may run Python code that changes the dict.
    std::vector<std::pair<PyRef, PyRef>> items;
    items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(o, &pos, &key, &value)) {
        items.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    }
    out.clear();
    out.reserve(items.size());
    for (auto& [k, v] : items) {
        std::string name;
        double x = 0.0;
        if (!OwnedText::convert(k.get(), name) || !Float::convert(v.get(), x)) return false;
        out.insert_or_assign(std::move(name), x);
    }
    return true;
}

bool OptionalNamesKind::convert(PyObject* o, OptionalNames& out) {
    out.items = PyRef();
    if (o == Py_None) return true;
    if (!check_sequence(o)) return false;
    PyRef items = PyRef::steal(PySequence_Fast(o, "expected a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (item[i] == Py_None) continue;
        if (!PyUnicode_Check(item[i])) {
            PyErr_Format(PyExc_TypeError, "expected str or None, got %.200s", type_name(item[i]));
            return false;
        }
        if (PyUnicode_AsUTF8AndSize(item[i], nullptr) == nullptr) return false;
    }
    out.items = std::move(items);
    return true;
}

bool BufferView::acquire(PyObject* o, BufferItem item) {
    reset();
    if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    std::string_view format = view_.format != nullptr ? view_.format : "B";
    bool native = true;
    if (!format.empty() && (format.front() == '@' || format.front() == '=' || format.front() == '<')) {
        native = format.front() == '@';
        format.remove_prefix(1);
    }
    bool format_ok = false;
    Py_ssize_t size = 8;
    const char* expected = nullptr;
    switch (item) {
        case BufferItem::U64:
            format_ok = format == "Q" || (native && sizeof(long) == 8 && (format == "L" || format == "N"));
            expected = "unsigned 64-bit integers (item format 'Q', 8 bytes)";
            break;
        case BufferItem::F64:
            format_ok = format == "d";
            expected = "64-bit floats (item format 'd', 8 bytes)";
            break;
        case BufferItem::Byte:
            format_ok = format == "B" || format == "b" || format == "c";
            size = 1;
            expected = "one-byte codes (item format 'B', 1 byte)";
            break;
    }
    if (!format_ok || view_.itemsize != size) {
        const std::string got(format);
        PyErr_Format(PyExc_BufferError, "expected a buffer of %s, got item format '%s' with item size %zd",
                     expected, got.c_str(), view_.itemsize);
        reset();
        return false;
    }
    if (view_.len > 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(size) != 0) {
        PyErr_SetString(PyExc_BufferError, "buffer items are not aligned to 8 bytes");  // 8-byte items only
        reset();
        return false;
    }
    return true;
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const Error& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.kind()) {
            case ErrorKind::Value: type = PyExc_ValueError; break;
            case ErrorKind::Runtime: type = PyExc_RuntimeError; break;
            case ErrorKind::Index: type = PyExc_IndexError; break;
        }
        // The whole message, NUL characters included; bytes that are not UTF-8 (a token cut
        // inside a character) become U+FFFD rather than hiding the error behind a decode error.
        const std::string_view text = e.text();
        PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (message) PyErr_SetObject(type, message.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
    }
}

PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& spec, bool (*finish)(PyTypeObject*)) {
    if (cell != nullptr) return cell;
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) return nullptr;
    if (finish != nullptr && !finish(type)) {
        Py_DECREF(type);
        return nullptr;
    }
    cell = type;
    return type;
}

}  // namespace ondrel::py
