// The functions of zemlo._native that reach a store: variables by name or by index keys, rows
// from constraints, the objective, the model as arrays, a whole solution back, the solution
// check; and the Row handle and the Array buffer they return.
#include "native/native_py.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "constraint/constraint.hpp"
#include "expr/solution_check.hpp"
#include "model/building.hpp"
#include "model/export.hpp"
#include "model/queries.hpp"

namespace ondrel::py::native {

namespace {

constexpr std::string_view kLostRow =
    "The DoRaduvar this constraint belongs to no longer exists. Do not reassign or delete the DoRaduvar and then "
    "use its variables or constraints.";

PyTypeObject* low_model_type = nullptr;  // _ondrel.Model, kept for the life of the process

// ---------------------------------------------------------------------------------------------
// Names from index keys.

// Characters a name in a CPLEX LP file may hold besides letters and digits.
constexpr std::string_view kNameSymbols = "!\"#$%&()/,.;?@_`'{}|~";

bool name_char(unsigned char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kNameSymbols.find(static_cast<char>(c)) != std::string_view::npos;
}

// Appends `text` with every character an LP name cannot hold made '_' (a character of several
// UTF-8 bytes becomes one '_'). Returns whether the text was changed or holds a character
// that separates keys in a generated name, so that two keys may give one name.
bool append_key_text(std::string& out, std::string_view text) {
    bool altered = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            while (i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) ++i;
            out += '_';
            altered = true;
        } else if (!name_char(c)) {
            out += '_';
            altered = true;
        } else {
            if (c == ',' || c == '(' || c == ')') altered = true;
            out += static_cast<char>(c);
        }
    }
    return altered;
}

// One part of a key: an int in decimal, anything else as str() gives it.
bool append_key_part(std::string& out, PyObject* part) {
    if (PyLong_CheckExact(part)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(part, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, v);
            out.append(buf, r.ptr);
            return false;
        }
        PyErr_Clear();
    }
    PyRef text = PyRef::steal(PyUnicode_Check(part) ? Py_NewRef(part) : PyObject_Str(part));
    if (!text) throw PythonErrorSet{};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (s == nullptr) throw PythonErrorSet{};
    return append_key_text(out, std::string_view(s, static_cast<std::size_t>(n)));
}

PyObject* var_list(const std::shared_ptr<SharedModel>& m, VarId first, std::size_t count) {
    return build_list(count, [&](std::size_t i) { return new_var(m, first + i); });
}

Category category_of(std::int32_t code) {
    if (code < 0 || code > 2) raise_value(Msg() << "invalid category code " << code);
    return static_cast<Category>(code);
}

constexpr char new_variable_doc[] =
    "new_variable(model, name, lb, ub, category)\n--\n\n"
    "Add one variable named `name` (category code 0 continuous, 1 integer, 2 binary); returns its Var.";
PyObject* new_variable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(new_variable_doc);
    Arg<LowModel> model;
    Arg<OwnedText> name;
    Arg<Float> lb, ub;
    Arg<I32> category;
    if (!parse(sig, args, nargs, kw, model, name, lb, ub, category)) return nullptr;
    std::string names[] = {std::move(name.value)};
    const VarId id = add_variables(*model.value, names, lb.value, ub.value, category_of(category.value));
    return new_var(model.value, id);
}

constexpr char new_variable_dict_doc[] =
    "new_variable_dict(model, base, index_sets, lb, ub, category)\n--\n\n"
    "Add one variable per key of the index sets (a sequence of sequences): the items of the one\n"
    "set, or the tuples of the product of several, in order. Each is named base(k1,k2,...) from\n"
    "the parts of its key: ints in decimal, other values as str() gives them with characters an LP\n"
    "name cannot hold made '_'. Returns a dict from key to Var. ValueError, adding nothing, when\n"
    "two keys would share a name; the items of each set must be distinct (not checked here).";
// The index sets of new_variable_dict: each set's items, the text each gives in a name
// (computed once per item), whether a text holds the separator ',', and the number of keys.
struct IndexSets {
    std::vector<PyRef> sets;
    std::vector<std::vector<std::string>> texts;
    bool separators = false;
    std::size_t count = 1;
};

