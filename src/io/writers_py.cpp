// write_lp and write_mps: signatures registered, behaviour to come.
#include "io/io_py.hpp"

namespace ondrel::py {

constexpr char write_lp_text[] =
    "write_lp(model, filename, mip, max_length, obj_name, dummy_var_name)\n--\n\n"
    "Write an LP file from the Model (only variables used in objective, constraints, or SOS).";
const char* const write_lp_doc = write_lp_text;

PyObject* write_lp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unbuilt<write_lp_text>(module, args, nargs, kwnames);
}

constexpr char write_mps_text[] =
    "write_mps(model, filename, mps_sense, mip, with_objsense, rename, model_name, obj_name)\n--\n\n"
    "Write an MPS file from the Model (only used variable columns).\n"
    "Returns `(variable_names, constraint_names, objective_name, zemlo_names_in_column_order)`: "
    "`variable_names` are file tokens (`X0000000` when `rename`); `zemlo_names_in_column_order` are "
    "the original zemlo variable names in the same column order (for solution readback).";
const char* const write_mps_doc = write_mps_text;

PyObject* write_mps(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unbuilt<write_mps_text>(module, args, nargs, kwnames);
}

}  // namespace ondrel::py
