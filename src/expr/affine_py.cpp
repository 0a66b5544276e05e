// The AffineExpr class: an expression value plus the Python surface over it.
#include <string>
#include <vector>

#include "expr/affine.hpp"
#include "expr/evaluation.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

ExprValue& expr_of(PyObject* self) { return reinterpret_cast<ExprObject*>(self)->expr; }

constexpr char affine_doc[] =
    "AffineExpr()\n--\n\n"
    "Affine expression: sum_i coeff_i * x_i + constant.\n"
    "Optionally carries sense (for pending constraints) and name.\n"
    "Holds a weak model ref acquired automatically from the first variable.";

PyObject* affine_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr auto sig = ONDREL_SIGNATURE(affine_doc);
    if (!parse_tuple(sig, args, kwargs)) return nullptr;
    return new_expr(ExprValue());
}


// ---------------------------------------------------------------------------------------------
// Building.

constexpr char add_term_doc[] = "add_term($self, var, coeff)\n--\n\n";
PyObject* add_term(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_term_doc);
    Arg<VariableArg> var;
    Arg<Float> coeff;
    if (!parse(sig, args, nargs, kw, var, coeff)) return nullptr;
    ondrel::add_term(expr_of(self), var.value->model, var.value->id, coeff.value);
    return none();
}

constexpr char add_expr_doc[] = "add_expr($self, other, sign)\n--\n\n";
PyObject* add_expr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_expr_doc);
    Arg<ExprArg> other;
    Arg<Float> sign;
    if (!parse(sig, args, nargs, kw, other, sign)) return nullptr;
    if (reinterpret_cast<PyObject*>(other.value) == self) {
        raise_runtime(
            "AffineExpr is already in use by this call: an expression cannot be added to itself "
            "(add a clone_expr() copy instead)");
    }
    ondrel::add_expr(expr_of(self), other.value->expr, sign.value);
    return none();
}

constexpr char scale_doc[] = "scale($self, factor)\n--\n\n";
PyObject* scale(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(scale_doc);
    Arg<Float> factor;
    if (!parse(sig, args, nargs, kw, factor)) return nullptr;
    ondrel::scale(expr_of(self), factor.value);
    return none();
}

constexpr char set_constant_doc[] = "set_constant($self, constant)\n--\n\n";
PyObject* set_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_constant_doc);
    Arg<Float> constant;
    if (!parse(sig, args, nargs, kw, constant)) return nullptr;
    expr_of(self).constant = constant.value;
    return none();
}

constexpr char set_sense_doc[] = "set_sense($self, sense)\n--\n\n";
PyObject* set_sense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_sense_doc);
    Arg<EnumOf<Sense>> sense;
    if (!parse(sig, args, nargs, kw, sense)) return nullptr;
    expr_of(self).sense = sense.value;
    return none();
}

constexpr char clear_sense_doc[] = "clear_sense($self)\n--\n\n";
PyObject* clear_sense(PyObject* self) {
    expr_of(self).sense.reset();
    return none();
}

constexpr char set_name_doc[] = "set_name($self, name)\n--\n\n";
PyObject* set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_name_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    expr_of(self).name = std::string(name.value);
    return none();
}

constexpr char clear_name_doc[] = "clear_name($self)\n--\n\n";
PyObject* clear_name(PyObject* self) {
    expr_of(self).name.reset();
    return none();
}

constexpr char combine_sense_doc[] =
    "combine_sense($self, other_sense, sign)\n--\n\n"
    "Combine sense when adding two constraint-like expressions.";
PyObject* combine_sense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(combine_sense_doc);
    OptArg<EnumOf<Sense>> other_sense;
    Arg<Float> sign;
    if (!parse(sig, args, nargs, kw, other_sense, sign)) return nullptr;
    ondrel::combine_sense(expr_of(self), other_sense.value, sign.value);
    return none();
}

constexpr char from_variable_doc[] = "from_variable(var)\n--\n\n";
PyObject* from_variable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(from_variable_doc);
    Arg<VariableArg> var;
    if (!parse(sig, args, nargs, kw, var)) return nullptr;
    ExprValue e;
    ondrel::add_term(e, var.value->model, var.value->id, 1.0);
    return new_expr(std::move(e));
}

