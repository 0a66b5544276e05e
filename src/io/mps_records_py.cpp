// The six record classes that read_mps returns, and the code that builds them from parsed data.
//
// Records are read-only value holders. Strings and numbers are stored natively and each read
// builds a new Python value; lists and records are stored as Python objects and returned
// themselves. A file of millions of coefficients makes millions of MpsCoefficient objects, so
// the layouts are kept small: a name is one reference-counted block shared by every record
// that carries it (a column's name by its MpsVariable and all its coefficients), which makes
// an MpsCoefficient 32 bytes: the object header, the name pointer and the value.
#include "io/mps_records_py.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace ondrel::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Shared names. Only touched with the interpreter lock held, so the count needs no atomics.

struct SharedName {
    std::size_t refs;
    std::size_t size;
    const char* text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

SharedName* new_shared_name(std::string_view s) {
    void* mem = std::malloc(sizeof(SharedName) + s.size());
    if (mem == nullptr) throw std::bad_alloc();
    auto* n = static_cast<SharedName*>(mem);
    n->refs = 1;
    n->size = s.size();
    if (!s.empty()) std::memcpy(n + 1, s.data(), s.size());
    return n;
}

inline SharedName* retain(SharedName* n) noexcept {
    if (n != nullptr) ++n->refs;
    return n;
}

inline void release(SharedName* n) noexcept {
    if (n != nullptr && --n->refs == 0) std::free(n);
}

// Owns one reference to each name of a parse while the records are built.
class NameSet {
public:
    NameSet() = default;
    NameSet(const NameSet&) = delete;
    NameSet& operator=(const NameSet&) = delete;
    ~NameSet() {
        for (SharedName* n : names_) release(n);
    }
    // Adds the names of a parse and then `extra`; returns the index of `extra`. The list is
    // reserved first, so that no push_back can fail after a name was allocated.
    std::size_t add(const io::MpsNames& names, std::string_view extra) {
        names_.reserve(names_.size() + names.size() + 1);
        for (std::size_t i = 0; i < names.size(); ++i) names_.push_back(new_shared_name(names[i]));
        names_.push_back(new_shared_name(extra));
        return names_.size() - 1;
    }
    SharedName* operator[](std::size_t i) const noexcept { return names_[i]; }

private:
    std::vector<SharedName*> names_;
};

// One counted reference to a shared name, or none (the value None), released with the record
// that holds it.
class NameRef {
public:
    explicit NameRef(SharedName* n) noexcept : n_(retain(n)) {}
    NameRef(const NameRef&) = delete;
    NameRef& operator=(const NameRef&) = delete;
    ~NameRef() { release(n_); }
    PyObject* value() const {
        if (n_ == nullptr) Py_RETURN_NONE;
        return PyUnicode_DecodeUTF8(n_->text(), static_cast<Py_ssize_t>(n_->size), nullptr);
    }

private:
    SharedName* n_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Layouts. Allocated without construction (allocate_instance); the builders below set every
// field, constructing the NameRef and PyRef members in place, and destroy_instance runs their
// destructors.

struct MpsParametersObject {
    PyObject_HEAD
    NameRef name;
    std::int32_t sense;
};

struct MpsCoefficientObject {
    PyObject_HEAD
    NameRef name;
    double value;
};

struct MpsObjectiveObject {
    PyObject_HEAD
    NameRef name;  // none: None
    PyRef coefficients;
};

// Optional floats as a value plus a presence bit, to keep the record small.
enum : std::uint8_t { kHasLow = 1, kHasUp = 2, kHasValue = 4, kHasDj = 8 };

struct MpsVariableObject {
    PyObject_HEAD
    NameRef name;
    double low, up, value, dj;
    std::uint8_t present;
    bool integer;
};

struct MpsConstraintObject {
    PyObject_HEAD
    NameRef name;  // none: None
    PyRef coefficients;
    double pi;
    double constant;
    std::int32_t sense;
    bool has_pi;
};

struct MpsResultObject {
    PyObject_HEAD
    PyRef parameters;
    PyRef objective;
    PyRef variables;
    PyRef constraints;
    PyRef sos1;
    PyRef sos2;
};

template <class T>
T* as(PyObject* self) noexcept {
    return reinterpret_cast<T*>(self);
}

PyObject* optional_float(bool present, double v) {
    if (!present) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

PyObject* same_object(const PyRef& o) { return Py_NewRef(o.get()); }

// ---------------------------------------------------------------------------------------------
// MpsParameters: name, sense.

PyObject* parameters_name(PyObject* self) { return as<MpsParametersObject>(self)->name.value(); }
PyObject* parameters_sense(PyObject* self) { return PyLong_FromLong(as<MpsParametersObject>(self)->sense); }

PyGetSetDef parameters_getset[] = {
    ONDREL_GETTER("name", parameters_name),
    ONDREL_GETTER("sense", parameters_sense),
    ONDREL_GETTERS_END,
};

// MpsCoefficient: name, value.

PyObject* coefficient_name(PyObject* self) { return as<MpsCoefficientObject>(self)->name.value(); }
PyObject* coefficient_value(PyObject* self) { return PyFloat_FromDouble(as<MpsCoefficientObject>(self)->value); }

PyGetSetDef coefficient_getset[] = {
    ONDREL_GETTER("name", coefficient_name),
    ONDREL_GETTER("value", coefficient_value),
    ONDREL_GETTERS_END,
};

// MpsObjective: name, coefficients.

PyObject* objective_name(PyObject* self) { return as<MpsObjectiveObject>(self)->name.value(); }
PyObject* objective_coefficients(PyObject* self) { return same_object(as<MpsObjectiveObject>(self)->coefficients); }

PyGetSetDef objective_getset[] = {
    ONDREL_GETTER("name", objective_name),
    ONDREL_GETTER("coefficients", objective_coefficients),
    ONDREL_GETTERS_END,
};

// MpsVariable: name, cat, lowBound, upBound, varValue, dj.

PyObject* variable_name(PyObject* self) { return as<MpsVariableObject>(self)->name.value(); }
PyObject* variable_cat(PyObject* self) {
    return as<MpsVariableObject>(self)->integer ? PyUnicode_FromStringAndSize("Integer", 7)
                                                : PyUnicode_FromStringAndSize("Continuous", 10);
}
PyObject* variable_low(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasLow, v->low);
}
PyObject* variable_up(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasUp, v->up);
}
PyObject* variable_value(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasValue, v->value);
}
PyObject* variable_dj(PyObject* self) {
    auto* v = as<MpsVariableObject>(self);
    return optional_float(v->present & kHasDj, v->dj);
}

