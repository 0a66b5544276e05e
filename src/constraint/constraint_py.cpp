// The Constraint handle: a weak model reference and a constraint id. It caches nothing; every
// read and write goes to the record in the store through the operations of constraint.hpp, and
// Python objects are made only after they return.
#include <string>
#include <vector>

#include "constraint/constraint.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

ConstraintObject* as_constraint(PyObject* self) { return reinterpret_cast<ConstraintObject*>(self); }


constexpr char id_doc[] = "id($self)\n--\n\n";
PyObject* id(PyObject* self) { return to_py(std::uint64_t{as_constraint(self)->id}); }

// The handle's live store, or the lost-model error.
std::shared_ptr<SharedModel> store_of(PyObject* self) {
    return resolve(as_constraint(self)->model, kLostHandleModel);
}

ConstraintFields fields_of(PyObject* self) { return constraint_fields(*store_of(self), as_constraint(self)->id); }

PyObject* get_name(PyObject* self) {
    const std::string name = constraint_name(*store_of(self), as_constraint(self)->id);
    return to_py(std::string_view(name));
}
PyObject* get_pi(PyObject* self) { return to_py(fields_of(self).pi); }
PyObject* get_slack(PyObject* self) { return to_py(fields_of(self).slack); }
PyObject* get_sense(PyObject* self) { return enum_member(fields_of(self).sense); }
PyObject* get_rhs(PyObject* self) { return to_py(fields_of(self).rhs); }

PyObject* items(PyObject* self) {
    const std::vector<Term> terms = constraint_terms(*store_of(self), as_constraint(self)->id);
    return handle_coeff_pairs(as_constraint(self)->model, terms);
}

constexpr char set_name_doc[] = "set_name($self, name)\n--\n\n";
constexpr char set_pi_doc[] = "set_pi($self, v)\n--\n\n";
constexpr char set_slack_doc[] = "set_slack($self, v)\n--\n\n";
constexpr char set_rhs_doc[] = "set_rhs($self, rhs)\n--\n\n";
constexpr char set_sense_doc[] = "set_sense($self, sense)\n--\n\n";
constexpr char set_coefficient_doc[] =
    "set_coefficient($self, var, coeff)\n--\n\nSet `var`'s coefficient in this constraint; 0 removes the term.";
constexpr char set_expr_doc[] =
    "set_expr($self, expr)\n--\n\n"
    "Replace this constraint's terms, rhs (`-expr.constant`) and sense with those of `expr`; the "
    "name, pi and slack are kept.";
constexpr char items_doc[] = "items($self)\n--\n\n";
constexpr char value_doc[] = "value($self)\n--\n\n";
constexpr char value_or_default_doc[] = "value_or_default($self)\n--\n\n";
constexpr char valid_doc[] = "valid($self, eps=0.0)\n--\n\n";
constexpr char as_cplex_lp_constraint_doc[] = "as_cplex_lp_constraint($self, name)\n--\n\n";
constexpr char as_cplex_lp_affine_expression_doc[] =
    "as_cplex_lp_affine_expression($self, name, include_constant=True)\n--\n\n";
constexpr char str_repr_doc[] = "str_repr($self)\n--\n\n";
constexpr char repr_str_doc[] = "repr_str($self)\n--\n\n";


PyObject* set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_name_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    set_constraint_name(*store_of(self), as_constraint(self)->id, std::string(name.value));
    return none();
}

template <const char* Doc, ConstraintNumber Which>
PyObject* set_float(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(Doc);
    Arg<Float> v;
    if (!parse(sig, args, nargs, kw, v)) return nullptr;
    set_constraint_number(*store_of(self), as_constraint(self)->id, Which, v.value);
    return none();
}

PyObject* set_rhs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_rhs_doc);
    Arg<Float> rhs;
    if (!parse(sig, args, nargs, kw, rhs)) return nullptr;
    set_constraint_rhs(*store_of(self), as_constraint(self)->id, rhs.value);
    return none();
}

PyObject* set_sense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_sense_doc);
    Arg<EnumOf<Sense>> sense;
    if (!parse(sig, args, nargs, kw, sense)) return nullptr;
    set_constraint_sense(*store_of(self), as_constraint(self)->id, sense.value);
    return none();
}

PyObject* set_coefficient(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_coefficient_doc);
    Arg<VariableArg> var;
    Arg<Float> coeff;
    if (!parse(sig, args, nargs, kw, var, coeff)) return nullptr;
    const std::shared_ptr<SharedModel> mine = store_of(self);
    const std::shared_ptr<SharedModel> theirs = resolve(var.value->model, kLostHandleModel);
    if (mine != theirs) raise_value(std::string(kVariableOfOtherModel));
    set_constraint_coefficient(*mine, as_constraint(self)->id, var.value->id, coeff.value);
    return none();
}

