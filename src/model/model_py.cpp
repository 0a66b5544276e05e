// The Model class: the strong owner of one store, and the operations that build and read it.
#include <cmath>
#include <string>
#include <vector>

#include "io/mps_records_py.hpp"
#include "model/building.hpp"
#include "model/names.hpp"
#include "model/model_queries_py.hpp"
#include "model/queries.hpp"
#include "model/solution.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Construction and counts.

constexpr char model_doc[] = "Model(name)\n--\n\nHigh-level model handle exposed to Python.";

PyObject* model_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr auto sig = ONDREL_SIGNATURE(model_doc);
    OptArg<Text> name;
    if (!parse_tuple(sig, args, kwargs, name)) return nullptr;
    return new_model(std::make_shared<SharedModel>(name.value ? std::string(*name.value) : "Model"));
}


PyObject* num_variables(PyObject* self) { return to_py(std::uint64_t{variable_count(*model_of(self))}); }

PyObject* num_constraints(PyObject* self) { return to_py(std::uint64_t{constraint_count(*model_of(self))}); }

// ---------------------------------------------------------------------------------------------
// Variables.

constexpr char add_variable_doc[] = "add_variable($self, name, lb, ub, category)\n--\n\n";
PyObject* add_variable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_variable_doc);
    Arg<Text> name;
    Arg<Float> lb, ub;
    Arg<EnumOf<Category>> category;
    if (!parse(sig, args, nargs, kw, name, lb, ub, category)) return nullptr;
    const auto& m = model_of(self);
    const VarId id = ondrel::add_variable(*m, std::string(name.value), lb.value, ub.value, category.value);
    return new_variable(m, id);
}

constexpr char add_variables_batch_doc[] = "add_variables_batch($self, names, lb, ub, category)\n--\n\n";
PyObject* add_variables_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_variables_batch_doc);
    Arg<SeqOf<OwnedText>> names;
    Arg<Float> lb, ub;
    Arg<EnumOf<Category>> category;
    if (!parse(sig, args, nargs, kw, names, lb, ub, category)) return nullptr;
    const auto& m = model_of(self);
    const std::size_t count = names.value.size();
    const VarId first = ondrel::add_variables(*m, names.value, lb.value, ub.value, category.value);
    return new_variable_range(m, first, count);
}

// range(first, first + count): the ids of a batch.
PyObject* id_range(std::uint64_t first, std::size_t count) {
    PyRef start = PyRef::steal(to_py(first));
    PyRef stop = PyRef::steal(to_py(std::uint64_t{first + count}));
    if (!start || !stop) return nullptr;
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type), start.get(), stop.get(), nullptr);
}

// A buffer argument must be C-contiguous; `what` describes the expected items.
void require_c_contiguous(const BufferView& view, std::string_view name, std::string_view what) {
    if (!view.c_contiguous()) raise_value(Msg() << name << " must be C-contiguous " << what);
}
constexpr std::string_view kU64Items = "unsigned 64-bit integers (e.g. array.array('Q'))";
constexpr std::string_view kF64Items = "float64 (e.g. array.array('d'))";
constexpr std::string_view kByteItems = "one-byte codes (e.g. bytes or array.array('B'))";

constexpr char add_variables_arrays_doc[] =
    "add_variables_arrays($self, names, lb, ub, categories)\n--\n\n"
    "Add one variable per name, each with its own bounds and category: `lb` and `ub` are float64\n"
    "buffers and `categories` a buffer of one-byte Category codes or a sequence of Category\n"
    "members, all as long as `names`. Returns the range of the new variable ids; a failed call\n"
    "adds nothing.";
PyObject* add_variables_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_variables_arrays_doc);
    Arg<SeqOf<OwnedText>> names;
    Arg<F64Buffer> lb, ub;
    Arg<EnumCodesOf<Category>> categories;
    if (!parse(sig, args, nargs, kw, names, lb, ub, categories)) return nullptr;
    require_c_contiguous(lb.value, "lb", kF64Items);
    require_c_contiguous(ub.value, "ub", kF64Items);
    if (categories.value.from_buffer) require_c_contiguous(categories.value.buffer, "categories", kByteItems);
    const VarId first = ondrel::add_variables(
        *model_of(self), VariableColumns{names.value, lb.value.items<double>(), ub.value.items<double>(),
                                         categories.value.codes()});
    return id_range(first, names.value.size());
}