PyGetSetDef variable_getset[] = {
    ONDREL_GETTER("name", variable_name),
    ONDREL_GETTER("cat", variable_cat),
    ONDREL_GETTER("lowBound", variable_low),
    ONDREL_GETTER("upBound", variable_up),
    ONDREL_GETTER("varValue", variable_value),
    ONDREL_GETTER("dj", variable_dj),
    ONDREL_GETTERS_END,
};

// MpsConstraint: name, sense, coefficients, pi, constant.

PyObject* constraint_name(PyObject* self) { return as<MpsConstraintObject>(self)->name.value(); }
PyObject* constraint_sense(PyObject* self) { return PyLong_FromLong(as<MpsConstraintObject>(self)->sense); }
PyObject* constraint_coefficients(PyObject* self) {
    return same_object(as<MpsConstraintObject>(self)->coefficients);
}
PyObject* constraint_pi(PyObject* self) {
    auto* c = as<MpsConstraintObject>(self);
    return optional_float(c->has_pi, c->pi);
}
PyObject* constraint_constant(PyObject* self) { return PyFloat_FromDouble(as<MpsConstraintObject>(self)->constant); }

PyGetSetDef constraint_getset[] = {
    ONDREL_GETTER("name", constraint_name),
    ONDREL_GETTER("sense", constraint_sense),
    ONDREL_GETTER("coefficients", constraint_coefficients),
    ONDREL_GETTER("pi", constraint_pi),
    ONDREL_GETTER("constant", constraint_constant),
    ONDREL_GETTERS_END,
};

// MpsResult: parameters, objective, variables, constraints, sos1, sos2.

PyObject* result_parameters(PyObject* self) { return same_object(as<MpsResultObject>(self)->parameters); }
PyObject* result_objective(PyObject* self) { return same_object(as<MpsResultObject>(self)->objective); }
PyObject* result_variables(PyObject* self) { return same_object(as<MpsResultObject>(self)->variables); }
PyObject* result_constraints(PyObject* self) { return same_object(as<MpsResultObject>(self)->constraints); }
PyObject* result_sos1(PyObject* self) { return same_object(as<MpsResultObject>(self)->sos1); }
PyObject* result_sos2(PyObject* self) { return same_object(as<MpsResultObject>(self)->sos2); }

