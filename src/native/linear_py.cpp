// Var, Expr and LinearConstraint: the modelling layer's variables and linear expressions, with
// the number protocol, and total(), the fast sum.
#include "native/native_py.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "expr/evaluation.hpp"
#include "model/variable_rules.hpp"
#include "variable/variable.hpp"

namespace ondrel::py::native {

namespace {

constexpr std::string_view kLostVar =
    "The DoRaduvar this variable belongs to no longer exists. Do not reassign or delete the DoRaduvar and then "
    "use its variables or constraints.";

VarObject* as_var(PyObject* o) noexcept { return reinterpret_cast<VarObject*>(o); }
LinExprObject* as_expr(PyObject* o) noexcept { return reinterpret_cast<LinExprObject*>(o); }
LinConstraintObject* as_con(PyObject* o) noexcept { return reinterpret_cast<LinConstraintObject*>(o); }

bool is_var(PyObject* o) noexcept { return Py_TYPE(o) == var_type(); }
bool is_expr(PyObject* o) noexcept { return Py_TYPE(o) == lin_expr_type(); }

std::shared_ptr<SharedModel> var_model(const VarObject* v) { return resolve(v->model, kLostVar); }

std::string var_name(const VarObject* v) {
    const std::shared_ptr<SharedModel> m = v->model.lock();
    if (!m) return "<variable " + std::to_string(v->id) + " of a deleted DoRaduvar>";
    return variable_name(*m, v->id);
}

// A number operand: float, int, or anything else with __float__ or __index__ (NumPy scalars),
// but not the layer's own objects. Returns 1 with the value, 0 when `o` is no number, -1 with
// an exception set when converting failed.
int as_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    if (PyLong_Check(o)) {
        out = PyLong_AsDouble(o);
        return out == -1.0 && PyErr_Occurred() ? -1 : 1;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || (nb->nb_float == nullptr && nb->nb_index == nullptr) || is_var(o) || is_expr(o) ||
        Py_TYPE(o) == lin_constraint_type()) {
        return 0;
    }
    out = PyFloat_AsDouble(o);
    return out == -1.0 && PyErr_Occurred() ? -1 : 1;
}

void require_finite(double x, std::string_view what) {
    if (!std::isfinite(x)) raise_value(Msg() << what << " must be finite, got " << x);
}

// The store the two operands share: their variables must come from one DoRaduvar.
void join_store(LinData& into, const LinData& other) {
    if (other.store == nullptr) return;
    if (into.store == nullptr) {
        into.store = other.store;
        into.anchor = Py_NewRef(other.anchor);
    } else if (into.store != other.store) {
        raise_value("cannot combine variables of different DoRaduvar problems in one expression");
    }
}

LinData of_var(PyObject* var, double coeff) {
    const VarObject* v = as_var(var);
    LinData d;
    d.single = Term{v->id, coeff};
    d.len = 1;
    d.store = v->store;
    d.anchor = Py_NewRef(var);
    return d;
}

LinData of_constant(double c) {
    LinData d;
    d.constant = c;
    return d;
}

// The terms of `a` followed by those of `b` times `factor`. When `a` views its whole block and
// the block has room, the block is extended; otherwise a new block takes both.
LinData extend(const LinData& a, const LinData& b, double factor) {
    LinData out;
    out.constant = a.constant;
    out.store = a.store;
    out.anchor = Py_XNewRef(a.anchor);
    join_store(out, b);
    const std::size_t n = a.len + b.len;
    if (b.len == 0) {
        out.block = a.block;
        if (out.block != nullptr) ++out.block->refs;
        out.len = a.len;
        out.single = a.single;
        return out;
    }
    TermBlock* block = nullptr;
    if (a.block != nullptr && a.len == a.block->size && n <= a.block->capacity) {
        block = a.block;  // the tip of its block: append in place
        ++block->refs;
    } else {
        block = TermBlock::make(n < 4 ? 8 : 2 * n);
        const Term* src = a.terms();
        for (std::size_t k = 0; k < a.len; ++k) block->terms[k] = src[k];
        block->size = a.len;
    }
    const Term* more = b.terms();
    Term* dst = block->terms + a.len;
    if (factor == 1.0) {
        for (std::size_t k = 0; k < b.len; ++k) dst[k] = more[k];
    } else {
        for (std::size_t k = 0; k < b.len; ++k) dst[k] = Term{more[k].id, more[k].coeff * factor};
    }
    block->size = n;
    out.block = block;
    out.len = n;
    return out;
}

LinData add(const LinData& a, const LinData& b, double sign) {
    LinData out = extend(a, b, sign);
    out.constant = a.constant + sign * b.constant;
    require_finite(out.constant, "the constant of an expression");
    return out;
}

LinData scaled(const LinData& a, double factor) {
    LinData out;
    out.store = a.store;
    out.anchor = Py_XNewRef(a.anchor);
    out.constant = a.constant * factor;
    require_finite(out.constant, "the constant of an expression");
    out.len = a.len;
    const Term* src = a.terms();
    Term* dst = &out.single;
    if (a.len > 1) {
        out.block = TermBlock::make(a.len);
        out.block->size = a.len;
        dst = out.block->terms;
    }
    for (std::size_t k = 0; k < a.len; ++k) {
        const double c = src[k].coeff * factor;
        if (!std::isfinite(c)) raise_value(Msg() << "the coefficient " << src[k].coeff << " times " << factor
                                                 << " is not finite");
        dst[k] = Term{src[k].id, c};
    }
    return out;
}

// An operand as expression data: 1 when it is one, 0 when it is not (NotImplemented), -1 with an
// exception set.
int operand(PyObject* o, LinData& out) {
    if (is_var(o)) {
        out = of_var(o, 1.0);
        return 1;
    }
    if (is_expr(o)) {
        out = as_expr(o)->data;
        return 1;
    }
    double x = 0.0;
    const int r = as_number(o, x);
    if (r == 1) {
        require_finite(x, "a number in an expression");
        out = of_constant(x);
    }
    return r;
}

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

PyObject* add_or_subtract(PyObject* a, PyObject* b, double sign) {
    LinData x, y;
    const int ra = operand(a, x);
    if (ra <= 0) return ra < 0 ? nullptr : not_implemented();
    const int rb = operand(b, y);
    if (rb <= 0) return rb < 0 ? nullptr : not_implemented();
    return new_lin_expr(add(x, y, sign));
}

PyObject* nb_add(PyObject* a, PyObject* b) { return add_or_subtract(a, b, 1.0); }
PyObject* nb_subtract(PyObject* a, PyObject* b) { return add_or_subtract(a, b, -1.0); }

// Text naming an operand of a product of two expressions with variables.
std::string describe(PyObject* o) {
    if (is_var(o)) return "variable " + var_name(as_var(o));
    return "an expression with variables";
}

PyObject* nb_multiply(PyObject* a, PyObject* b) {
    LinData x, y;
    const int ra = operand(a, x);
    if (ra <= 0) return ra < 0 ? nullptr : not_implemented();
    const int rb = operand(b, y);
    if (rb <= 0) return rb < 0 ? nullptr : not_implemented();
    if (x.len != 0 && y.len != 0) {
        PyErr_Format(PyExc_TypeError, "cannot multiply %s by %s: a product of variables is not linear",
                     describe(a).c_str(), describe(b).c_str());
        return nullptr;
    }
    if (x.len == 0) return new_lin_expr(scaled(y, x.constant));
    return new_lin_expr(scaled(x, y.constant));
}

PyObject* nb_true_divide(PyObject* a, PyObject* b) {
    LinData x;
    const int ra = operand(a, x);
    if (ra <= 0) return ra < 0 ? nullptr : not_implemented();
    double d = 0.0;
    const int rb = as_number(b, d);
    if (rb < 0) return nullptr;
    if (rb == 0) {
        if (is_var(b) || is_expr(b)) {
            PyErr_Format(PyExc_TypeError, "cannot divide by %s: only division by a number is linear",
                         is_var(b) ? describe(b).c_str() : "an expression");
            return nullptr;
        }
        return not_implemented();
    }
    if (d == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "division of an expression by zero");
        return nullptr;
    }
    require_finite(d, "a divisor");
    // Each coefficient divided, as plain arithmetic would give it.
    LinData out = scaled(x, 1.0);
    Term* t = out.block != nullptr ? out.block->terms : &out.single;
    for (std::size_t k = 0; k < out.len; ++k) {
        t[k].coeff = t[k].coeff / d;
        if (!std::isfinite(t[k].coeff)) raise_value(Msg() << "a coefficient divided by " << d << " is not finite");
    }
    out.constant = x.constant / d;
    require_finite(out.constant, "the constant of an expression");
    return new_lin_expr(std::move(out));
}

