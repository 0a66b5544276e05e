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
    void build(const io::MpsNames& names) {
        names_.reserve(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) names_.push_back(new_shared_name(names[i]));
    }
    SharedName* operator[](std::size_t i) const noexcept { return names_[i]; }

private:
    std::vector<SharedName*> names_;
};

PyObject* name_value(const SharedName* n) {
    if (n == nullptr) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(n->text(), static_cast<Py_ssize_t>(n->size), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Layouts.

struct MpsParametersObject {
    PyObject_HEAD
    SharedName* name;
    std::int32_t sense;
};

struct MpsCoefficientObject {
    PyObject_HEAD
    SharedName* name;
    double value;
};

struct MpsObjectiveObject {
    PyObject_HEAD
    SharedName* name;  // nullptr: None
    PyObject* coefficients;
};

// Optional floats as a value plus a presence bit, to keep the record small.
enum : std::uint8_t { kHasLow = 1, kHasUp = 2, kHasValue = 4, kHasDj = 8 };

struct MpsVariableObject {
    PyObject_HEAD
    SharedName* name;
    double low, up, value, dj;
    std::uint8_t present;
    bool integer;
};

struct MpsConstraintObject {
    PyObject_HEAD
    SharedName* name;  // nullptr: None
    PyObject* coefficients;
    double pi;
    double constant;
    std::int32_t sense;
    bool has_pi;
};

struct MpsResultObject {
    PyObject_HEAD
    PyObject* parameters;
    PyObject* objective;
    PyObject* variables;
    PyObject* constraints;
    PyObject* sos1;
    PyObject* sos2;
};

template <class T>
T* as(PyObject* self) noexcept {
    return reinterpret_cast<T*>(self);
}

// Frees the instance memory and drops the instance's reference to its heap type.
void free_instance(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* optional_float(bool present, double v) {
    if (!present) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

PyObject* same_object(PyObject* o) { return Py_NewRef(o); }

// ---------------------------------------------------------------------------------------------
// MpsParameters: name, sense.

void parameters_dealloc(PyObject* self) noexcept {
    release(as<MpsParametersObject>(self)->name);
    free_instance(self);
}
PyObject* parameters_name(PyObject* self) { return name_value(as<MpsParametersObject>(self)->name); }
PyObject* parameters_sense(PyObject* self) { return PyLong_FromLong(as<MpsParametersObject>(self)->sense); }

PyGetSetDef parameters_getset[] = {
    ONDREL_GETTER("name", parameters_name),
    ONDREL_GETTER("sense", parameters_sense),
    ONDREL_GETTERS_END,
};

// MpsCoefficient: name, value.

void coefficient_dealloc(PyObject* self) noexcept {
    release(as<MpsCoefficientObject>(self)->name);
    free_instance(self);
}
PyObject* coefficient_name(PyObject* self) { return name_value(as<MpsCoefficientObject>(self)->name); }
PyObject* coefficient_value(PyObject* self) { return PyFloat_FromDouble(as<MpsCoefficientObject>(self)->value); }

PyGetSetDef coefficient_getset[] = {
    ONDREL_GETTER("name", coefficient_name),
    ONDREL_GETTER("value", coefficient_value),
    ONDREL_GETTERS_END,
};

// MpsObjective: name, coefficients.

void objective_dealloc(PyObject* self) noexcept {
    auto* o = as<MpsObjectiveObject>(self);
    release(o->name);
    Py_XDECREF(o->coefficients);
    free_instance(self);
}
PyObject* objective_name(PyObject* self) { return name_value(as<MpsObjectiveObject>(self)->name); }
PyObject* objective_coefficients(PyObject* self) { return same_object(as<MpsObjectiveObject>(self)->coefficients); }

PyGetSetDef objective_getset[] = {
    ONDREL_GETTER("name", objective_name),
    ONDREL_GETTER("coefficients", objective_coefficients),
    ONDREL_GETTERS_END,
};

// MpsVariable: name, cat, lowBound, upBound, varValue, dj.

void variable_dealloc(PyObject* self) noexcept {
    release(as<MpsVariableObject>(self)->name);
    free_instance(self);
}
PyObject* variable_name(PyObject* self) { return name_value(as<MpsVariableObject>(self)->name); }
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

void constraint_dealloc(PyObject* self) noexcept {
    auto* c = as<MpsConstraintObject>(self);
    release(c->name);
    Py_XDECREF(c->coefficients);
    free_instance(self);
}
PyObject* constraint_name(PyObject* self) { return name_value(as<MpsConstraintObject>(self)->name); }
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

void result_dealloc(PyObject* self) noexcept {
    auto* r = as<MpsResultObject>(self);
    Py_XDECREF(r->parameters);
    Py_XDECREF(r->objective);
    Py_XDECREF(r->variables);
    Py_XDECREF(r->constraints);
    Py_XDECREF(r->sos1);
    Py_XDECREF(r->sos2);
    free_instance(self);
}
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

template <class T, void (*Dealloc)(PyObject*) noexcept, PyGetSetDef* GetSet>
PyTypeObject* record_type(const char* name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
        {Py_tp_getset, GetSet},
        {0, nullptr},
    };
    static PyType_Spec spec{name, static_cast<int>(sizeof(T)), 0, kRecordFlags, slots};
    static PyTypeObject* cell = nullptr;
    return cached_type(cell, spec);
}

// Allocates a record of type tp; every field is set by the caller right after.
template <class T>
T* new_record(PyTypeObject* tp) {
    PyObject* o = allocate_instance(tp);
    if (o == nullptr) throw PythonErrorSet{};
    return as<T>(o);
}

PyObject* new_list(Py_ssize_t n) {
    PyObject* l = PyList_New(n);
    if (l == nullptr) throw PythonErrorSet{};
    return l;
}

PyObject* new_coefficient(PyTypeObject* tp, SharedName* name, double value) {
    auto* c = new_record<MpsCoefficientObject>(tp);
    c->name = retain(name);
    c->value = value;
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace

PyTypeObject* mps_parameters_type() {
    return record_type<MpsParametersObject, parameters_dealloc, parameters_getset>("builtins.MpsParameters");
}
PyTypeObject* mps_coefficient_type() {
    return record_type<MpsCoefficientObject, coefficient_dealloc, coefficient_getset>("builtins.MpsCoefficient");
}
PyTypeObject* mps_objective_type() {
    return record_type<MpsObjectiveObject, objective_dealloc, objective_getset>("builtins.MpsObjective");
}
PyTypeObject* mps_variable_type() {
    return record_type<MpsVariableObject, variable_dealloc, variable_getset>("builtins.MpsVariable");
}
PyTypeObject* mps_constraint_type() {
    return record_type<MpsConstraintObject, constraint_dealloc, constraint_getset>("builtins.MpsConstraint");
}
PyTypeObject* mps_result_type() {
    return record_type<MpsResultObject, result_dealloc, result_getset>("builtins.MpsResult");
}

PyObject* build_mps_result(io::MpsData& data, std::int32_t sense, bool drop_cons_names) {
    PyTypeObject* parameters_tp = mps_parameters_type();
    PyTypeObject* coefficient_tp = mps_coefficient_type();
    PyTypeObject* objective_tp = mps_objective_type();
    PyTypeObject* variable_tp = mps_variable_type();
    PyTypeObject* constraint_tp = mps_constraint_type();
    PyTypeObject* result_tp = mps_result_type();
    if (!parameters_tp || !coefficient_tp || !objective_tp || !variable_tp || !constraint_tp || !result_tp) {
        return nullptr;
    }
    // The records cannot form reference cycles, but the lists are tracked by the cyclic
    // collector, and a hundred thousand new lists would set off collections that walk every
    // record made so far. The collector is paused for the build and its state restored after.
    struct PauseCollector {
        int was_enabled = PyGC_Disable();
        ~PauseCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;
    try {
        const std::size_t ncols = data.columns.size();
        const std::size_t nrows = data.rows.size();

        NameSet names;
        names.build(data.names);
        data.names = io::MpsNames();

        // Parameters.
        PyRef parameters;
        {
            SharedName* problem = new_shared_name(data.problem_name);
            PyObject* o = allocate_instance(parameters_tp);
            if (o == nullptr) {
                release(problem);
                return nullptr;
            }
            auto* p = as<MpsParametersObject>(o);
            p->name = problem;  // takes the reference made above
            p->sense = sense;
            parameters = PyRef::steal(o);
        }

        // Objective with its coefficients.
        PyRef objective;
        {
            PyRef coefficients = PyRef::steal(new_list(static_cast<Py_ssize_t>(data.objective.size())));
            for (std::size_t i = 0; i < data.objective.size(); ++i) {
                const io::MpsObjectiveEntry& e = data.objective[i];
                PyList_SET_ITEM(coefficients.get(), static_cast<Py_ssize_t>(i),
                                new_coefficient(coefficient_tp, names[e.column], e.value));
            }
            std::vector<io::MpsObjectiveEntry>().swap(data.objective);
            auto* o = new_record<MpsObjectiveObject>(objective_tp);
            o->name = drop_cons_names ? nullptr : retain(names[ncols + nrows]);
            o->coefficients = coefficients.release();
            objective = PyRef::steal(reinterpret_cast<PyObject*>(o));
        }

        // Variables.
        PyRef variables = PyRef::steal(new_list(static_cast<Py_ssize_t>(ncols)));
        for (std::size_t c = 0; c < ncols; ++c) {
            const io::MpsColumnData& col = data.columns[c];
            auto* v = new_record<MpsVariableObject>(variable_tp);
            v->name = retain(names[c]);
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
            PyList_SET_ITEM(variables.get(), static_cast<Py_ssize_t>(c), reinterpret_cast<PyObject*>(v));
        }
        std::vector<io::MpsColumnData>().swap(data.columns);

        // Constraint coefficient lists: sized from the per-row counts, then filled in file order
        // (column by column) through a cursor into each list's item array, so that placing a
        // coefficient costs one store and never reads the list object.
        std::vector<PyRef> row_lists(nrows);
        std::vector<PyObject**> cursor(nrows, nullptr);
        for (std::size_t r = 0; r < nrows; ++r) {
            row_lists[r] = PyRef::steal(new_list(static_cast<Py_ssize_t>(data.rows[r].entries)));
            cursor[r] = reinterpret_cast<PyListObject*>(row_lists[r].get())->ob_item;
        }
        data.entries.for_each([&](const io::MpsEntry& e) {
            *cursor[e.row]++ = new_coefficient(coefficient_tp, names[e.column], e.value);
        });
        data.entries.clear();
        std::vector<PyObject**>().swap(cursor);

        PyRef constraints = PyRef::steal(new_list(static_cast<Py_ssize_t>(nrows)));
        for (std::size_t r = 0; r < nrows; ++r) {
            const io::MpsRowData& row = data.rows[r];
            auto* c = new_record<MpsConstraintObject>(constraint_tp);
            c->name = drop_cons_names ? nullptr : retain(names[ncols + r]);
            c->coefficients = row_lists[r].release();
            c->has_pi = false;
            c->pi = 0.0;
            c->constant = row.constant;
            c->sense = row.sense;
            PyList_SET_ITEM(constraints.get(), static_cast<Py_ssize_t>(r), reinterpret_cast<PyObject*>(c));
        }
        std::vector<io::MpsRowData>().swap(data.rows);

        PyRef sos1 = PyRef::steal(new_list(0));
        PyRef sos2 = PyRef::steal(new_list(0));
        auto* result = new_record<MpsResultObject>(result_tp);
        result->parameters = parameters.release();
        result->objective = objective.release();
        result->variables = variables.release();
        result->constraints = constraints.release();
        result->sos1 = sos1.release();
        result->sos2 = sos2.release();
        return reinterpret_cast<PyObject*>(result);
    } catch (const PythonErrorSet&) {
        return nullptr;
    }
}

}  // namespace ondrel::py
