// Reading an MpsResult's records back into a model's parts (Model.add_mps_result).
#include "io/mps_record_layouts_py.hpp"

#include "base/name_table.hpp"
#include "base/numeric.hpp"
#include "model/names.hpp"

namespace ondrel::py {

using namespace records;

// ---------------------------------------------------------------------------------------------
// Reading the records back into a model's parts.

namespace {

std::string_view entry_text(const NameEntry* e) noexcept { return std::string_view(e->text(), e->size); }

// Calls f on each item of one of the records' lists, checking that it is of class `tp`.
// Nothing that f does runs Python code, so the list cannot change meanwhile.
template <class T, class F>
void for_each_record(const PyRef& list, PyTypeObject* tp, F&& f) {
    const Py_ssize_t n = PyList_GET_SIZE(list.get());  // the records hold only lists
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (Py_TYPE(item) != tp) {
            raise_wrong_type(tp, item);
            throw PythonErrorSet{};
        }
        f(as<T>(item));
    }
}

template <class T>
std::vector<T*> records_of(const PyRef& list, PyTypeObject* tp) {
    std::vector<T*> out;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for_each_record<T>(list, tp, [&](T* r) { out.push_back(r); });
    return out;
}

// Finds the column of a coefficient's name: the entry read_mps gave it names its column
// directly; any other (a record moved from another result) is looked up by its text.
class ColumnFinder {
public:
    explicit ColumnFinder(const std::vector<MpsVariableObject*>& columns) {
        names_.reserve(columns.size());
        for (const MpsVariableObject* v : columns) names_.push_back(v->name.entry());
    }

    VarId find(const NameEntry* name) {
        const std::uint32_t c = name->column;
        if (c < names_.size() && names_[c] == name) return c;
        if (by_text_.size() == 0) {
            by_text_.reserve(names_.size());
            for (const NameEntry* e : names_) by_text_.insert_if_absent(NameTable::prepare(entry_text(e)));
        }
        const NameTable::Id id = by_text_.find(entry_text(name));
        if (id == NameTable::kAbsent) {
            raise_value(Msg() << "coefficient names no variable: " << quoted_for_message(entry_text(name)));
        }
        return id;
    }

private:
    std::vector<const NameEntry*> names_;  // of column c
    NameTable by_text_;
};

}  // namespace

bool MpsResultArg::convert(PyObject* o, PyObject*& out) {
    PyTypeObject* tp = mps_result_type();
    if (tp == nullptr) return false;
    if (Py_TYPE(o) != tp) {
        raise_wrong_type(tp, o);
        return false;
    }
    out = o;
    return true;
}

MpsModelParts mps_model_parts(PyObject* result_object) {
    const RecordTypes types;
    const auto* result = as<MpsResultObject>(result_object);
    const std::vector<MpsVariableObject*> columns = records_of<MpsVariableObject>(result->variables, types.variable);
    const std::vector<MpsConstraintObject*> rows = records_of<MpsConstraintObject>(result->constraints, types.constraint);
    if (Py_TYPE(result->objective.get()) != types.objective) {
        raise_wrong_type(types.objective, result->objective.get());
        throw PythonErrorSet{};
    }
    const auto* objective = as<MpsObjectiveObject>(result->objective.get());

    MpsModelParts parts;
    parts.variable_names.reserve(columns.size());
    parts.lb.reserve(columns.size());
    parts.ub.reserve(columns.size());
    parts.categories.reserve(columns.size());
    for (const MpsVariableObject* v : columns) {
        parts.variable_names.emplace_back(entry_text(v->name.entry()));
        parts.lb.push_back(v->present & kHasLow ? v->low : -kInf);
        parts.ub.push_back(v->present & kHasUp ? v->up : kInf);
        parts.categories.push_back(static_cast<std::uint8_t>(v->integer ? Category::Integer : Category::Continuous));
    }
    ColumnFinder columns_by_name(columns);
    for_each_record<MpsCoefficientObject>(objective->coefficients, types.coefficient, [&](const MpsCoefficientObject* c) {
        parts.objective_ids.push_back(columns_by_name.find(c->name));
        parts.objective_coeffs.push_back(c->value);
    });
    if (const NameEntry* name = objective->name.entry()) parts.objective_name.emplace(entry_text(name));

    std::size_t nnz = 0;
    for (const MpsConstraintObject* row : rows) nnz += static_cast<std::size_t>(PyList_GET_SIZE(row->coefficients.get()));
    parts.ids.reserve(nnz);
    parts.coeffs.reserve(nnz);
    parts.starts.reserve(rows.size() + 1);
    parts.senses.reserve(rows.size());
    parts.rhs.reserve(rows.size());
    parts.row_names.reserve(rows.size());
    parts.starts.push_back(0);
    for (const MpsConstraintObject* row : rows) {
        for_each_record<MpsCoefficientObject>(row->coefficients, types.coefficient, [&](const MpsCoefficientObject* c) {
            parts.ids.push_back(columns_by_name.find(c->name));
            parts.coeffs.push_back(c->value);
        });
        parts.starts.push_back(parts.ids.size());
        // -1, 0, 1 for L, E, G; anything else is left for the check of sense codes to refuse.
        parts.senses.push_back(static_cast<std::uint8_t>(row->sense + 1));
        parts.rhs.push_back(-row->constant);
        const NameEntry* name = row->name.entry();
        parts.row_names.push_back(name ? std::optional<std::string_view>(entry_text(name)) : std::nullopt);
    }
    return parts;
}


}  // namespace ondrel::py
