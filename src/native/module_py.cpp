// The module definition of zemlo._native: its types and functions.
#include "native/native_py.hpp"

namespace ondrel::py::native {

namespace {

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (!init_model_type()) return -1;
    if (add_type(module, "Var", var_type()) < 0 || add_type(module, "Expr", lin_expr_type()) < 0 ||
        add_type(module, "LinearConstraint", lin_constraint_type()) < 0 || add_type(module, "Row", row_type()) < 0 ||
        add_type(module, "Array", array_type()) < 0 || add_type(module, "VarArray", var_array_type()) < 0)
        return -1;
    if (PyModule_AddFunctions(module, native_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, var_array_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, load_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, load_lp_functions) < 0) return -1;
    return PyModule_AddFunctions(module, write_functions);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&Guard<exec_module>::call)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "The native side of zemlo's modelling layer, on the same core as zemlo._ondrel.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace ondrel::py::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ondrel::py::native::module_def); }