PyObject* nb_negative(PyObject* a) {
    LinData x;
    if (operand(a, x) <= 0) return nullptr;
    return new_lin_expr(scaled(x, -1.0));
}

PyObject* nb_positive(PyObject* a) {
    LinData x;
    if (operand(a, x) <= 0) return nullptr;
    return new_lin_expr(std::move(x));
}

PyObject* make_constraint(LinData&& data, Sense sense, signed char same) {
    PyTypeObject* t = lin_constraint_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    LinConstraintObject* c = as_con(self);
    new (&c->data) LinData(std::move(data));
    c->sense = sense;
    c->same = same;
    return self;
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if (op == Py_NE) {
        if (is_var(a) && is_var(b)) {
            return to_py(!(as_var(a)->store == as_var(b)->store && as_var(a)->id == as_var(b)->id));
        }
        return not_implemented();
    }
    if (op == Py_LT || op == Py_GT) {
        LinData probe;
        const int r = operand(b, probe);
        if (r < 0) return nullptr;
        if (r == 0) return not_implemented();
        PyErr_SetString(PyExc_TypeError,
                        "< and > do not make constraints: use <= or >= (or ==)");
        return nullptr;
    }
    LinData x, y;
    if (operand(a, x) <= 0) return nullptr;
    const int rb = operand(b, y);
    if (rb <= 0) {
        if (rb == 0 && op == Py_EQ) return not_implemented();
        return rb < 0 ? nullptr : not_implemented();
    }
    signed char same = -1;
    if (op == Py_EQ && is_var(a) && is_var(b)) {
        same = as_var(a)->store == as_var(b)->store && as_var(a)->id == as_var(b)->id;
    }
    const Sense sense = op == Py_LE ? Sense::LessEqual : op == Py_GE ? Sense::GreaterEqual : Sense::Equal;
    return make_constraint(add(x, y, -1.0), sense, same);
}

