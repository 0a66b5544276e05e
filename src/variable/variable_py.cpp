// The Variable handle: a weak model reference and a variable id. It caches nothing; every read
// and write goes to the record in the store through the operations of variable.hpp.
#include <string>

#include "model/variable_rules.hpp"
#include "module/objects_py.hpp"
#include "variable/variable.hpp"

namespace ondrel::py {

namespace {

VariableObject* as_variable(PyObject* self) { return reinterpret_cast<VariableObject*>(self); }

// The handle's live store, or the lost-model error.
std::shared_ptr<SharedModel> store_of(PyObject* self) { return resolve(as_variable(self)->model, kLostHandleModel); }

// A copy of the handle's record, taken under the store's lock.
VariableRecord record_of(PyObject* self) { return variable_record(*store_of(self), as_variable(self)->id); }

// ---------------------------------------------------------------------------------------------
// Properties.

PyObject* get_name(PyObject* self) {
    const std::string name = variable_name(*store_of(self), as_variable(self)->id);
    return to_py(std::string_view(name));
}
PyObject* get_lb(PyObject* self) { return to_py(record_of(self).lb); }
PyObject* get_ub(PyObject* self) { return to_py(record_of(self).ub); }
PyObject* get_category(PyObject* self) { return enum_member(record_of(self).category); }
PyObject* get_value(PyObject* self) { return to_py(record_of(self).value()); }
PyObject* get_dj(PyObject* self) { return to_py(record_of(self).dj()); }

// ---------------------------------------------------------------------------------------------
// Identity.

constexpr char id_doc[] = "id($self)\n--\n\n";
PyObject* id(PyObject* self) { return to_py(std::uint64_t{as_variable(self)->id}); }

constexpr char model_identity_doc[] =
    "model_identity($self)\n--\n\n"
    "Opaque identity of the owning model (pointer to `ModelCore`); for same-model checks in Python.";
PyObject* model_identity(PyObject* self) { return to_py(store_identity(store_of(self).get())); }

constexpr char containing_model_doc[] =
    "containing_model($self)\n--\n\n"
    "`Model` handle sharing this variable's core (any such handle is equivalent for batch APIs).";
PyObject* containing_model(PyObject* self) { return new_model(store_of(self)); }

// ---------------------------------------------------------------------------------------------
// Setters.

template <const char* Doc, VariableNumber Which>
PyObject* float_setter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(Doc);
    Arg<Float> x;
    if (!parse(sig, args, nargs, kw, x)) return nullptr;
    set_variable_number(*store_of(self), as_variable(self)->id, Which, x.value);
    return none();
}

constexpr char set_value_doc[] = "set_value($self, v)\n--\n\n";
constexpr char set_lb_doc[] = "set_lb($self, lb)\n--\n\n";
constexpr char set_ub_doc[] = "set_ub($self, ub)\n--\n\n";
constexpr char set_dj_doc[] = "set_dj($self, v)\n--\n\n";

constexpr char set_category_doc[] = "set_category($self, category)\n--\n\n";
PyObject* set_category(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_category_doc);
    Arg<EnumOf<Category>> category;
    if (!parse(sig, args, nargs, kw, category)) return nullptr;
    set_variable_category(*store_of(self), as_variable(self)->id, category.value);
    return none();
}

constexpr char set_name_doc[] = "set_name($self, name)\n--\n\n";
PyObject* set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_name_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    set_variable_name(*store_of(self), as_variable(self)->id, std::string(name.value));
    return none();
}

// ---------------------------------------------------------------------------------------------
// Predicates and solution logic.

template <bool (*Pred)(const VariableRecord&) noexcept>
PyObject* predicate(PyObject* self) {
    return to_py(Pred(record_of(self)));
}
constexpr char is_binary_doc[] = "is_binary($self)\n--\n\n";
constexpr char is_integer_doc[] = "is_integer($self)\n--\n\n";
constexpr char is_free_doc[] = "is_free($self)\n--\n\n";
constexpr char is_constant_doc[] = "is_constant($self)\n--\n\n";
constexpr char is_positive_doc[] = "is_positive($self)\n--\n\n";

constexpr char as_cplex_lp_variable_doc[] =
    "as_cplex_lp_variable($self)\n--\n\nCPLEX LP bounds string for this variable.";
PyObject* as_cplex_lp_variable(PyObject* self) {
    const std::string text = variable_lp_bounds(*store_of(self), as_variable(self)->id);
    return to_py(std::string_view(text));
}

constexpr char valid_doc[] =
    "valid($self, eps=1e-7)\n--\n\nValidate the variable value against its bounds and integrality.";
PyObject* valid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(valid_doc);
    ArgOr<Float, 1e-7> eps;
    if (!parse(sig, args, nargs, kw, eps)) return nullptr;
    return to_py(is_valid(record_of(self), eps.value));
}

constexpr char infeasibility_gap_doc[] =
    "infeasibility_gap($self, mip=True)\n--\n\nInfeasibility gap (distance from feasible region).";
PyObject* infeasibility_gap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(infeasibility_gap_doc);
    ArgOr<Flag, true> mip;
    if (!parse(sig, args, nargs, kw, mip)) return nullptr;
    return to_py(ondrel::infeasibility_gap(record_of(self), mip.value));
}