// Steps the position in each set to the next key of the product (the last set varies fastest).
void next_key(std::vector<std::size_t>& at, const std::vector<std::vector<std::string>>& texts) {
    for (std::size_t s = at.size(); s-- > 0;) {
        if (++at[s] < texts[s].size()) return;
        at[s] = 0;
    }
}

// False with a Python error set when an index set is no sequence.
bool read_index_sets(PyObject* outer, IndexSets& out) {
    const std::size_t k = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(outer));
    if (k == 0) raise_value("at least one index set is needed");
    out.sets.resize(k);
    out.texts.resize(k);
    for (std::size_t s = 0; s < k; ++s) {
        out.sets[s] = PyRef::steal(PySequence_Fast(PySequence_Fast_ITEMS(outer)[s], "an index set must be iterable"));
        if (!out.sets[s]) return false;
        const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(out.sets[s].get()));
        PyObject** items = PySequence_Fast_ITEMS(out.sets[s].get());
        out.texts[s].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::string& text = out.texts[s][i];
            if (k == 1 && PyTuple_Check(items[i])) {  // a tuple key of one set: its parts
                const Py_ssize_t parts = PyTuple_GET_SIZE(items[i]);
                for (Py_ssize_t j = 0; j < parts; ++j) {
                    if (j != 0) text += ',';
                    append_key_part(text, PyTuple_GET_ITEM(items[i], j));
                }
                out.separators = out.separators || parts > 1;
            } else {
                out.separators = append_key_part(text, items[i]) || out.separators;
            }
        }
        if (n != 0 && out.count > std::numeric_limits<std::size_t>::max() / n) raise_value("too many keys");
        out.count *= n;
    }
    return true;
}

// The names base(t1,t2,...), in key order.
std::vector<std::string> key_names(std::string_view base, const IndexSets& sets) {
    const std::size_t k = sets.texts.size();
    std::vector<std::string> names(sets.count);
    std::vector<std::size_t> at(k, 0);
    for (std::string& name : names) {
        std::size_t length = base.size() + k + 1;
        for (std::size_t s = 0; s < k; ++s) length += sets.texts[s][at[s]].size();
        name.reserve(length);
        name.append(base);
        name += '(';
        for (std::size_t s = 0; s < k; ++s) {
            if (s != 0) name += ',';
            name += sets.texts[s][at[s]];
        }
        name += ')';
        next_key(at, sets.texts);
    }
    return names;
}

// Distinct keys give distinct names unless an item's text stands for another's: the same text
// twice in a set, or a separator inside a text. Only then are the names compared.
void check_distinct_names(std::string_view base, const IndexSets& sets, const std::vector<std::string>& names) {
    bool check_all = sets.separators;
    for (std::size_t s = 0; s < sets.texts.size() && !check_all; ++s) {
        std::unordered_set<std::string_view> seen(sets.texts[s].begin(), sets.texts[s].end());
        check_all = seen.size() != sets.texts[s].size();
    }
    if (!check_all) return;
    std::unordered_set<std::string_view> seen;
    seen.reserve(names.size());
    for (const std::string& name : names) {
        if (!seen.insert(name).second) {
            raise_value(Msg() << "two keys of '" << base << "' give one variable name, " << name
                              << "; use keys whose text differs");
        }
    }
}

// The dict from key (an item of the one set, or a tuple of one item per set) to Var, for the
// variables from `first` on. Its key tuples are tracked by the cyclic collector, and a
// collection every few hundred of them would walk everything made so far: the collector is
// paused for the loop and its state restored after.
PyObject* key_dict(const std::shared_ptr<SharedModel>& model, const IndexSets& sets, VarId first) {
    struct PauseCollector {
        int was_enabled = PyGC_Disable();
        ~PauseCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;
    const std::size_t k = sets.sets.size();
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    std::vector<std::size_t> at(k, 0);
    for (std::size_t v = 0; v < sets.count; ++v) {
        PyRef key;
        if (k == 1) {
            key = PyRef::borrow(PySequence_Fast_ITEMS(sets.sets[0].get())[at[0]]);
        } else {
            key = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(k)));
            if (!key) return nullptr;
            for (std::size_t s = 0; s < k; ++s) {
                PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(s),
                                 Py_NewRef(PySequence_Fast_ITEMS(sets.sets[s].get())[at[s]]));
            }
        }
        PyRef var = PyRef::steal(new_var(model, first + v));
        if (!var || PyDict_SetItem(out.get(), key.get(), var.get()) < 0) return nullptr;
        next_key(at, sets.texts);
    }
    return out.release();
}