constexpr char from_constant_doc[] = "from_constant(value)\n--\n\n";
PyObject* from_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(from_constant_doc);
    Arg<Float> value;
    if (!parse(sig, args, nargs, kw, value)) return nullptr;
    ExprValue e;
    e.constant = value.value;
    return new_expr(std::move(e));
}

constexpr char clone_expr_doc[] = "clone_expr($self)\n--\n\n";
PyObject* clone_expr(PyObject* self) {
    ExprValue copy = expr_of(self);
    return new_expr(std::move(copy));
}

constexpr char num_terms_doc[] = "num_terms($self)\n--\n\n";
PyObject* num_terms(PyObject* self) { return to_py(std::uint64_t{expr_of(self).terms.size()}); }

constexpr char get_coeff_doc[] = "get_coeff($self, var)\n--\n\n";
PyObject* get_coeff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(get_coeff_doc);
    Arg<VariableArg> var;
    if (!parse(sig, args, nargs, kw, var)) return nullptr;
    const double* c = expr_of(self).terms.find(var.value->id);
    return to_py(c != nullptr ? *c : 0.0);
}

constexpr char add_term_ids_coeffs_doc[] =
    "add_term_ids_coeffs($self, model, ids, coeffs)\n--\n\n"
    "Add many `(variable_id, coefficient)` pairs from C-contiguous buffers (`array.array('Q')`, "
    "`array.array('d')`).";
PyObject* add_term_ids_coeffs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_term_ids_coeffs_doc);
    Arg<ModelArg> model;
    Arg<U64Buffer> ids;
    Arg<F64Buffer> coeffs;
    if (!parse(sig, args, nargs, kw, model, ids, coeffs)) return nullptr;
    if (!ids.value.c_contiguous())
        raise_value("ids must be C-contiguous unsigned 64-bit integers (e.g. array.array('Q'))");
    if (!coeffs.value.c_contiguous())
        raise_value("coeffs must be C-contiguous float64 (e.g. array.array('d'))");
    const std::size_t n = ids.value.count();
    const std::size_t m = coeffs.value.count();
    if (n != m) raise_value(Msg() << "ids length (" << n << ") and coeffs length (" << m << ") must match");
    // The views stay valid for the whole loop: no Python code runs while the pairs are added.
    ondrel::add_term_ids_coeffs(
        expr_of(self), model.value->model,
        std::span<const std::uint64_t>(static_cast<const std::uint64_t*>(ids.value.data()), n),
        std::span<const double>(static_cast<const double*>(coeffs.value.data()), m));
    return none();
}

// ---------------------------------------------------------------------------------------------
// Term accessors.

PyObject* keys(PyObject* self) {
    const ExprValue& e = expr_of(self);
    if (!e.model.bound) return PyList_New(0);
    resolve(e.model.ptr, kLostExprModel);
    const TermMap& terms = e.terms;
    return build_list(terms.size(), [&](std::size_t i) { return new_variable(e.model.ptr, terms[i].id); });
}

PyObject* items(PyObject* self) {
    const ExprValue& e = expr_of(self);
    if (!e.model.bound) return PyList_New(0);
    resolve(e.model.ptr, kLostExprModel);
    return handle_coeff_pairs(e.model.ptr, e.terms.terms());
}

constexpr char keys_doc[] = "keys($self)\n--\n\n";

constexpr char items_doc[] =
    "items($self)\n--\n\nResolve VarId -> Variable handle pairs via the internal weak model ref.";

constexpr char terms_with_variables_doc[] =
    "terms_with_variables($self, model)\n--\n\nResolve VarId -> Variable handles via the provided model.";
PyObject* terms_with_variables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(terms_with_variables_doc);
    Arg<ModelArg> model;
    if (!parse(sig, args, nargs, kw, model)) return nullptr;
    return handle_coeff_pairs(model.value->model, expr_of(self).terms.terms());
}

constexpr char values_doc[] = "values($self)\n--\n\n";
PyObject* values(PyObject* self) {
    const TermMap& terms = expr_of(self).terms;
    return build_list(terms.size(), [&](std::size_t i) { return to_py(terms[i].coeff); });
}

// ---------------------------------------------------------------------------------------------
// Read-only attributes.