constexpr char round_value_doc[] =
    "round_value($self, eps_int=1e-5, eps=1e-7)\n--\n\n"
    "Round variable value to bounds and integer if appropriate.";
PyObject* round_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(round_value_doc);
    ArgOr<Float, 1e-5> eps_int;
    ArgOr<Float, 1e-7> eps;
    if (!parse(sig, args, nargs, kw, eps_int, eps)) return nullptr;
    round_variable_value(*store_of(self), as_variable(self)->id, eps_int.value, eps.value);
    return none();
}

constexpr char value_or_default_doc[] =
    "value_or_default($self)\n--\n\nValue or default from bounds (used when no solution exists).";
PyObject* value_or_default(PyObject* self) {
    return to_py(ondrel::value_or_default(record_of(self)));
}

constexpr char rounded_value_doc[] =
    "rounded_value($self, eps=1e-5)\n--\n\nRounded value for integer variables.";
PyObject* rounded_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(rounded_value_doc);
    ArgOr<Float, 1e-5> eps;
    if (!parse(sig, args, nargs, kw, eps)) return nullptr;
    return to_py(ondrel::rounded_value(record_of(self), eps.value));
}

PyMethodDef variable_methods[] = {
    ONDREL_NOARGS("id", id, id_doc),
    ONDREL_NOARGS("model_identity", model_identity, model_identity_doc),
    ONDREL_NOARGS("containing_model", containing_model, containing_model_doc),
    ONDREL_FASTCALL("set_value", (float_setter<set_value_doc, VariableNumber::Value>), set_value_doc),
    ONDREL_FASTCALL("set_lb", (float_setter<set_lb_doc, VariableNumber::Lb>), set_lb_doc),
    ONDREL_FASTCALL("set_ub", (float_setter<set_ub_doc, VariableNumber::Ub>), set_ub_doc),
    ONDREL_FASTCALL("set_dj", (float_setter<set_dj_doc, VariableNumber::Dj>), set_dj_doc),
    ONDREL_FASTCALL("set_category", set_category, set_category_doc),
    ONDREL_FASTCALL("set_name", set_name, set_name_doc),
    ONDREL_NOARGS("is_binary", predicate<is_binary>, is_binary_doc),
    ONDREL_NOARGS("is_integer", predicate<is_integer>, is_integer_doc),
    ONDREL_NOARGS("is_free", predicate<is_free>, is_free_doc),
    ONDREL_NOARGS("is_constant", predicate<is_constant>, is_constant_doc),
    ONDREL_NOARGS("is_positive", predicate<is_positive>, is_positive_doc),
    ONDREL_NOARGS("as_cplex_lp_variable", as_cplex_lp_variable, as_cplex_lp_variable_doc),
    ONDREL_FASTCALL("valid", valid, valid_doc),
    ONDREL_FASTCALL("infeasibility_gap", infeasibility_gap, infeasibility_gap_doc),
    ONDREL_FASTCALL("round_value", round_value, round_value_doc),
    ONDREL_NOARGS("value_or_default", value_or_default, value_or_default_doc),
    ONDREL_FASTCALL("rounded_value", rounded_value, rounded_value_doc),
    ONDREL_METHODS_END,
};

PyGetSetDef variable_getset[] = {
    ONDREL_GETTER("name", get_name),   ONDREL_GETTER("lb", get_lb),   ONDREL_GETTER("ub", get_ub),
    ONDREL_GETTER("category", get_category), ONDREL_GETTER("value", get_value), ONDREL_GETTER("dj", get_dj),
    ONDREL_GETTERS_END,
};

PyType_Slot variable_slots[] = {
    {Py_tp_doc, const_cast<char*>("Handle to a variable stored inside a `ModelCore`. Only created by the model.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<VariableObject>)},
    {Py_tp_methods, variable_methods},
    {Py_tp_getset, variable_getset},
    {0, nullptr},
};

PyType_Spec variable_spec{
    .name = "builtins.Variable",
    .basicsize = sizeof(VariableObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = variable_slots,
};
PyTypeObject* variable_cell = nullptr;

PyObject* make_variable(PyTypeObject* t, const std::weak_ptr<SharedModel>& model, VarId vid) {
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    VariableObject* v = as_variable(self);
    new (&v->model) std::weak_ptr<SharedModel>(model);
    v->id = vid;
    return self;
}

}  // namespace

PyTypeObject* variable_type() { return cached_type(variable_cell, variable_spec); }

PyObject* new_variable(const std::weak_ptr<SharedModel>& model, VarId vid) {
    PyTypeObject* t = variable_type();
    return t == nullptr ? nullptr : make_variable(t, model, vid);
}

PyObject* new_variable_range(const std::weak_ptr<SharedModel>& model, VarId first, std::size_t count) {
    PyTypeObject* t = variable_type();
    if (t == nullptr) return nullptr;
    return build_list(count, [&](std::size_t i) { return make_variable(t, model, first + i); });
}

PyObject* handle_coeff_pairs(const std::weak_ptr<SharedModel>& model, std::span<const Term> terms) {
    PyTypeObject* t = variable_type();
    if (t == nullptr) return nullptr;
    return build_list(terms.size(), [&](std::size_t i) {
        return tuple_of(make_variable(t, model, terms[i].id), to_py(terms[i].coeff));
    });
}

}  // namespace ondrel::py