// ---------------------------------------------------------------------------------------------
// Constraints, objective, columns, SOS groups.

constexpr char add_constraints_batch_doc[] =
    "add_constraints_batch($self, starts, ids, coeffs, senses, rhs, names=None)\n--\n\n"
    "Add many constraints from compressed rows: row i has the terms ids[k] * coeffs[k] for k in\n"
    "[starts[i], starts[i + 1]) (`starts` holds rows + 1 offsets, the first 0 and the last\n"
    "len(ids)), the sense senses[i] (a buffer of one-byte Sense codes or a sequence of Sense\n"
    "members) and the right-hand side rhs[i]; `names` is None for automatic names or one str or\n"
    "None per row. Each row is stored as add_constraint stores an expression filled by\n"
    "add_term_ids_coeffs. Everything is checked first: a failed call adds nothing. Returns the\n"
    "range of the new constraint ids.";
PyObject* add_constraints_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_constraints_batch_doc);
    Arg<U64Buffer> starts, ids;
    Arg<F64Buffer> coeffs;
    Arg<EnumCodesOf<Sense>> senses;
    Arg<F64Buffer> rhs;
    Arg<OptionalNamesKind> names;  // omitted: None
    if (!parse(sig, args, nargs, kw, starts, ids, coeffs, senses, rhs, names)) return nullptr;
    require_c_contiguous(starts.value, "starts", kU64Items);
    require_c_contiguous(ids.value, "ids", kU64Items);
    require_c_contiguous(coeffs.value, "coeffs", kF64Items);
    if (senses.value.from_buffer) require_c_contiguous(senses.value.buffer, "senses", kByteItems);
    require_c_contiguous(rhs.value, "rhs", kF64Items);
    const OptionalNames& given = names.value;
    ConstraintRows rows{starts.value.items<std::uint64_t>(), ids.value.items<VarId>(), coeffs.value.items<double>(),
                        senses.value.codes(), rhs.value.items<double>(), {}, given.size()};
    if (given.items) rows.name = [&given](std::size_t i) { return given.name(i); };
    const ConstraintId first = ondrel::add_constraints(*model_of(self), rows);
    return id_range(first, rows.starts.size() - 1);
}

constexpr char add_constraint_doc[] = "add_constraint($self, expr)\n--\n\n";
PyObject* add_constraint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_constraint_doc);
    Arg<ExprArg> expr;
    if (!parse(sig, args, nargs, kw, expr)) return nullptr;
    const auto& m = model_of(self);
    const ConstraintId id = ondrel::add_constraint(*m, expr.value->expr);
    return new_constraint(m, id);
}

constexpr char add_mps_result_doc[] =
    "add_mps_result($self, result)\n--\n\n"
    "Add the columns and rows of an MpsResult (as read_mps returns it) and set the objective from\n"
    "its objective row. Columns become variables with their names, bounds (None: unbounded) and\n"
    "categories; rows become constraints with their names (None: automatic), senses and\n"
    "right-hand sides (the negated constants); the objective keeps the row's name. Coefficients\n"
    "are matched to columns by name. Everything is checked first, so a failed call changes\n"
    "nothing; an error about one row starts with \"Row <i>: \".";
PyObject* add_mps_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_mps_result_doc);
    Arg<MpsResultArg> result;
    if (!parse(sig, args, nargs, kw, result)) return nullptr;
    MpsModelParts parts = mps_model_parts(result.value);
    ModelParts model_parts{
        VariableColumns{parts.variable_names, parts.lb, parts.ub, parts.categories},
        parts.objective_ids,
        parts.objective_coeffs,
        std::move(parts.objective_name),
        ConstraintRows{parts.starts, parts.ids, parts.coeffs, parts.senses, parts.rhs,
                       [&parts](std::size_t i) { return parts.row_names[i]; }, parts.row_names.size()},
    };
    add_model_parts(model_of(self), model_parts);
    return none();
}