PyObject* get_constant(PyObject* self) { return to_py(expr_of(self).constant); }
PyObject* get_sense(PyObject* self) {
    const auto& s = expr_of(self).sense;
    return s ? enum_member(*s) : none();
}
PyObject* get_name(PyObject* self) { return to_py(expr_of(self).name); }

// ---------------------------------------------------------------------------------------------
// Evaluation, texts and CPLEX LP fragments.

constexpr char value_doc[] =
    "value($self)\n--\n\n"
    "Compute the expression value: sum(var.value * coeff) + constant.\n"
    "Returns None if any variable has no value set.";
constexpr char value_or_default_doc[] =
    "value_or_default($self)\n--\n\nEvaluate using defaults for missing values.";
constexpr char var_name_coeffs_doc[] =
    "var_name_coeffs($self)\n--\n\nReturns (variable_name, coeff) pairs for Python serialization.";
constexpr char str_expr_doc[] =
    "str_expr($self, include_constant=True)\n--\n\nHuman-readable expression string.";
constexpr char str_with_sense_doc[] =
    "str_with_sense($self)\n--\n\nFull __str__ replacement: includes sense and RHS if present.";
constexpr char repr_expr_doc[] = "repr_expr($self)\n--\n\nPython __repr__ equivalent.";
constexpr char as_cplex_variables_only_doc[] =
    "as_cplex_variables_only($self, name)\n--\n\nCPLEX LP format: variable-terms portion.";
constexpr char as_cplex_lp_affine_expression_doc[] =
    "as_cplex_lp_affine_expression($self, name, include_constant=True)\n--\n\n"
    "CPLEX LP affine expression string.";
constexpr char as_cplex_lp_constraint_doc[] =
    "as_cplex_lp_constraint($self, name)\n--\n\nCPLEX LP constraint string (with sense and RHS).";

PyObject* as_cplex_variables_only(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(as_cplex_variables_only_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    const NamedTermList list = sorted_named_terms(expr_of(self));
    const TermListLines lines = term_list_fragment(list.terms, name.value);
    return tuple_of(str_list(lines.completed), str_list(lines.current));
}

PyObject* as_cplex_lp_affine_expression(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(as_cplex_lp_affine_expression_doc);
    Arg<Text> name;
    ArgOr<Flag, true> include_constant;
    if (!parse(sig, args, nargs, kw, name, include_constant)) return nullptr;
    const ExprValue& e = expr_of(self);
    const NamedTermList list = sorted_named_terms(e);
    return to_py(std::string_view(affine_fragment(list.terms, name.value, include_constant.value, e.constant)));
}

PyObject* as_cplex_lp_constraint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(as_cplex_lp_constraint_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    const ExprValue& e = expr_of(self);
    if (!e.sense) raise_value("Cannot format constraint without sense");
    const NamedTermList list = sorted_named_terms(e);
    const double rhs = e.constant == 0.0 ? 0.0 : -e.constant;
    return to_py(std::string_view(constraint_fragment(list.terms, name.value, *e.sense, rhs, e.terms.empty())));
}

PyObject* value(PyObject* self) { return to_py(expr_value(expr_of(self))); }

PyObject* value_or_default(PyObject* self) { return to_py(expr_value_or_default(expr_of(self))); }

PyObject* var_name_coeffs(PyObject* self) {
    const auto pairs = ondrel::var_name_coeffs(expr_of(self));
    return build_list(pairs.size(), [&](std::size_t i) {
        return tuple_of(to_py(std::string_view(pairs[i].first)), to_py(pairs[i].second));
    });
}

PyObject* str_expr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(str_expr_doc);
    ArgOr<Flag, true> include_constant;
    if (!parse(sig, args, nargs, kw, include_constant)) return nullptr;
    const ExprValue& e = expr_of(self);
    const NamedTermList list = sorted_named_terms(e);
    return to_py(std::string_view(expression_text(list.terms, include_constant.value, e.constant)));
}

PyObject* str_with_sense(PyObject* self) {
    const ExprValue& e = expr_of(self);
    const NamedTermList list = sorted_named_terms(e);
    return to_py(std::string_view(text_with_sense(list.terms, e.constant, e.sense)));
}