PyObject* new_variable_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(new_variable_dict_doc);
    Arg<LowModel> model;
    Arg<Text> base;
    Arg<Object> index_sets;
    Arg<Float> lb, ub;
    Arg<I32> category;
    if (!parse(sig, args, nargs, kw, model, base, index_sets, lb, ub, category)) return nullptr;
    const Category cat = category_of(category.value);
    PyRef outer = PyRef::steal(PySequence_Fast(index_sets.value, "index_sets must be a sequence of sequences"));
    if (!outer) return nullptr;
    IndexSets sets;
    if (!read_index_sets(outer.get(), sets)) return nullptr;
    std::vector<std::string> names = key_names(base.value, sets);
    check_distinct_names(base.value, sets, names);
    const VarId first = add_variables(*model.value, names, lb.value, ub.value, cat);
    std::vector<std::string>().swap(names);
    return key_dict(model.value, sets, first);
}

constexpr char variables_of_doc[] =
    "variables_of(model)\n--\n\nA Var for every variable of the model, in id order.";
PyObject* variables_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(variables_of_doc);
    Arg<LowModel> model;
    if (!parse(sig, args, nargs, kw, model)) return nullptr;
    return var_list(model.value, 0, variable_count(*model.value));
}

constexpr char rows_of_doc[] =
    "rows_of(model, first=0, count=None)\n--\n\n"
    "A Row for each constraint first .. first + count - 1 (count None: to the last), in id order.";
PyObject* rows_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(rows_of_doc);
    Arg<LowModel> model;
    ArgOr<U64, std::uint64_t{0}> first;
    OptArg<U64> count;
    if (!parse(sig, args, nargs, kw, model, first, count)) return nullptr;
    const auto& m = model.value;
    const std::size_t rows = constraint_count(*m);
    const std::size_t from = std::min<std::size_t>(first.value, rows);
    const std::size_t n = count.value ? std::min<std::size_t>(*count.value, rows - from) : rows - from;
    return build_list(n, [&](std::size_t i) { return new_row(m, from + i); });
}

// ---------------------------------------------------------------------------------------------
// Rows and the objective.

// The constraint's variables must belong to `model`.
void check_same_store(const LinData& d, const std::shared_ptr<SharedModel>& model, std::string_view what) {
    if (d.store == nullptr) return;
    const std::shared_ptr<SharedModel> theirs = d.model();
    if (!theirs) raise_value(Msg() << "the variables of the " << what << " belong to a DoRaduvar that no longer exists");
    if (theirs != model) raise_value(Msg() << "the variables of the " << what << " belong to another DoRaduvar");
}

constexpr char add_row_doc[] =
    "add_row(model, constraint, name=None)\n--\n\n"
    "Store a LinearConstraint as a row named `name` (None: automatic); returns its Row.";
PyObject* add_row(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_row_doc);
    Arg<LowModel> model;
    Arg<Object> constraint;
    OptArg<Text> name;
    if (!parse(sig, args, nargs, kw, model, constraint, name)) return nullptr;
    PyObject* con = constraint.value;
    if (Py_TYPE(con) != lin_constraint_type()) {
        if (PyBool_Check(con)) {
            PyErr_SetString(PyExc_TypeError,
                            "expected a constraint, got a bool: a comparison of plain numbers (or of a variable "
                            "with itself by 'is') is no constraint");
        } else {
            PyErr_Format(PyExc_TypeError,
                         "expected a constraint (an expression compared with <=, >= or ==), got %.100s",
                         Py_TYPE(con)->tp_name);
        }
        return nullptr;
    }
    const LinConstraintObject* c = reinterpret_cast<LinConstraintObject*>(con);
    check_same_store(c->data, model.value, "constraint");
    const ConstraintId id = add_constraint_terms(*model.value, std::span<const Term>(c->data.terms(), c->data.len),
                                                 c->sense, 0.0 - c->data.constant, name.value);
    return new_row(model.value, id);
}