PyGetSetDef result_getset[] = {
    ONDREL_GETTER("parameters", result_parameters),
    ONDREL_GETTER("objective", result_objective),
    ONDREL_GETTER("variables", result_variables),
    ONDREL_GETTER("constraints", result_constraints),
    ONDREL_GETTER("sos1", result_sos1),
    ONDREL_GETTER("sos2", result_sos2),
    ONDREL_GETTERS_END,
};

// ---------------------------------------------------------------------------------------------
// Type objects: no docstring, no constructor, not subclassable, no GC, no __dict__, no weak
// references; only a deallocation slot and the read-only properties.

constexpr unsigned long kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

template <class T, PyGetSetDef* GetSet>
PyTypeObject* record_type(const char* name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<T>)},
        {Py_tp_getset, GetSet},
        {0, nullptr},
    };
    static PyType_Spec spec{
        .name = name,
        .basicsize = static_cast<int>(sizeof(T)),
        .itemsize = 0,
        .flags = kRecordFlags,
        .slots = slots,
    };
    static PyTypeObject* cell = nullptr;
    return cached_type(cell, spec);
}

// ---------------------------------------------------------------------------------------------
// Building. Every failure throws PythonErrorSet with the Python exception set; whatever was
// built so far is released on the way out.

PyTypeObject* type_or_throw(PyTypeObject* tp) {
    if (tp == nullptr) throw PythonErrorSet{};
    return tp;
}

// Allocates a record of type tp; every field is set by the caller right after.
template <class T>
T* new_record(PyTypeObject* tp) {
    PyObject* o = allocate_instance(tp);
    if (o == nullptr) throw PythonErrorSet{};
    return as<T>(o);
}

PyObject* record_object(void* record) noexcept { return static_cast<PyObject*>(record); }

PyRef new_list(std::size_t n) {
    PyRef l = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!l) throw PythonErrorSet{};
    return l;
}

struct RecordTypes {
    PyTypeObject* parameters = type_or_throw(mps_parameters_type());
    PyTypeObject* coefficient = type_or_throw(mps_coefficient_type());
    PyTypeObject* objective = type_or_throw(mps_objective_type());
    PyTypeObject* variable = type_or_throw(mps_variable_type());
    PyTypeObject* constraint = type_or_throw(mps_constraint_type());
    PyTypeObject* result = type_or_throw(mps_result_type());
};

PyObject* new_coefficient(PyTypeObject* tp, SharedName* name, double value) {
    auto* c = new_record<MpsCoefficientObject>(tp);
    new (&c->name) NameRef(name);
    c->value = value;
    return record_object(c);
}

PyRef build_parameters(const RecordTypes& types, SharedName* problem_name, std::int32_t sense) {
    auto* p = new_record<MpsParametersObject>(types.parameters);
    new (&p->name) NameRef(problem_name);
    p->sense = sense;
    return PyRef::steal(record_object(p));
}

PyRef build_objective(const RecordTypes& types, io::MpsData& data, const NameSet& names, SharedName* name) {
    PyRef coefficients = new_list(data.objective.size());
    for (std::size_t i = 0; i < data.objective.size(); ++i) {
        const io::MpsObjectiveEntry& e = data.objective[i];
        PyList_SET_ITEM(coefficients.get(), static_cast<Py_ssize_t>(i),
                        new_coefficient(types.coefficient, names[e.column], e.value));
    }
    std::vector<io::MpsObjectiveEntry>().swap(data.objective);
    auto* o = new_record<MpsObjectiveObject>(types.objective);
    new (&o->name) NameRef(name);
    new (&o->coefficients) PyRef(std::move(coefficients));
    return PyRef::steal(record_object(o));
}

PyRef build_variables(const RecordTypes& types, io::MpsData& data, const NameSet& names) {
    const std::size_t ncols = data.columns.size();
    PyRef variables = new_list(ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
        const io::MpsColumnData& col = data.columns[c];
        auto* v = new_record<MpsVariableObject>(types.variable);
        new (&v->name) NameRef(names[c]);
        v->present = 0;
        v->low = v->up = v->value = v->dj = 0.0;
        if (col.lower) {
            v->present |= kHasLow;
            v->low = *col.lower;
        }
        if (col.upper) {
            v->present |= kHasUp;
            v->up = *col.upper;
        }
        v->integer = col.integer;
        PyList_SET_ITEM(variables.get(), static_cast<Py_ssize_t>(c), record_object(v));
    }
    return variables;
}