// ---------------------------------------------------------------------------------------------
// Var.

PyObject* var_repr(PyObject* self) { return to_py(std::string_view(var_name(as_var(self)))); }

Py_hash_t var_hash(PyObject* self) {
    const VarObject* v = as_var(self);
    std::uint64_t h = v->id * 0x9E3779B97F4A7C15ULL ^ reinterpret_cast<std::uintptr_t>(v->store);
    h ^= h >> 29;
    const auto out = static_cast<Py_hash_t>(h & 0x7FFFFFFFFFFFFFFFULL);
    return out == -1 ? -2 : out;
}

PyObject* var_name_get(PyObject* self) { return var_repr(self); }

VariableRecord record_of(PyObject* self) {
    const VarObject* v = as_var(self);
    return variable_record(*var_model(v), v->id);
}

PyObject* var_lb(PyObject* self) { return to_py(record_of(self).lb); }
PyObject* var_ub(PyObject* self) { return to_py(record_of(self).ub); }
PyObject* var_integer(PyObject* self) { return to_py(record_of(self).category != Category::Continuous); }
PyObject* var_value(PyObject* self) { return to_py(record_of(self).value()); }
PyObject* var_reduced_cost(PyObject* self) { return to_py(record_of(self).dj()); }
PyObject* var_index(PyObject* self) { return to_py(std::uint64_t{as_var(self)->id}); }