constexpr char set_objective_doc[] =
    "set_objective(model, expr, maximize)\n--\n\n"
    "Make `expr` (a number, a Var or an Expr; its constant kept) the objective, maximised or minimised.";
PyObject* set_objective(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_objective_doc);
    Arg<LowModel> model;
    Arg<Object> expr;
    Arg<Flag> maximize;
    if (!parse(sig, args, nargs, kw, model, expr, maximize)) return nullptr;
    PyRef one = PyRef::steal(PyTuple_Pack(1, expr.value));
    if (!one) return nullptr;
    PyRef as_expr = PyRef::steal(total(one.get()));
    if (!as_expr) return nullptr;
    const LinData& d = reinterpret_cast<LinExprObject*>(as_expr.get())->data;
    check_same_store(d, model.value, "objective");
    set_objective_terms(model.value, std::span<const Term>(d.terms(), d.len), d.constant,
                        maximize.value ? ObjSense::Maximize : ObjSense::Minimize);
    return none();
}

// ---------------------------------------------------------------------------------------------
// Arrays.

struct ArrayObject {
    PyObject_HEAD
    std::variant<std::vector<double>, std::vector<std::int64_t>, std::vector<std::int32_t>, std::vector<std::uint8_t>,
                 std::vector<std::uint64_t>>
        items;
    Py_ssize_t shape;
    Py_ssize_t stride;
};

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* a = reinterpret_cast<ArrayObject*>(self);
    void* data = nullptr;
    const char* format = "B";
    Py_ssize_t itemsize = 1;
    std::visit(
        [&](auto& v) {
            using T = typename std::decay_t<decltype(v)>::value_type;
            data = v.data();
            itemsize = sizeof(T);
            format = std::is_same_v<T, double>          ? "d"
                     : std::is_same_v<T, std::int64_t>  ? "q"
                     : std::is_same_v<T, std::uint64_t> ? "Q"
                     : std::is_same_v<T, std::int32_t>  ? "i"
                                                        : "B";
            a->shape = static_cast<Py_ssize_t>(v.size());
        },
        a->items);
    a->stride = itemsize;
    view->obj = Py_NewRef(self);
    view->buf = data;
    view->len = a->shape * itemsize;
    view->readonly = 0;
    view->itemsize = itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &a->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &a->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot array_slots[] = {
    {Py_tp_doc, const_cast<char*>("An array of numbers owned by zemlo, read through the buffer protocol "
                                  "(numpy.asarray, memoryview) without a copy.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<ArrayObject>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&array_getbuffer)},
    {0, nullptr},
};

PyType_Spec array_spec{
    .name = "zemlo.Array",
    .basicsize = sizeof(ArrayObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = array_slots,
};
PyTypeObject* array_cell = nullptr;

template <class T>
PyObject* new_array(std::vector<T>&& items) {
    PyTypeObject* t = array_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    auto* a = reinterpret_cast<ArrayObject*>(self);
    new (&a->items) decltype(a->items)(std::move(items));
    a->shape = 0;
    a->stride = sizeof(T);
    return self;
}

std::vector<std::int32_t> narrowed(const std::vector<std::int64_t>& v) {
    std::vector<std::int32_t> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<std::int32_t>(v[i]);
    return out;
}

int set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef v = PyRef::steal(value);
    if (!v) return -1;
    return PyDict_SetItemString(dict, key, v.get());
}

constexpr char var_ids_doc[] =
    "var_ids(model, variables)\n--\n\n"
    "The ids of a sequence of Var of the model, as an Array of unsigned 64-bit integers.";
PyObject* var_ids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(var_ids_doc);
    Arg<LowModel> model;
    Arg<Object> variables;
    if (!parse(sig, args, nargs, kw, model, variables)) return nullptr;
    PyRef seq = PyRef::steal(PySequence_Fast(variables.value, "variables must be a sequence of Var"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    PyTypeObject* vt = var_type();
    if (vt == nullptr) return nullptr;
    std::vector<std::uint64_t> ids(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_TYPE(items[i]) != vt) {
            PyErr_Format(PyExc_TypeError, "variables[%zd] is %.100s, not a Var", i, Py_TYPE(items[i])->tp_name);
            return nullptr;
        }
        const VarObject* v = reinterpret_cast<VarObject*>(items[i]);
        if (v->store != model.value.get()) {
            PyErr_Format(PyExc_ValueError, "variables[%zd] belongs to another DoRaduvar", i);
            return nullptr;
        }
        ids[static_cast<std::size_t>(i)] = v->id;
    }
    return new_array(std::move(ids));
}

constexpr char export_model_doc[] =
    "export_model(model, column_wise=False, int32=False)\n--\n\n"
    "The model as arrays: a dict with columns, rows, maximize, offset (the objective constant) and\n"
    "the Arrays cost, col_lower, col_upper, integer (1 for integer columns), row_lower, row_upper,\n"
    "and the matrix in compressed rows (or columns) as starts, index and value. Every variable is a\n"
    "column in id order, every constraint a row in stored order; indices are int64, or int32 with\n"
    "int32=True (for solvers that take those; OverflowError when they do not fit).";
PyObject* export_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(export_model_doc);
    Arg<LowModel> model;
    ArgOr<Flag, false> column_wise;
    ArgOr<Flag, false> int32;
    if (!parse(sig, args, nargs, kw, model, column_wise, int32)) return nullptr;
    MatrixExport e = export_matrix(*model.value, column_wise.value);
    if (int32.value && (e.index.size() > 0x7FFFFFFF || e.columns > 0x7FFFFFFF || e.rows > 0x7FFFFFFF)) {
        PyErr_SetString(PyExc_OverflowError, "the model is too large for 32-bit indices");
        return nullptr;
    }
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    const auto indices = [&](std::vector<std::int64_t>& v) -> PyObject* {
        if (!int32.value) return new_array(std::move(v));
        std::vector<std::int32_t> small = narrowed(v);
        std::vector<std::int64_t>().swap(v);
        return new_array(std::move(small));
    };
    if (set_item(d, "columns", to_py(std::uint64_t{e.columns})) < 0 ||
        set_item(d, "rows", to_py(std::uint64_t{e.rows})) < 0 ||
        set_item(d, "column_wise", to_py(e.column_wise)) < 0 || set_item(d, "maximize", to_py(e.maximize)) < 0 ||
        set_item(d, "offset", to_py(e.offset)) < 0 || set_item(d, "cost", new_array(std::move(e.cost))) < 0 ||
        set_item(d, "col_lower", new_array(std::move(e.col_lower))) < 0 ||
        set_item(d, "col_upper", new_array(std::move(e.col_upper))) < 0 ||
        set_item(d, "integer", new_array(std::move(e.integer))) < 0 ||
        set_item(d, "row_lower", new_array(std::move(e.row_lower))) < 0 ||
        set_item(d, "row_upper", new_array(std::move(e.row_upper))) < 0 ||
        set_item(d, "starts", indices(e.starts)) < 0 || set_item(d, "index", indices(e.index)) < 0 ||
        set_item(d, "value", new_array(std::move(e.value))) < 0)
        return nullptr;
    return out.release();
}

// ---------------------------------------------------------------------------------------------
// Solutions.

// None, or a C-contiguous float64 buffer.
struct OptionalF64 {
    BufferView view;
    bool given = false;
};
bool optional_f64(PyObject* o, OptionalF64& out, const char* name) {
    if (o == nullptr || o == Py_None) return true;
    if (!out.view.acquire(o, BufferItem::F64)) return false;
    if (!out.view.c_contiguous()) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous float64", name);
        return false;
    }
    out.given = true;
    return true;
}

