// VarArray: the variables of a collection whose index sets are all ranges, read as x[i] or
// x[i, j]. A key is turned into a position by arithmetic on its ints, where a dict would hash a
// tuple and probe a table: the lookup that sums over a model's variables do once per term.
// Otherwise it behaves as a read-only mapping from key to Var (len, iteration over the keys in
// order, in, keys, values, items, get).
#include "native/native_py.hpp"

#include <charconv>
#include <limits>
#include <string>
#include <vector>

#include "model/building.hpp"

namespace ondrel::py::native {

namespace {

struct Axis {
    long long start;
    long long step;
    std::size_t size;
};

// The variables are first, first + 1, ... in key order (the last axis varies fastest). Their
// Var objects are made when read, not kept: a kept object per variable would cost its memory
// for the life of the collection, and reading one picked at random among many would miss the
// cache on its reference count, where a new object comes warm from the allocator.
struct VarArrayObject {
    PyObject_HEAD
    std::weak_ptr<SharedModel> model;
    SharedModel* store;
    std::vector<Axis> axes;
    VarId first;
    std::size_t count;

    PyObject* var(std::size_t k) const { return new_var(model, store, first + k); }
};

VarArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<VarArrayObject*>(o); }

// The position of one key part on `axis`; false (no exception set) when it is no key there. A
// part matches as it would in a dict of the same int keys: ints, bools, NumPy integers and
// floats with an integral value.
bool position(PyObject* part, const Axis& axis, std::size_t& out) {
    long long v = 0;
    if (PyLong_CheckExact(part)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(part, &overflow);
        if (overflow != 0) return false;
    } else if (PyFloat_Check(part)) {  // a dict finds 2.0 where 2 is a key: so does the array
        const double d = PyFloat_AS_DOUBLE(part);
        if (!(d >= -9.0e18 && d <= 9.0e18) || d != static_cast<double>(static_cast<long long>(d))) return false;
        v = static_cast<long long>(d);
    } else if (PyIndex_Check(part)) {
        PyRef index = PyRef::steal(PyNumber_Index(part));
        if (!index) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow != 0) return false;
    } else {
        return false;
    }
    const long long offset = v - axis.start;
    if (offset % axis.step != 0) return false;
    const long long k = offset / axis.step;
    if (k < 0 || static_cast<unsigned long long>(k) >= axis.size) return false;
    out = static_cast<std::size_t>(k);
    return true;
}

// The flat position of `key`, or false (no exception set) when it is no key of the array.
bool flat_position(const VarArrayObject* a, PyObject* key, std::size_t& out) {
    const std::size_t n = a->axes.size();
    if (n == 1) return position(key, a->axes[0], out);
    if (!PyTuple_Check(key) || static_cast<std::size_t>(PyTuple_GET_SIZE(key)) != n) return false;
    std::size_t flat = 0;
    for (std::size_t d = 0; d < n; ++d) {
        std::size_t k = 0;
        if (!position(PyTuple_GET_ITEM(key, static_cast<Py_ssize_t>(d)), a->axes[d], k)) return false;
        flat = flat * a->axes[d].size + k;
    }
    out = flat;
    return true;
}

PyObject* subscript(PyObject* self, PyObject* key) {
    std::size_t k = 0;
    if (!flat_position(as_array(self), key, k)) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return as_array(self)->var(k);
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(as_array(self)->count); }

int contains(PyObject* self, PyObject* key) {
    std::size_t k = 0;
    return flat_position(as_array(self), key, k) ? 1 : 0;
}

// The key at flat position k.
PyObject* key_at(const VarArrayObject* a, std::size_t k) {
    const std::size_t n = a->axes.size();
    const auto part = [&](std::size_t d, std::size_t i) {
        return PyLong_FromLongLong(a->axes[d].start + static_cast<long long>(i) * a->axes[d].step);
    };
    if (n == 1) return part(0, k);
    PyRef key = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!key) return nullptr;
    for (std::size_t d = n; d-- > 0;) {
        PyObject* item = part(d, k % a->axes[d].size);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(d), item);
        k /= a->axes[d].size;
    }
    return key.release();
}

PyObject* keys(PyObject* self) {
    const VarArrayObject* a = as_array(self);
    return build_list(a->count, [&](std::size_t k) { return key_at(a, k); });
}

PyObject* values(PyObject* self) {
    const VarArrayObject* a = as_array(self);
    return build_list(a->count, [&](std::size_t k) { return a->var(k); });
}

PyObject* items(PyObject* self) {
    const VarArrayObject* a = as_array(self);
    return build_list(a->count, [&](std::size_t k) { return tuple_of(key_at(a, k), a->var(k)); });
}

PyObject* iterate(PyObject* self) {
    PyRef list = PyRef::steal(keys(self));
    if (!list) return nullptr;
    return PyObject_GetIter(list.get());
}

constexpr char get_doc[] = "get($self, key, default=None)\n--\n\nThe variable of `key`, or `default`.";
PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(get_doc);
    Arg<Object> key;
    OptArg<Object> fallback;
    if (!parse(sig, args, nargs, kw, key, fallback)) return nullptr;
    std::size_t k = 0;
    if (flat_position(as_array(self), key.value, k)) return as_array(self)->var(k);
    return fallback.value ? Py_NewRef(*fallback.value) : none();
}

PyObject* first_index(PyObject* self) { return to_py(std::uint64_t{as_array(self)->first}); }

PyObject* first_var(PyObject* self) {
    const VarArrayObject* a = as_array(self);
    return a->count == 0 ? none() : a->var(0);
}