PyObject* repr_expr(PyObject* self) {
    const ExprValue& e = expr_of(self);
    const NamedTermList list = sorted_named_terms(e);
    return to_py(std::string_view(repr_style_text(list.terms, e.constant, e.sense)));
}

PyObject* slot_str(PyObject* self) { return to_py(std::string_view(slot_text(expr_of(self)))); }

PyMethodDef affine_methods[] = {
    ONDREL_FASTCALL("add_term", add_term, add_term_doc),
    ONDREL_FASTCALL("add_expr", add_expr, add_expr_doc),
    ONDREL_FASTCALL("scale", scale, scale_doc),
    ONDREL_FASTCALL("set_constant", set_constant, set_constant_doc),
    ONDREL_FASTCALL("set_sense", set_sense, set_sense_doc),
    ONDREL_NOARGS("clear_sense", clear_sense, clear_sense_doc),
    ONDREL_FASTCALL("set_name", set_name, set_name_doc),
    ONDREL_NOARGS("clear_name", clear_name, clear_name_doc),
    ONDREL_FASTCALL("combine_sense", combine_sense, combine_sense_doc),
    ONDREL_STATIC("from_variable", from_variable, from_variable_doc),
    ONDREL_STATIC("from_constant", from_constant, from_constant_doc),
    ONDREL_NOARGS("clone_expr", clone_expr, clone_expr_doc),
    ONDREL_NOARGS("num_terms", num_terms, num_terms_doc),
    ONDREL_FASTCALL("get_coeff", get_coeff, get_coeff_doc),
    ONDREL_FASTCALL("add_term_ids_coeffs", add_term_ids_coeffs, add_term_ids_coeffs_doc),
    ONDREL_FASTCALL("terms_with_variables", terms_with_variables, terms_with_variables_doc),
    ONDREL_NOARGS("items", items, items_doc),
    ONDREL_NOARGS("keys", keys, keys_doc),
    ONDREL_NOARGS("values", values, values_doc),
    ONDREL_NOARGS("value", value, value_doc),
    ONDREL_NOARGS("value_or_default", value_or_default, value_or_default_doc),
    ONDREL_NOARGS("var_name_coeffs", var_name_coeffs, var_name_coeffs_doc),
    ONDREL_FASTCALL("str_expr", str_expr, str_expr_doc),
    ONDREL_NOARGS("str_with_sense", str_with_sense, str_with_sense_doc),
    ONDREL_NOARGS("repr_expr", repr_expr, repr_expr_doc),
    ONDREL_FASTCALL("as_cplex_variables_only", as_cplex_variables_only, as_cplex_variables_only_doc),
    ONDREL_FASTCALL("as_cplex_lp_affine_expression", as_cplex_lp_affine_expression,
                    as_cplex_lp_affine_expression_doc),
    ONDREL_FASTCALL("as_cplex_lp_constraint", as_cplex_lp_constraint, as_cplex_lp_constraint_doc),
    ONDREL_METHODS_END,
};

PyGetSetDef affine_getset[] = {
    ONDREL_GETTER("constant", get_constant),
    ONDREL_GETTER("sense", get_sense),
    ONDREL_GETTER("name", get_name),
    ONDREL_GETTERS_END,
};

PyType_Slot affine_slots[] = {
    {Py_tp_doc, const_cast<char*>(affine_doc)},
    ONDREL_SLOT(Py_tp_new, affine_new),
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<ExprObject>)},
    ONDREL_SLOT(Py_tp_str, slot_str),
    ONDREL_SLOT(Py_tp_repr, slot_str),
    {Py_tp_methods, affine_methods},
    {Py_tp_getset, affine_getset},
    {0, nullptr},
};

PyType_Spec affine_spec{
    .name = "builtins.AffineExpr",
    .basicsize = sizeof(ExprObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = affine_slots,
};
PyTypeObject* affine_cell = nullptr;

}  // namespace

PyTypeObject* affine_expr_type() { return cached_type(affine_cell, affine_spec); }

PyObject* new_expr(ExprValue&& value) {
    PyTypeObject* t = affine_expr_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    new (&expr_of(self)) ExprValue(std::move(value));
    return self;
}

}  // namespace ondrel::py