constexpr char set_objective_doc[] = "set_objective($self, expr)\n--\n\n";
PyObject* set_objective(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_objective_doc);
    Arg<ExprArg> expr;
    if (!parse(sig, args, nargs, kw, expr)) return nullptr;
    ondrel::set_objective(model_of(self), expr.value->expr);
    return none();
}

constexpr char clear_objective_doc[] = "clear_objective($self)\n--\n\n";
PyObject* clear_objective(PyObject* self) {
    take_objective(*model_of(self));  // released here, after the lock
    return none();
}

constexpr char set_sense_doc[] = "set_sense($self, sense)\n--\n\n";
PyObject* set_sense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(set_sense_doc);
    Arg<EnumOf<ObjSense>> sense;
    if (!parse(sig, args, nargs, kw, sense)) return nullptr;
    set_objective_sense(*model_of(self), sense.value);
    return none();
}

constexpr char get_sense_doc[] = "get_sense($self)\n--\n\n";
PyObject* get_sense(PyObject* self) {
    return enum_member(objective_sense(*model_of(self)));
}

constexpr char add_column_doc[] =
    "add_column($self, name, lb, ub, category, obj_coeff, entries)\n--\n\n"
    "Add a variable column-wise: its\n"
    "objective coefficient and its coefficients in existing constraints (`entries`, `(constraint id,\n"
    "coefficient)` pairs; zeros are skipped). Validates everything before\n"
    "changing the model.";
PyObject* add_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_column_doc);
    Arg<Text> name;
    Arg<Float> lb, ub;
    Arg<EnumOf<Category>> category;
    Arg<Float> obj_coeff;
    Arg<SeqOf<PairOf<U64, Float>>> entries;
    if (!parse(sig, args, nargs, kw, name, lb, ub, category, obj_coeff, entries)) return nullptr;
    std::vector<ColumnEntry> plain;
    plain.reserve(entries.value.size());
    for (const auto& [cid, coeff] : entries.value) plain.push_back(ColumnEntry{cid, coeff});
    const auto& m = model_of(self);
    const VarId id = ondrel::add_column(m, std::string(name.value), lb.value, ub.value,
                                        category.value, obj_coeff.value, plain);
    return new_variable(m, id);
}

constexpr char remove_variables_doc[] =
    "remove_variables($self, ids)\n--\n\n"
    "Drop the variables `ids` from every constraint, the objective and every\n"
    "SOS group (see `ModelCore::remove_variables`).";
PyObject* remove_variables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(remove_variables_doc);
    Arg<SeqOf<U64>> ids;
    if (!parse(sig, args, nargs, kw, ids)) return nullptr;
    ondrel::remove_variables(*model_of(self), ids.value);
    return none();
}

constexpr char add_sos_group_doc[] =
    "add_sos_group($self, kind, key, members)\n--\n\n"
    "Append one SOS group. Each `Variable` must belong to this model.";
PyObject* add_sos_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(add_sos_group_doc);
    Arg<EnumOf<SosKind>> kind;
    OptArg<OwnedText> key;
    Arg<SeqOf<PairOf<VariableRefKind, Float>>> members;
    if (!parse(sig, args, nargs, kw, kind, key, members)) return nullptr;
    const auto& m = model_of(self);
    std::vector<SosMember> plain;
    plain.reserve(members.value.size());
    for (const auto& [var, weight] : members.value) {
        const std::shared_ptr<SharedModel> owner = resolve(var.model, kLostHandleModel);
        if (owner != m) raise_value("SOS member variable belongs to a different model");
        if (!std::isfinite(weight)) raise_value("SOS weight must be finite");
        plain.push_back(SosMember{var.id, weight});
    }
    ondrel::add_sos_group(*m, kind.value, std::move(key.value), std::move(plain));
    return none();
}

constexpr char clear_sos_doc[] = "clear_sos($self)\n--\n\n";
PyObject* clear_sos(PyObject* self) {
    take_sos_groups(*model_of(self));  // released here, after the lock
    return none();
}

// ---------------------------------------------------------------------------------------------
// Docstrings of the solution-data and query methods.

