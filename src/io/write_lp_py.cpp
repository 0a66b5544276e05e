// write_lp: the model as a CPLEX LP file.
#include "io/io_py.hpp"

namespace ondrel::py {

constexpr char write_lp_text[] =
    "write_lp(model, filename, mip, max_length, obj_name, dummy_var_name)\n--\n\n"
    "Write an LP file from the Model (only variables used in objective, constraints, or SOS).";
const char* const write_lp_doc = write_lp_text;

PyObject* write_lp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unbuilt<write_lp_text>(module, args, nargs, kwnames);
}

}  // namespace ondrel::py