PyObject* set_expr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_expr_doc);
    Arg<ExprArg> expr;
    if (!parse(sig, args, nargs, kw, expr)) return nullptr;
    set_constraint_expr(*store_of(self), as_constraint(self)->id, expr.value->expr);
    return none();
}

PyObject* value(PyObject* self) { return to_py(constraint_value(*store_of(self), as_constraint(self)->id)); }

PyObject* value_or_default(PyObject* self) {
    return to_py(constraint_value_or_default(*store_of(self), as_constraint(self)->id));
}

PyObject* valid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(valid_doc);
    ArgOr<Float, 0.0> eps;
    if (!parse(sig, args, nargs, kw, eps)) return nullptr;
    return to_py(constraint_valid(*store_of(self), as_constraint(self)->id, eps.value));
}

PyObject* as_cplex_lp_constraint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(as_cplex_lp_constraint_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    const std::string text = constraint_lp_constraint(*store_of(self), as_constraint(self)->id, name.value);
    return to_py(std::string_view(text));
}

PyObject* as_cplex_lp_affine_expression(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(as_cplex_lp_affine_expression_doc);
    Arg<Text> name;
    ArgOr<Flag, true> include_constant;
    if (!parse(sig, args, nargs, kw, name, include_constant)) return nullptr;
    const std::string text =
        constraint_lp_affine(*store_of(self), as_constraint(self)->id, name.value, include_constant.value);
    return to_py(std::string_view(text));
}

PyObject* str_repr(PyObject* self) {
    const std::string text = constraint_str(*store_of(self), as_constraint(self)->id);
    return to_py(std::string_view(text));
}

PyObject* repr_str(PyObject* self) {
    const std::string text = constraint_repr_str(*store_of(self), as_constraint(self)->id);
    return to_py(std::string_view(text));
}

PyMethodDef constraint_methods[] = {
    ONDREL_NOARGS("id", id, id_doc),
    ONDREL_FASTCALL("set_name", set_name, set_name_doc),
    ONDREL_FASTCALL("set_pi", (set_float<set_pi_doc, ConstraintNumber::Pi>), set_pi_doc),
    ONDREL_FASTCALL("set_slack", (set_float<set_slack_doc, ConstraintNumber::Slack>), set_slack_doc),
    ONDREL_FASTCALL("set_rhs", set_rhs, set_rhs_doc),
    ONDREL_FASTCALL("set_sense", set_sense, set_sense_doc),
    ONDREL_FASTCALL("set_coefficient", set_coefficient, set_coefficient_doc),
    ONDREL_FASTCALL("set_expr", set_expr, set_expr_doc),
    ONDREL_NOARGS("items", items, items_doc),
    ONDREL_NOARGS("value", value, value_doc),
    ONDREL_NOARGS("value_or_default", value_or_default, value_or_default_doc),
    ONDREL_FASTCALL("valid", valid, valid_doc),
    ONDREL_FASTCALL("as_cplex_lp_constraint", as_cplex_lp_constraint, as_cplex_lp_constraint_doc),
    ONDREL_FASTCALL("as_cplex_lp_affine_expression", as_cplex_lp_affine_expression,
                    as_cplex_lp_affine_expression_doc),
    ONDREL_NOARGS("str_repr", str_repr, str_repr_doc),
    ONDREL_NOARGS("repr_str", repr_str, repr_str_doc),
    ONDREL_METHODS_END,
};

PyGetSetDef constraint_getset[] = {
    ONDREL_GETTER("name", get_name),
    ONDREL_GETTER("pi", get_pi),
    ONDREL_GETTER("slack", get_slack),
    ONDREL_GETTER("sense", get_sense),
    ONDREL_GETTER("rhs", get_rhs),
    ONDREL_GETTERS_END,
};

PyType_Slot constraint_slots[] = {
    {Py_tp_doc, const_cast<char*>("Handle to a constraint stored inside a `ModelCore`. Only created by the model.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<ConstraintObject>)},
    {Py_tp_methods, constraint_methods},
    {Py_tp_getset, constraint_getset},
    {0, nullptr},
};

PyType_Spec constraint_spec{
    .name = "builtins.Constraint",
    .basicsize = sizeof(ConstraintObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = constraint_slots,
};
PyTypeObject* constraint_cell = nullptr;

}  // namespace

PyTypeObject* constraint_type() { return cached_type(constraint_cell, constraint_spec); }

PyObject* new_constraint(const std::weak_ptr<SharedModel>& model, ConstraintId cid) {
    PyTypeObject* t = constraint_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    ConstraintObject* c = as_constraint(self);
    new (&c->model) std::weak_ptr<SharedModel>(model);
    c->id = cid;
    return self;
}

}  // namespace ondrel::py