constexpr char set_variable_values_doc[] = "set_variable_values($self, values)\n--\n\n";
constexpr char set_variable_djs_doc[] = "set_variable_djs($self, values)\n--\n\n";
constexpr char set_constraint_pis_doc[] = "set_constraint_pis($self, values)\n--\n\n";
constexpr char set_constraint_slacks_doc[] = "set_constraint_slacks($self, values)\n--\n\n";
constexpr char set_variable_values_by_name_doc[] = "set_variable_values_by_name($self, values)\n--\n\n";
constexpr char set_variable_djs_by_name_doc[] = "set_variable_djs_by_name($self, values)\n--\n\n";
constexpr char set_constraint_pis_by_name_doc[] = "set_constraint_pis_by_name($self, values)\n--\n\n";
constexpr char set_constraint_slacks_by_name_doc[] =
    "set_constraint_slacks_by_name($self, values)\n--\n\n";
constexpr char round_solution_doc[] =
    "round_solution($self, eps_int=1e-5, eps=1e-7)\n--\n\nRound all variable values to bounds and integrality.";
constexpr char is_mip_doc[] = "is_mip($self)\n--\n\nWhether any variable is Integer or Binary.";

// ---------------------------------------------------------------------------------------------
// Solution data.

template <const char* Doc, SolutionField Field>
PyObject* set_by_id_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(Doc);
    Arg<SeqOf<PairOf<U64, Float>>> values;
    if (!parse(sig, args, nargs, kw, values)) return nullptr;
    set_solution_by_id(*model_of(self), Field, values.value);
    return none();
}

template <const char* Doc, SolutionField Field>
PyObject* set_by_name_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(Doc);
    Arg<NameFloatMap> values;
    if (!parse(sig, args, nargs, kw, values)) return nullptr;
    set_solution_by_name(*model_of(self), Field, values.value);
    return none();
}

PyObject* round_solution(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(round_solution_doc);
    ArgOr<Float, 1e-5> eps_int;
    ArgOr<Float, 1e-7> eps;
    if (!parse(sig, args, nargs, kw, eps_int, eps)) return nullptr;
    ondrel::round_solution(*model_of(self), eps_int.value, eps.value);
    return none();
}

PyObject* is_mip(PyObject* self) {
    return to_py(ondrel::is_mip(*model_of(self)));
}