constexpr char store_solution_doc[] =
    "store_solution(model, col_value, col_dual=None, row_activity=None, row_dual=None)\n--\n\n"
    "Store a solution by position (columns in id order, rows in stored order) from float64 buffers:\n"
    "values and reduced costs of the variables, activities (stored as slacks: right-hand side minus\n"
    "activity) and duals of the rows. None leaves that part as it was.";
PyObject* store_solution(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(store_solution_doc);
    Arg<LowModel> model;
    Arg<Object> col_value;
    OptArg<Object> col_dual, row_activity, row_dual_arg;
    if (!parse(sig, args, nargs, kw, model, col_value, col_dual, row_activity, row_dual_arg)) return nullptr;
    const auto object = [](const std::optional<PyObject*>& o) { return o ? *o : nullptr; };
    OptionalF64 value, dual, activity, row_dual;
    if (!optional_f64(col_value.value, value, "col_value") || !optional_f64(object(col_dual.value), dual, "col_dual") ||
        !optional_f64(object(row_activity.value), activity, "row_activity") ||
        !optional_f64(object(row_dual_arg.value), row_dual, "row_dual"))
        return nullptr;
    SolutionArrays s;
    const auto columns = [&](const OptionalF64& b) { return b.given ? b.view.items<double>().data() : nullptr; };
    s.col_value = columns(value);
    s.col_dual = columns(dual);
    s.row_activity = columns(activity);
    s.row_dual = columns(row_dual);
    const std::size_t nv = value.given ? value.view.count() : dual.view.count();
    if (value.given && dual.given && value.view.count() != dual.view.count()) {
        raise_value("col_value and col_dual differ in length");
    }
    if (activity.given && row_dual.given && activity.view.count() != row_dual.view.count()) {
        raise_value("row_activity and row_dual differ in length");
    }
    s.columns = nv;
    s.rows = activity.given ? activity.view.count() : row_dual.view.count();
    ondrel::store_solution(*model.value, s);
    return none();
}

