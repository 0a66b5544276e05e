// The query, check and copy methods of the Model class (model_queries_py.cpp), listed in the
// class's method table in model_py.cpp.
#pragma once

#include "module/objects_py.hpp"

namespace ondrel::py::model_queries {

extern const char get_variable_doc[];
extern const char list_variables_doc[];
extern const char list_constraints_doc[];
extern const char used_variable_ids_doc[];
extern const char list_variables_by_ids_doc[];
extern const char get_constraint_by_name_doc[];
extern const char get_objective_doc[];
extern const char sos_export_doc[];
extern const char variables_dict_doc[];
extern const char constraints_dict_doc[];
extern const char coefficients_doc[];
extern const char summary_doc[];
extern const char check_duplicate_vars_doc[];
extern const char check_duplicate_constraints_doc[];
extern const char check_length_vars_doc[];
extern const char copy_model_doc[];

PyObject* get_variable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* list_variables(PyObject* self);
PyObject* list_constraints(PyObject* self);
PyObject* used_variable_ids(PyObject* self);
PyObject* list_variables_by_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* get_constraint_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* get_objective(PyObject* self);
PyObject* sos_export(PyObject* self);
PyObject* variables_dict(PyObject* self);
PyObject* constraints_dict(PyObject* self);
PyObject* coefficients(PyObject* self);
PyObject* summary(PyObject* self);
PyObject* check_duplicate_vars(PyObject* self);
PyObject* check_duplicate_constraints(PyObject* self);
PyObject* check_length_vars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* copy_model(PyObject* self);

}  // namespace ondrel::py::model_queries