// Constraint coefficient lists: sized from the per-row counts, then filled in file order
// (column by column) through a cursor into each list's item array, so that placing a
// coefficient costs one store and never reads the list object.
std::vector<PyRef> build_row_lists(const RecordTypes& types, io::MpsData& data, const NameSet& names) {
    const std::size_t nrows = data.rows.size();
    std::vector<PyRef> row_lists(nrows);
    std::vector<PyObject**> cursor(nrows, nullptr);
    for (std::size_t r = 0; r < nrows; ++r) {
        row_lists[r] = new_list(data.rows[r].entries);
        cursor[r] = reinterpret_cast<PyListObject*>(row_lists[r].get())->ob_item;
    }
    data.entries.for_each([&](const io::MpsEntry& e) {
        *cursor[e.row]++ = new_coefficient(types.coefficient, names[e.column], e.value);
    });
    data.entries.clear();
    return row_lists;
}

// Row r is named names[first_name + r], or None with drop_names.
PyRef build_constraints(const RecordTypes& types, io::MpsData& data, const NameSet& names,
                        std::size_t first_name, bool drop_names) {
    std::vector<PyRef> row_lists = build_row_lists(types, data, names);
    const std::size_t nrows = data.rows.size();
    PyRef constraints = new_list(nrows);
    for (std::size_t r = 0; r < nrows; ++r) {
        const io::MpsRowData& row = data.rows[r];
        auto* c = new_record<MpsConstraintObject>(types.constraint);
        new (&c->name) NameRef(drop_names ? nullptr : names[first_name + r]);
        new (&c->coefficients) PyRef(std::move(row_lists[r]));
        c->has_pi = false;
        c->pi = 0.0;
        c->constant = row.constant;
        c->sense = row.sense;
        PyList_SET_ITEM(constraints.get(), static_cast<Py_ssize_t>(r), record_object(c));
    }
    return constraints;
}

}  // namespace

PyTypeObject* mps_parameters_type() {
    return record_type<MpsParametersObject, parameters_getset>("builtins.MpsParameters");
}
PyTypeObject* mps_coefficient_type() {
    return record_type<MpsCoefficientObject, coefficient_getset>("builtins.MpsCoefficient");
}
PyTypeObject* mps_objective_type() {
    return record_type<MpsObjectiveObject, objective_getset>("builtins.MpsObjective");
}
PyTypeObject* mps_variable_type() {
    return record_type<MpsVariableObject, variable_getset>("builtins.MpsVariable");
}
PyTypeObject* mps_constraint_type() {
    return record_type<MpsConstraintObject, constraint_getset>("builtins.MpsConstraint");
}
PyTypeObject* mps_result_type() {
    return record_type<MpsResultObject, result_getset>("builtins.MpsResult");
}

PyObject* build_mps_result(io::MpsData& data, std::int32_t sense, bool drop_cons_names) {
    const RecordTypes types;
    // The records cannot form reference cycles, but the lists are tracked by the cyclic
    // collector, and a hundred thousand new lists would set off collections that walk every
    // record made so far. The collector is paused for the build and its state restored after.
    struct PauseCollector {
        int was_enabled = PyGC_Disable();
        ~PauseCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;

    NameSet names;
    const std::size_t problem_name = names.add(data.names, data.problem_name);
    data.names = io::MpsNames();

    // Each part of the data is freed once its records exist.
    const std::size_t ncols = data.columns.size();
    PyRef parameters = build_parameters(types, names[problem_name], sense);
    PyRef objective = build_objective(types, data, names, drop_cons_names ? nullptr : names[data.objective_name_index()]);
    PyRef variables = build_variables(types, data, names);
    std::vector<io::MpsColumnData>().swap(data.columns);
    PyRef constraints = build_constraints(types, data, names, ncols, drop_cons_names);
    std::vector<io::MpsRowData>().swap(data.rows);
    PyRef sos1 = new_list(0);
    PyRef sos2 = new_list(0);

    auto* result = new_record<MpsResultObject>(types.result);
    new (&result->parameters) PyRef(std::move(parameters));
    new (&result->objective) PyRef(std::move(objective));
    new (&result->variables) PyRef(std::move(variables));
    new (&result->constraints) PyRef(std::move(constraints));
    new (&result->sos1) PyRef(std::move(sos1));
    new (&result->sos2) PyRef(std::move(sos2));
    return record_object(result);
}

}  // namespace ondrel::py
