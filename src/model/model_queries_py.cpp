// The Model class's queries, checks and copy: listing and finding handles, exporting the
// objective, SOS groups and coefficients, the name checks and the deep copy. Each reads the store
// through one plain operation and builds Python objects afterwards.
#include "model/model_queries_py.hpp"

#include <string>
#include <vector>

#include "model/names.hpp"
#include "model/queries.hpp"

namespace ondrel::py::model_queries {

namespace {


}  // namespace

constexpr char get_variable_doc[] = "get_variable($self, id)\n--\n\n";
constexpr char list_variables_doc[] = "list_variables($self)\n--\n\n";
constexpr char list_constraints_doc[] = "list_constraints($self)\n--\n\n";
constexpr char used_variable_ids_doc[] =
    "used_variable_ids($self)\n--\n\nSorted unique variable ids referenced by objective, constraints, and SOS.";
constexpr char list_variables_by_ids_doc[] =
    "list_variables_by_ids($self, ids)\n--\n\n"
    "`Variable` handles for the given ids, in order (for example the ids returned by\n"
    "`used_variable_ids`).";
constexpr char get_constraint_by_name_doc[] = "get_constraint_by_name($self, name)\n--\n\n";
constexpr char get_objective_doc[] = "get_objective($self)\n--\n\n";
constexpr char sos_export_doc[] =
    "sos_export($self)\n--\n\n"
    "`(sos_type, optional_key, list of (var_id, weight))` with `sos_type` 1 = SOS1, 2 = SOS2.";
constexpr char variables_dict_doc[] = "variables_dict($self)\n--\n\n";
constexpr char constraints_dict_doc[] = "constraints_dict($self)\n--\n\n";
constexpr char coefficients_doc[] =
    "coefficients($self)\n--\n\nReturn all (variable_name, constraint_name, coefficient) triples.";
constexpr char summary_doc[] = "summary($self)\n--\n\n";
constexpr char check_duplicate_vars_doc[] =
    "check_duplicate_vars($self)\n--\n\nCheck for duplicate variable names.";
constexpr char check_duplicate_constraints_doc[] =
    "check_duplicate_constraints($self)\n--\n\nCheck for duplicate constraint names.";
constexpr char check_length_vars_doc[] =
    "check_length_vars($self, max_length)\n--\n\nCheck that no variable name exceeds max_length.";
constexpr char copy_model_doc[] =
    "copy_model($self)\n--\n\nDeep-copy the entire model into a new shared store with new data.";

// ---------------------------------------------------------------------------------------------
// Queries, checks and copy.

PyObject* get_variable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(get_variable_doc);
    Arg<U64> vid;
    if (!parse(sig, args, nargs, kw, vid)) return nullptr;
    return new_variable(model_of(self), vid.value);
}

PyObject* list_variables(PyObject* self) {
    const auto& m = model_of(self);
    return new_variable_range(m, 0, variable_count(*m));
}

PyObject* list_constraints(PyObject* self) {
    const auto& m = model_of(self);
    const std::size_t n = constraint_count(*m);
    return build_list(n, [&](std::size_t i) { return new_constraint(m, i); });
}

PyObject* used_variable_ids(PyObject* self) {
    const std::vector<VarId> ids = ondrel::used_variable_ids(*model_of(self));
    return build_list(ids.size(), [&](std::size_t i) { return to_py(std::uint64_t{ids[i]}); });
}

PyObject* list_variables_by_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(list_variables_by_ids_doc);
    Arg<SeqOf<U64>> ids;
    if (!parse(sig, args, nargs, kw, ids)) return nullptr;
    const auto& m = model_of(self);
    const std::uint64_t n = variable_count(*m);
    for (VarId id : ids.value) {
        if (id >= n) {
            raise(ErrorKind::Index, Msg() << "variable id " << id << " out of range (model has " << n << " variables)");
        }
    }
    return build_list(ids.value.size(), [&](std::size_t i) { return new_variable(m, ids.value[i]); });
}

