// The module definition: multi-phase initialisation with one execution step that adds the
// fourteen classes and three functions, each also listed in __all__ in the order added.
#include "io/io_py.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

// Appends `name` to the module's __all__ (creating it if needed), then sets the attribute.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Check(all.get()) == 0 || PyList_Append(all.get(), text.get()) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    return PyObject_SetAttrString(module, name, value);
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    return add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

int add_function(PyObject* module, PyMethodDef& def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef fn = PyRef::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!fn) return -1;
    return add_attribute(module, def.ml_name, fn.get());
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module initialisation expects a module object");
        return -1;
    }
    if (add_type(module, "Model", model_type()) < 0 ||
        add_type(module, "Variable", variable_type()) < 0 ||
        add_type(module, "Constraint", constraint_type()) < 0 ||
        add_type(module, "AffineExpr", affine_expr_type()) < 0 ||
        add_type(module, "Category", category_type()) < 0 ||
        add_type(module, "Sense", sense_type()) < 0 ||
        add_type(module, "ObjSense", obj_sense_type()) < 0 ||
        add_type(module, "SosKind", sos_kind_type()) < 0 ||
        add_type(module, "MpsParameters", mps_parameters_type()) < 0 ||
        add_type(module, "MpsCoefficient", mps_coefficient_type()) < 0 ||
        add_type(module, "MpsObjective", mps_objective_type()) < 0 ||
        add_type(module, "MpsVariable", mps_variable_type()) < 0 ||
        add_type(module, "MpsConstraint", mps_constraint_type()) < 0 ||
        add_type(module, "MpsResult", mps_result_type()) < 0)
        return -1;
    if (add_function(module, write_lp_def) < 0 || add_function(module, write_mps_def) < 0 ||
        add_function(module, read_mps_def) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&Guard<exec_module>::call)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_ondrel",
    .m_doc = "Python module definition. This will be exposed as `zemlo._ondrel`.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace ondrel::py

PyMODINIT_FUNC PyInit__ondrel(void) { return PyModuleDef_Init(&ondrel::py::module_def); }