constexpr char check_solution_doc[] =
    "check_solution(model)\n--\n\n"
    "The stored solution against the model: (objective or None, max bound violation, max\n"
    "integrality violation, max row violation, worst variable id or None, worst constraint id or\n"
    "None, variables without a value, rows that cannot be evaluated).";
PyObject* check_solution_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(check_solution_doc);
    Arg<LowModel> model;
    if (!parse(sig, args, nargs, kw, model)) return nullptr;
    const SolutionCheckResult r = check_solution(*model.value);
    const auto id = [](const std::optional<std::uint64_t>& v) { return v ? to_py(std::uint64_t{*v}) : none(); };
    return tuple_of(to_py(r.objective), to_py(r.max_bound), to_py(r.max_integer), to_py(r.max_row),
                    id(r.worst_variable), id(r.worst_constraint), to_py(std::uint64_t{r.missing_values}),
                    to_py(std::uint64_t{r.unevaluated_constraints}));
}

constexpr char total_doc[] =
    "total(iterable)\n--\n\n"
    "The sum of numbers, variables and expressions as one expression, in one pass: the fast sum\n"
    "for large generators.";
PyObject* total_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(total_doc);
    Arg<Object> iterable;
    if (!parse(sig, args, nargs, kw, iterable)) return nullptr;
    return total(iterable.value);
}

// ---------------------------------------------------------------------------------------------
// Row.

RowObject* as_row(PyObject* o) noexcept { return reinterpret_cast<RowObject*>(o); }

std::shared_ptr<SharedModel> row_model(PyObject* self) { return resolve(as_row(self)->model, kLostRow); }

PyObject* row_name(PyObject* self) {
    return to_py(std::string_view(constraint_name(*row_model(self), as_row(self)->id)));
}
PyObject* row_dual(PyObject* self) { return to_py(constraint_fields(*row_model(self), as_row(self)->id).pi); }
PyObject* row_slack(PyObject* self) { return to_py(constraint_fields(*row_model(self), as_row(self)->id).slack); }
PyObject* row_rhs(PyObject* self) { return to_py(constraint_fields(*row_model(self), as_row(self)->id).rhs); }
PyObject* row_sense(PyObject* self) {
    static constexpr const char* kText[] = {"<=", "==", ">="};
    return PyUnicode_FromString(kText[static_cast<int>(constraint_fields(*row_model(self), as_row(self)->id).sense)]);
}
PyObject* row_value(PyObject* self) {
    const std::shared_ptr<SharedModel> m = row_model(self);
    const ConstraintId id = as_row(self)->id;
    const std::optional<double> v = constraint_value(*m, id);
    if (!v) return none();
    return to_py(*v + constraint_fields(*m, id).rhs);
}
PyObject* row_index(PyObject* self) { return to_py(std::uint64_t{as_row(self)->id}); }
PyObject* row_repr(PyObject* self) {
    const std::shared_ptr<SharedModel> m = as_row(self)->model.lock();
    if (!m) return PyUnicode_FromString("<Row of a deleted DoRaduvar>");
    return PyUnicode_FromFormat("<Row %s: %s>", constraint_name(*m, as_row(self)->id).c_str(),
                                constraint_str(*m, as_row(self)->id).c_str());
}

