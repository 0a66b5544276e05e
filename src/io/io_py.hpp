// The module functions for files and the record classes that read_mps returns.
#pragma once

#include "module/arguments_py.hpp"

namespace ondrel::py {

// Cached record types, or nullptr with an exception set.
PyTypeObject* mps_parameters_type();
PyTypeObject* mps_coefficient_type();
PyTypeObject* mps_objective_type();
PyTypeObject* mps_variable_type();
PyTypeObject* mps_constraint_type();
PyTypeObject* mps_result_type();

// Method-table entries of the module functions (name, guarded function, docstring).
extern PyMethodDef read_mps_def;
extern PyMethodDef write_lp_def;
extern PyMethodDef write_mps_def;

}  // namespace ondrel::py