PyObject* repr(PyObject* self) {
    const VarArrayObject* a = as_array(self);
    std::string shape;
    for (const Axis& axis : a->axes) shape += (shape.empty() ? "" : " x ") + std::to_string(axis.size);
    return PyUnicode_FromFormat("<VarArray %s of %zu variables>", shape.c_str(), a->count);
}

PyMethodDef methods[] = {
    ONDREL_NOARGS("keys", keys, "keys($self)\n--\n\nThe keys, in order."),
    ONDREL_NOARGS("values", values, "values($self)\n--\n\nThe variables, in key order."),
    ONDREL_NOARGS("items", items, "items($self)\n--\n\n(key, variable) pairs, in key order."),
    ONDREL_FASTCALL("get", get, get_doc),
    ONDREL_METHODS_END,
};

PyGetSetDef getset[] = {
    ONDREL_GETTER("first_index", first_index),
    ONDREL_GETTER("first", first_var),
    ONDREL_GETTERS_END,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The variables of a collection over ranges: x[i] or x[i, j] by arithmetic on "
                                  "the key, a read-only mapping from key to Var otherwise. first is the first "
                                  "variable and first_index its index; the others follow in key order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<VarArrayObject>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    ONDREL_SLOT(Py_tp_repr, repr),
    ONDREL_SLOT(Py_tp_iter, iterate),
    ONDREL_SLOT(Py_mp_subscript, subscript),
    ONDREL_SLOT(Py_mp_length, length),
    ONDREL_SLOT(Py_sq_contains, contains),
    {0, nullptr},
};

PyType_Spec spec{
    .name = "zemlo.VarArray",
    .basicsize = sizeof(VarArrayObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};
PyTypeObject* cell = nullptr;

constexpr char new_variable_array_doc[] =
    "new_variable_array(model, base, ranges, lb, ub, category)\n--\n\n"
    "Add one variable per key of the product of the ranges (the last varying fastest), named\n"
    "base(i,j,...); returns their VarArray.";
PyObject* new_variable_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(new_variable_array_doc);
    Arg<LowModel> model;
    Arg<Text> base;
    Arg<Object> ranges;
    Arg<Float> lb, ub;
    Arg<I32> category;
    if (!parse(sig, args, nargs, kw, model, base, ranges, lb, ub, category)) return nullptr;
    if (category.value < 0 || category.value > 2) raise_value(Msg() << "invalid category code " << category.value);
    PyRef seq = PyRef::steal(PySequence_Fast(ranges.value, "ranges must be a sequence of ranges"));
    if (!seq) return nullptr;
    const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
    if (n == 0) raise_value("at least one range is needed");
    std::vector<Axis> axes;
    std::vector<std::vector<std::string>> texts(n);
    std::size_t count = 1;
    for (std::size_t d = 0; d < n; ++d) {
        PyObject* r = PySequence_Fast_ITEMS(seq.get())[d];
        if (!PyRange_Check(r)) {
            PyErr_SetString(PyExc_TypeError, "every index set must be a range");
            return nullptr;
        }
        long long values[3];
        const char* fields[3] = {"start", "step", "stop"};
        for (int f = 0; f < 3; ++f) {
            PyRef v = PyRef::steal(PyObject_GetAttrString(r, fields[f]));
            if (!v) return nullptr;
            values[f] = PyLong_AsLongLong(v.get());
            if (values[f] == -1 && PyErr_Occurred()) return nullptr;
        }
        const Py_ssize_t size = PyObject_Length(r);
        if (size < 0) return nullptr;
        axes.push_back(Axis{values[0], values[1], static_cast<std::size_t>(size)});
        texts[d].resize(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < texts[d].size(); ++i) {
            char buf[24];
            const auto t = std::to_chars(buf, buf + sizeof buf, values[0] + static_cast<long long>(i) * values[1]);
            texts[d][i].assign(buf, t.ptr);
        }
        if (size != 0 && count > std::numeric_limits<std::size_t>::max() / static_cast<std::size_t>(size))
            raise_value("too many keys");
        count *= static_cast<std::size_t>(size);
    }
    std::vector<std::string> names(count);
    std::vector<std::size_t> at(n, 0);
    for (std::size_t v = 0; v < count; ++v) {
        std::string& name = names[v];
        name.reserve(base.value.size() + n * 4 + 2);
        name.append(base.value);
        name += '(';
        for (std::size_t d = 0; d < n; ++d) {
            if (d != 0) name += ',';
            name += texts[d][at[d]];
        }
        name += ')';
        for (std::size_t d = n; d-- > 0;) {
            if (++at[d] < axes[d].size) break;
            at[d] = 0;
        }
    }
    PyTypeObject* t = cached_type(cell, spec);
    if (t == nullptr) return nullptr;
    const VarId first =
        add_variables(*model.value, names, lb.value, ub.value, static_cast<Category>(category.value));
    std::vector<std::string>().swap(names);
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    VarArrayObject* a = as_array(self);
    new (&a->model) std::weak_ptr<SharedModel>(model.value);
    new (&a->axes) std::vector<Axis>(std::move(axes));
    a->store = model.value.get();
    a->first = first;
    a->count = count;
    PyRef owner = PyRef::steal(self);
    return owner.release();
}

}  // namespace

PyTypeObject* var_array_type() { return cached_type(cell, spec); }

PyMethodDef var_array_functions[] = {
    ONDREL_FASTCALL("new_variable_array", new_variable_array, new_variable_array_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