PyGetSetDef row_getset[] = {
    ONDREL_GETTER("name", row_name),   ONDREL_GETTER("dual", row_dual), ONDREL_GETTER("slack", row_slack),
    ONDREL_GETTER("value", row_value), ONDREL_GETTER("rhs", row_rhs),   ONDREL_GETTER("sense", row_sense),
    ONDREL_GETTER("index", row_index), ONDREL_GETTERS_END,
};

PyType_Slot row_slots[] = {
    {Py_tp_doc, const_cast<char*>("A constraint stored in a DoRaduvar: its name, and after a solve its dual, slack "
                                  "(right-hand side minus activity) and value (the activity).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<RowObject>)},
    {Py_tp_getset, row_getset},
    ONDREL_SLOT(Py_tp_repr, row_repr),
    {0, nullptr},
};

PyType_Spec row_spec{
    .name = "zemlo.Row",
    .basicsize = sizeof(RowObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = row_slots,
};
PyTypeObject* row_cell = nullptr;

}  // namespace

PyTypeObject* row_type() { return cached_type(row_cell, row_spec); }
PyTypeObject* array_type() { return cached_type(array_cell, array_spec); }

PyObject* new_row(const std::shared_ptr<SharedModel>& model, ConstraintId id) {
    PyTypeObject* t = row_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    new (&as_row(self)->model) std::weak_ptr<SharedModel>(model);
    as_row(self)->id = id;
    return self;
}

bool init_model_type() {
    if (low_model_type != nullptr) return true;
    PyRef module = PyRef::steal(PyImport_ImportModule("zemlo._ondrel"));
    if (!module) return false;
    PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "Model"));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "zemlo._ondrel.Model is not a type");
        return false;
    }
    low_model_type = reinterpret_cast<PyTypeObject*>(type.release());
    return true;
}

PyObject* new_low_model(std::shared_ptr<SharedModel> model) {
    if (low_model_type == nullptr && !init_model_type()) return nullptr;
    PyObject* self = allocate_instance(low_model_type);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ModelObject*>(self)->model) std::shared_ptr<SharedModel>(std::move(model));
    return self;
}

bool LowModel::convert(PyObject* o, value_type& out) {
    if (low_model_type == nullptr && !init_model_type()) return false;
    if (Py_TYPE(o) != low_model_type) {
        PyErr_Format(PyExc_TypeError, "expected a zemlo Model, got %.100s", Py_TYPE(o)->tp_name);
        return false;
    }
    out = reinterpret_cast<ModelObject*>(o)->model;
    return true;
}

PyMethodDef native_functions[] = {
    ONDREL_FASTCALL("new_variable", new_variable, new_variable_doc),
    ONDREL_FASTCALL("new_variable_dict", new_variable_dict, new_variable_dict_doc),
    ONDREL_FASTCALL("variables_of", variables_of, variables_of_doc),
    ONDREL_FASTCALL("rows_of", rows_of, rows_of_doc),
    ONDREL_FASTCALL("add_row", add_row, add_row_doc),
    ONDREL_FASTCALL("set_objective", set_objective, set_objective_doc),
    ONDREL_FASTCALL("export_model", export_model, export_model_doc),
    ONDREL_FASTCALL("var_ids", var_ids, var_ids_doc),
    ONDREL_FASTCALL("store_solution", store_solution, store_solution_doc),
    ONDREL_FASTCALL("check_solution", check_solution_py, check_solution_doc),
    ONDREL_FASTCALL("total", total_py, total_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
