// The six record classes that read_mps returns: their read-only properties and type objects.
// The layouts and how the records are laid out in memory: mps_record_layouts_py.hpp.
#include "io/mps_record_layouts_py.hpp"

namespace ondrel::py {

using namespace records;

namespace records {

// The deallocation slot of MpsCoefficient: the object's memory goes back with its chunk.
void coefficient_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    release_chunk(chunk_of(self));
    Py_DECREF(tp);
}

}  // namespace records

namespace {

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

PyObject* coefficient_name(PyObject* self) { return name_value(as<MpsCoefficientObject>(self)->name); }
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

template <class T, PyGetSetDef* GetSet, void (*Dealloc)(PyObject*) noexcept = destroy_instance<T>>
PyTypeObject* record_type(const char* name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
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


}  // namespace

PyTypeObject* mps_parameters_type() {
    return record_type<MpsParametersObject, parameters_getset>("builtins.MpsParameters");
}
PyTypeObject* mps_coefficient_type() {
    return record_type<MpsCoefficientObject, coefficient_getset, coefficient_dealloc>("builtins.MpsCoefficient");
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


}  // namespace ondrel::py