PyObject* get_constraint_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(get_constraint_by_name_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    const auto& m = model_of(self);
    const auto found = find_constraint_by_name(*m, name.value);
    return found ? new_constraint(m, *found) : none();
}

PyObject* get_objective(PyObject* self) {
    std::optional<ExprValue> copy = objective_copy(*model_of(self));
    return copy ? new_expr(std::move(*copy)) : none();
}

PyObject* sos_export(PyObject* self) {
    const std::vector<SosGroup> groups = sos_groups_copy(*model_of(self));
    return build_list(groups.size(), [&](std::size_t i) {
        const SosGroup& g = groups[i];
        PyObject* members = build_list(g.members.size(), [&](std::size_t j) {
            return tuple_of(to_py(std::uint64_t{g.members[j].id}), to_py(g.members[j].weight));
        });
        return tuple_of(PyLong_FromLong(g.kind == SosKind::Sos1 ? 1 : 2), to_py(g.key), members);
    });
}

// [(name, handle)] for every variable or constraint, in id order.
template <class MakeHandle>
PyObject* named_handles(const std::vector<std::string>& names, MakeHandle make) {
    return build_list(names.size(), [&](std::size_t i) {
        return tuple_of(to_py(std::string_view(names[i])), make(i));
    });
}

PyObject* variables_dict(PyObject* self) {
    const auto& m = model_of(self);
    const std::vector<std::string> names = variable_names(*m);
    return named_handles(names, [&](std::size_t i) { return new_variable(m, i); });
}

PyObject* constraints_dict(PyObject* self) {
    const auto& m = model_of(self);
    const std::vector<std::string> names = constraint_names(*m);
    return named_handles(names, [&](std::size_t i) { return new_constraint(m, i); });
}

PyObject* coefficients(PyObject* self) {
    const CoefficientTable table = coefficient_table(*model_of(self));
    // Each distinct name becomes one str, shared by all its triples.
    std::vector<PyRef> var_str(table.variable_names.size());
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return nullptr;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(table.entries.size())));
    if (!list) return nullptr;
    PyRef con_str;
    std::size_t con_index = static_cast<std::size_t>(-1);
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const CoefficientTable::Entry& t = table.entries[i];
        PyObject* vname = empty.get();
        if (t.var < table.variable_names.size()) {
            if (!var_str[t.var]) {
                var_str[t.var] = PyRef::steal(to_py(std::string_view(table.variable_names[t.var])));
                if (!var_str[t.var]) return nullptr;
            }
            vname = var_str[t.var].get();
        }
        if (t.constraint != con_index) {
            con_str = PyRef::steal(to_py(std::string_view(table.constraint_names[t.constraint])));
            if (!con_str) return nullptr;
            con_index = t.constraint;
        }
        PyRef coeff = PyRef::steal(to_py(t.coeff));
        if (!coeff) return nullptr;
        PyObject* triple = PyTuple_Pack(3, vname, con_str.get(), coeff.get());
        if (triple == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), triple);
    }
    return list.release();
}

PyObject* summary(PyObject* self) {
    const std::string text = ondrel::summary(*model_of(self));
    return to_py(std::string_view(text));
}

PyObject* check_duplicate_vars(PyObject* self) {
    check_duplicate_variable_names(*model_of(self));
    return none();
}

PyObject* check_duplicate_constraints(PyObject* self) {
    check_duplicate_constraint_names(*model_of(self));
    return none();
}

PyObject* check_length_vars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(check_length_vars_doc);
    Arg<U64> max_length;
    if (!parse(sig, args, nargs, kw, max_length)) return nullptr;
    check_variable_name_lengths(*model_of(self), max_length.value);
    return none();
}

PyObject* copy_model(PyObject* self) { return new_model(ondrel::copy_model(*model_of(self))); }

}  // namespace ondrel::py::model_queries
