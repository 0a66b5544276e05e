// write_mps: the model as a fixed-column MPS file.
#include "io/io_py.hpp"

namespace ondrel::py {

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