int set_bound(PyObject* self, PyObject* value, VariableNumber which, const char* what) {
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "cannot delete the %s of a variable", what);
        return -1;
    }
    double x = 0.0;
    const int r = as_number(value, x);
    if (r <= 0) {
        if (r == 0) PyErr_Format(PyExc_TypeError, "the %s of a variable must be a number, not %.100s", what,
                                 Py_TYPE(value)->tp_name);
        return -1;
    }
    if (std::isnan(x)) {
        PyErr_Format(PyExc_ValueError, "the %s of a variable must not be NaN", what);
        return -1;
    }
    const VarObject* v = as_var(self);
    set_variable_number(*var_model(v), v->id, which, x);
    return 0;
}
int var_set_lb(PyObject* self, PyObject* value, void*) noexcept {
    try {
        return set_bound(self, value, VariableNumber::Lb, "lower bound");
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}
int var_set_ub(PyObject* self, PyObject* value, void*) noexcept {
    try {
        return set_bound(self, value, VariableNumber::Ub, "upper bound");
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

PyGetSetDef var_getset[] = {
    ONDREL_GETTER("name", var_name_get),
    PyGetSetDef{"lb", &getter<var_lb>, &var_set_lb, "lower bound (-inf: none)", nullptr},
    PyGetSetDef{"ub", &getter<var_ub>, &var_set_ub, "upper bound (inf: none)", nullptr},
    ONDREL_GETTER("integer", var_integer),
    ONDREL_GETTER("value", var_value),
    ONDREL_GETTER("reduced_cost", var_reduced_cost),
    ONDREL_GETTER("index", var_index),
    ONDREL_GETTERS_END,
};

// Arithmetic slots shared by Var and Expr.
#define ONDREL_NUMBER_SLOTS                                                        \
    ONDREL_SLOT(Py_nb_add, nb_add), ONDREL_SLOT(Py_nb_subtract, nb_subtract),      \
        ONDREL_SLOT(Py_nb_multiply, nb_multiply),                                  \
        ONDREL_SLOT(Py_nb_true_divide, nb_true_divide),                            \
        ONDREL_SLOT(Py_nb_negative, nb_negative), ONDREL_SLOT(Py_nb_positive, nb_positive), \
        ONDREL_SLOT(Py_tp_richcompare, richcompare)

void var_dealloc(PyObject* self) noexcept;

PyType_Slot var_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A variable of a DoRaduvar, made by DoRaduvar.variable or DoRaduvar.variables. Numbers, variables "
                    "and expressions combine with + - * / into expressions; <=, >= and == make constraints.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&var_dealloc)},
    {Py_tp_getset, var_getset},
    ONDREL_SLOT(Py_tp_repr, var_repr),
    ONDREL_SLOT(Py_tp_hash, var_hash),
    ONDREL_NUMBER_SLOTS,
    {0, nullptr},
};

PyType_Spec var_spec{
    .name = "zemlo.Var",
    .basicsize = sizeof(VarObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = var_slots,
};
PyTypeObject* var_cell = nullptr;

// ---------------------------------------------------------------------------------------------
// Expr.

// The expression's terms summed by variable, in order of first appearance.
std::vector<Term> merged(const LinData& d) {
    TermMap map;
    const Term* t = d.terms();
    for (std::size_t k = 0; k < d.len; ++k) map.add(t[k].id, t[k].coeff);
    return std::vector<Term>(map.begin(), map.end());
}

// "2 x + 3 y - 4": numbers as Python's repr writes them, coefficients 1 and -1 left out.
std::string text_of(const LinData& d) {
    const std::vector<Term> terms = merged(d);
    std::shared_ptr<SharedModel> m = d.model();
    std::string out;
    const auto number = [](double x) {
        PyRef r = PyRef::steal(PyFloat_Type.tp_repr(PyRef::steal(PyFloat_FromDouble(x)).get()));
        const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
        if (s == nullptr) {
            PyErr_Clear();
            return std::string("?");
        }
        std::string text(s);
        if (text.size() > 2 && text.ends_with(".0")) text.resize(text.size() - 2);
        return text;
    };
    for (const Term& t : terms) {
        const double c = t.coeff;
        if (out.empty()) {
            if (c < 0) out += "-";
        } else {
            out += c < 0 ? " - " : " + ";
        }
        const double a = std::fabs(c);
        if (a != 1.0) out += number(a) + " ";
        out += m ? variable_name(*m, t.id) : "<deleted>";
    }
    if (d.constant != 0.0 || out.empty()) {
        if (out.empty()) {
            out = number(d.constant);
        } else {
            out += d.constant < 0 ? " - " : " + ";
            out += number(std::fabs(d.constant));
        }
    }
    return out;
}

PyObject* expr_repr(PyObject* self) { return to_py(std::string_view(text_of(as_expr(self)->data))); }

PyObject* expr_constant(PyObject* self) { return to_py(as_expr(self)->data.constant); }

// {Var: coefficient}, repeated variables summed, in order of first appearance.
PyObject* to_dict(const LinData& d) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    if (d.len == 0) return out.release();
    const std::shared_ptr<SharedModel> m = d.model();
    if (!m) raise_value(std::string(kLostVar));
    for (const Term& t : merged(d)) {
        PyRef key = PyRef::steal(new_var(m, t.id));
        PyRef value = PyRef::steal(PyFloat_FromDouble(t.coeff));
        if (!key || !value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* expr_to_dict(PyObject* self) { return to_dict(as_expr(self)->data); }

// The value at the stored solution: None when a variable in it has no value.
PyObject* value_of(const LinData& d) {
    if (d.len == 0) return to_py(d.constant);
    const std::shared_ptr<SharedModel> m = d.model();
    if (!m) raise_value(std::string(kLostVar));
    return to_py(terms_value(*m, std::span<const Term>(d.terms(), d.len), d.constant));
}

PyObject* expr_value(PyObject* self) { return value_of(as_expr(self)->data); }

PyObject* expr_len(PyObject* self) { return to_py(std::uint64_t{merged(as_expr(self)->data).size()}); }

PyMethodDef expr_methods[] = {
    ONDREL_NOARGS("to_dict", expr_to_dict,
                  "to_dict($self)\n--\n\nThe coefficient of each variable, repeated variables summed, in order of "
                  "first appearance."),
    ONDREL_NOARGS("num_terms", expr_len, "num_terms($self)\n--\n\nHow many variables the expression has."),
    ONDREL_METHODS_END,
};

PyGetSetDef expr_getset[] = {
    ONDREL_GETTER("constant", expr_constant),
    ONDREL_GETTER("value", expr_value),
    ONDREL_GETTERS_END,
};

void expr_dealloc(PyObject* self) noexcept;

PyType_Slot expr_slots[] = {
    {Py_tp_doc, const_cast<char*>("A linear expression: variables times numbers plus a constant.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&expr_dealloc)},
    {Py_tp_methods, expr_methods},
    {Py_tp_getset, expr_getset},
    ONDREL_SLOT(Py_tp_repr, expr_repr),
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    ONDREL_NUMBER_SLOTS,
    {0, nullptr},
};

PyType_Spec expr_spec{
    .name = "zemlo.Expr",
    .basicsize = sizeof(LinExprObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = expr_slots,
};
PyTypeObject* expr_cell = nullptr;

// ---------------------------------------------------------------------------------------------
// LinearConstraint.

constexpr const char* kSenseText[] = {"<=", "==", ">="};

int con_bool(PyObject* self) {
    const LinConstraintObject* c = as_con(self);
    if (c->same >= 0) return c->same;
    PyErr_SetString(PyExc_TypeError,
                    "a constraint has no truth value: add it to a problem with DoRaduvar.add (a chained "
                    "comparison such as 1 <= x <= 3 makes two constraints: add each)");
    return -1;
}

PyObject* con_repr(PyObject* self) {
    const LinConstraintObject* c = as_con(self);
    LinData lhs = c->data;
    lhs.constant = 0.0;
    std::string text = text_of(lhs);
    PyRef rhs = PyRef::steal(PyFloat_Type.tp_repr(PyRef::steal(PyFloat_FromDouble(0.0 - c->data.constant)).get()));
    if (!rhs) return nullptr;
    std::string r = PyUnicode_AsUTF8(rhs.get());
    if (r.size() > 2 && r.ends_with(".0")) r.resize(r.size() - 2);
    text += " ";
    text += kSenseText[static_cast<int>(c->sense)];
    text += " " + r;
    return to_py(std::string_view(text));
}

PyObject* con_sense(PyObject* self) { return PyUnicode_FromString(kSenseText[static_cast<int>(as_con(self)->sense)]); }
PyObject* con_rhs(PyObject* self) { return to_py(0.0 - as_con(self)->data.constant); }
PyObject* con_to_dict(PyObject* self) { return to_dict(as_con(self)->data); }
PyObject* con_expr(PyObject* self) {
    LinData d = as_con(self)->data;
    d.constant = 0.0;
    return new_lin_expr(std::move(d));
}

PyMethodDef con_methods[] = {
    ONDREL_NOARGS("to_dict", con_to_dict,
                  "to_dict($self)\n--\n\nThe coefficient of each variable on the left-hand side once everything "
                  "is moved there, repeated variables summed."),
    ONDREL_METHODS_END,
};

PyGetSetDef con_getset[] = {
    ONDREL_GETTER("sense", con_sense),
    ONDREL_GETTER("rhs", con_rhs),
    ONDREL_GETTER("expr", con_expr),
    ONDREL_GETTERS_END,
};

PyType_Slot con_slots[] = {
    {Py_tp_doc, const_cast<char*>("A constraint made by <=, >= or ==, to be added to a DoRaduvar. The variables "
                                  "are moved to the left (expr), the numbers to the right (rhs).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<LinConstraintObject>)},
    {Py_tp_methods, con_methods},
    {Py_tp_getset, con_getset},
    ONDREL_SLOT(Py_tp_repr, con_repr),
    ONDREL_SLOT(Py_nb_bool, con_bool),
    {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec con_spec{
    .name = "zemlo.LinearConstraint",
    .basicsize = sizeof(LinConstraintObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = con_slots,
};
PyTypeObject* con_cell = nullptr;

bool no_numpy_ufuncs(PyTypeObject* t) {
    // NumPy defers to the type's own operators instead of making object arrays of it.
    return PyDict_SetItemString(t->tp_dict, "__array_ufunc__", Py_None) == 0;
}

// Expression objects freed lately, kept for reuse: sums and products make and drop one per
// term, and taking one from here skips the allocator. Their type's reference was dropped when
// they went here; PyObject_Init takes it again.
constexpr std::size_t kFreeExprs = 256;
PyObject* free_exprs[kFreeExprs];
std::size_t free_expr_count = 0;

// Var objects likewise: collections over ranges make one per lookup.
constexpr std::size_t kFreeVars = 256;
PyObject* free_vars[kFreeVars];
std::size_t free_var_count = 0;

void var_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    as_var(self)->~VarObject();
    if (free_var_count < kFreeVars) {
        free_vars[free_var_count++] = self;
    } else {
        tp->tp_free(self);
    }
    Py_DECREF(tp);
}

void expr_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    as_expr(self)->data.~LinData();
    if (free_expr_count < kFreeExprs) {
        free_exprs[free_expr_count++] = self;
    } else {
        tp->tp_free(self);
    }
    Py_DECREF(tp);
}

}  // namespace

std::shared_ptr<SharedModel> LinData::model() const {
    return anchor != nullptr ? as_var(anchor)->model.lock() : nullptr;
}

PyTypeObject* var_type() { return cached_type(var_cell, var_spec, no_numpy_ufuncs); }
PyTypeObject* lin_expr_type() { return cached_type(expr_cell, expr_spec, no_numpy_ufuncs); }
PyTypeObject* lin_constraint_type() { return cached_type(con_cell, con_spec); }

PyObject* new_var(const std::weak_ptr<SharedModel>& model, SharedModel* store, VarId id) {
    PyTypeObject* t = var_type();
    if (t == nullptr) return nullptr;
    PyObject* self = free_var_count != 0 ? PyObject_Init(free_vars[--free_var_count], t) : allocate_instance(t);
    if (self == nullptr) return nullptr;
    VarObject* v = as_var(self);
    new (&v->model) std::weak_ptr<SharedModel>(model);
    v->store = store;
    v->id = id;
    return self;
}

PyObject* new_var(const std::shared_ptr<SharedModel>& model, VarId id) {
    return new_var(std::weak_ptr<SharedModel>(model), model.get(), id);
}

PyObject* new_lin_expr(LinData&& data) {
    PyTypeObject* t = lin_expr_type();
    if (t == nullptr) return nullptr;
    PyObject* self = free_expr_count != 0 ? PyObject_Init(free_exprs[--free_expr_count], t) : allocate_instance(t);
    if (self == nullptr) return nullptr;
    new (&as_expr(self)->data) LinData(std::move(data));
    return self;
}

PyObject* total(PyObject* iterable) {
    PyRef it = PyRef::steal(PyObject_GetIter(iterable));
    if (!it) return nullptr;
    // One block of our own, grown as needed, that nobody else sees until the end.
    LinData acc;
    std::size_t capacity = 0;
    const auto room = [&](std::size_t more) {
        if (acc.len + more <= capacity) return;
        std::size_t want = capacity == 0 ? 64 : capacity * 2;
        while (want < acc.len + more) want *= 2;
        TermBlock* grown = TermBlock::make(want);
        if (acc.block != nullptr) {
            std::memcpy(grown->terms, acc.block->terms, acc.len * sizeof(Term));
        }
        release(acc.block);
        acc.block = grown;
        capacity = want;
    };
    PyTypeObject* vt = var_type();
    PyTypeObject* et = lin_expr_type();
    if (vt == nullptr || et == nullptr) return nullptr;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        PyObject* o = item.get();
        if (Py_TYPE(o) == vt) {
            const VarObject* v = as_var(o);
            if (acc.store != v->store) {
                if (acc.store == nullptr) {
                    acc.store = v->store;
                    acc.anchor = Py_NewRef(o);
                } else {
                    raise_value("cannot combine variables of different DoRaduvar problems in one expression");
                }
            }
            room(1);
            acc.block->terms[acc.len++] = Term{v->id, 1.0};
            continue;
        }
        if (Py_TYPE(o) == et) {
            const LinData& d = as_expr(o)->data;
            join_store(acc, d);
            room(d.len);
            std::memcpy(acc.block->terms + acc.len, d.terms(), d.len * sizeof(Term));
            acc.len += d.len;
            acc.constant += d.constant;
            require_finite(acc.constant, "the constant of an expression");
            continue;
        }
        double x = 0.0;
        const int r = as_number(o, x);
        if (r < 0) return nullptr;
        if (r == 0) {
            PyErr_Format(PyExc_TypeError, "total() adds numbers, variables and expressions, not %.100s",
                         Py_TYPE(o)->tp_name);
            return nullptr;
        }
        require_finite(x, "a number in an expression");
        acc.constant += x;
        require_finite(acc.constant, "the constant of an expression");
    }
    if (PyErr_Occurred()) return nullptr;
    if (acc.block != nullptr) acc.block->size = acc.len;
    return new_lin_expr(std::move(acc));
}

}  // namespace ondrel::py::native