PyMethodDef model_methods[] = {
    ONDREL_FASTCALL("add_variable", add_variable, add_variable_doc),
    ONDREL_FASTCALL("add_variables_batch", add_variables_batch, add_variables_batch_doc),
    ONDREL_FASTCALL("add_variables_arrays", add_variables_arrays, add_variables_arrays_doc),
    ONDREL_FASTCALL("set_variable_values", (set_by_id_method<set_variable_values_doc, SolutionField::VariableValue>), set_variable_values_doc),
    ONDREL_FASTCALL("set_variable_djs", (set_by_id_method<set_variable_djs_doc, SolutionField::VariableDj>), set_variable_djs_doc),
    ONDREL_FASTCALL("set_constraint_pis", (set_by_id_method<set_constraint_pis_doc, SolutionField::ConstraintPi>), set_constraint_pis_doc),
    ONDREL_FASTCALL("set_constraint_slacks", (set_by_id_method<set_constraint_slacks_doc, SolutionField::ConstraintSlack>), set_constraint_slacks_doc),
    ONDREL_FASTCALL("set_variable_values_by_name", (set_by_name_method<set_variable_values_by_name_doc, SolutionField::VariableValue>), set_variable_values_by_name_doc),
    ONDREL_FASTCALL("set_variable_djs_by_name", (set_by_name_method<set_variable_djs_by_name_doc, SolutionField::VariableDj>), set_variable_djs_by_name_doc),
    ONDREL_FASTCALL("set_constraint_pis_by_name", (set_by_name_method<set_constraint_pis_by_name_doc, SolutionField::ConstraintPi>), set_constraint_pis_by_name_doc),
    ONDREL_FASTCALL("set_constraint_slacks_by_name", (set_by_name_method<set_constraint_slacks_by_name_doc, SolutionField::ConstraintSlack>), set_constraint_slacks_by_name_doc),
    ONDREL_FASTCALL("round_solution", round_solution, round_solution_doc),
    ONDREL_NOARGS("is_mip", is_mip, is_mip_doc),
    ONDREL_FASTCALL("get_variable", model_queries::get_variable, model_queries::get_variable_doc),
    ONDREL_NOARGS("list_variables", model_queries::list_variables, model_queries::list_variables_doc),
    ONDREL_NOARGS("list_constraints", model_queries::list_constraints, model_queries::list_constraints_doc),
    ONDREL_NOARGS("used_variable_ids", model_queries::used_variable_ids, model_queries::used_variable_ids_doc),
    ONDREL_FASTCALL("list_variables_by_ids", model_queries::list_variables_by_ids, model_queries::list_variables_by_ids_doc),
    ONDREL_FASTCALL("get_constraint_by_name", model_queries::get_constraint_by_name, model_queries::get_constraint_by_name_doc),
    ONDREL_NOARGS("get_objective", model_queries::get_objective, model_queries::get_objective_doc),
    ONDREL_NOARGS("sos_export", model_queries::sos_export, model_queries::sos_export_doc),
    ONDREL_NOARGS("variables_dict", model_queries::variables_dict, model_queries::variables_dict_doc),
    ONDREL_NOARGS("constraints_dict", model_queries::constraints_dict, model_queries::constraints_dict_doc),
    ONDREL_NOARGS("coefficients", model_queries::coefficients, model_queries::coefficients_doc),
    ONDREL_NOARGS("summary", model_queries::summary, model_queries::summary_doc),
    ONDREL_NOARGS("check_duplicate_vars", model_queries::check_duplicate_vars, model_queries::check_duplicate_vars_doc),
    ONDREL_NOARGS("check_duplicate_constraints", model_queries::check_duplicate_constraints, model_queries::check_duplicate_constraints_doc),
    ONDREL_FASTCALL("check_length_vars", model_queries::check_length_vars, model_queries::check_length_vars_doc),
    ONDREL_NOARGS("copy_model", model_queries::copy_model, model_queries::copy_model_doc),
    ONDREL_FASTCALL("add_constraint", add_constraint, add_constraint_doc),
    ONDREL_FASTCALL("add_constraints_batch", add_constraints_batch, add_constraints_batch_doc),
    ONDREL_FASTCALL("set_objective", set_objective, set_objective_doc),
    ONDREL_FASTCALL("add_mps_result", add_mps_result, add_mps_result_doc),
    ONDREL_NOARGS("clear_objective", clear_objective, clear_objective_doc),
    ONDREL_FASTCALL("set_sense", set_sense, set_sense_doc),
    ONDREL_NOARGS("get_sense", get_sense, get_sense_doc),
    ONDREL_FASTCALL("add_column", add_column, add_column_doc),
    ONDREL_FASTCALL("remove_variables", remove_variables, remove_variables_doc),
    ONDREL_FASTCALL("add_sos_group", add_sos_group, add_sos_group_doc),
    ONDREL_NOARGS("clear_sos", clear_sos, clear_sos_doc),
    ONDREL_METHODS_END,
};

PyGetSetDef model_getset[] = {
    ONDREL_GETTER("num_variables", num_variables),
    ONDREL_GETTER("num_constraints", num_constraints),
    ONDREL_GETTERS_END,
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>(model_doc)},
    ONDREL_SLOT(Py_tp_new, model_new),
    {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<ModelObject>)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

PyType_Spec model_spec{
    .name = "builtins.Model",
    .basicsize = sizeof(ModelObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = model_slots,
};
PyTypeObject* model_cell = nullptr;

}  // namespace

PyTypeObject* model_type() { return cached_type(model_cell, model_spec); }

PyObject* new_model(std::shared_ptr<SharedModel> model) {
    PyTypeObject* t = model_type();
    if (t == nullptr) return nullptr;
    PyObject* self = allocate_instance(t);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ModelObject*>(self)->model) std::shared_ptr<SharedModel>(std::move(model));
    return self;
}

}  // namespace ondrel::py
