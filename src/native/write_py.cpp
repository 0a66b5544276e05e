// The package's file writes: the core writers with the options that make files every reader
// takes the same way (LP names checked, the objective's constant as a fixed column, a zero
// term for an objective without terms, open integer columns bounded explicitly in MPS).
#include "native/native_py.hpp"

#include "io/lp_writer.hpp"
#include "io/mps_writer.hpp"
#include "io/safe_output.hpp"

namespace ondrel::py::native {

namespace {

PyObject* column_or_none(const std::string& name) { return name.empty() ? none() : to_py(std::string_view(name)); }

constexpr char write_lp_doc[] =
    "write_lp(model, path, mip, max_length, obj_name, dummy_var_name)\n--\n\n"
    "Write the model to `path` as a CPLEX LP file every reader takes the same way: a name an LP\n"
    "file cannot carry fails the write before the file is created (RuntimeError), the objective's\n"
    "constant is written as a column fixed at 1, an objective without terms gets a zero term.\n"
    "Returns the name of the constant's column, or None when there is none.";
PyObject* write_lp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(write_lp_doc);
    Arg<LowModel> model;
    Arg<Text> path;
    Arg<Flag> mip;
    Arg<U64> max_length;
    Arg<Text> obj_name;
    Arg<Text> dummy_var_name;
    if (!parse(sig, args, nargs, kw, model, path, mip, max_length, obj_name, dummy_var_name)) return nullptr;
    io::LpWriteOptions options;
    options.mip = mip.value;
    options.max_length = max_length.value;
    options.obj_name = obj_name.value;
    options.dummy_var_name = dummy_var_name.value;
    options.interrupt = check_signals;
    options.lp_names = true;
    options.constant_column = true;
    options.objective_term = true;
    std::string column;
    io::write_lp_file(*model.value, path.value, options, column);
    return column_or_none(column);
}

constexpr char write_mps_doc[] =
    "write_mps(model, path, mps_sense, mip, with_objsense, rename, model_name, obj_name, constant_column=True)\n"
    "--\n\n"
    "Write the model to `path` as a fixed-column MPS file every reader takes the same way: an\n"
    "integer column without an upper bound gets a PL line, and with `constant_column` the\n"
    "objective's constant is written as a column fixed at 1 (a solver run that evaluates the\n"
    "objective itself leaves it out). Returns the name of the constant's column, or None.";
PyObject* write_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(write_mps_doc);
    Arg<LowModel> model;
    Arg<Text> path;
    Arg<I32> mps_sense;
    Arg<Flag> mip, with_objsense, rename;
    Arg<Text> model_name, obj_name;
    ArgOr<Flag, true> constant_column;
    if (!parse(sig, args, nargs, kw, model, path, mps_sense, mip, with_objsense, rename, model_name, obj_name,
               constant_column))
        return nullptr;
    io::MpsWriteOptions options;
    options.mps_sense = mps_sense.value;
    options.mip = mip.value;
    options.with_objsense = with_objsense.value;
    options.rename = rename.value;
    options.model_name = model_name.value;
    options.obj_name = obj_name.value;
    options.interrupt = check_signals;
    options.bound_open_integers = true;
    options.constant_column = constant_column.value;
    const io::MpsFileNames names = io::write_mps_file(*model.value, path.value, options);
    return column_or_none(names.constant_column);
}

constexpr char lp_name_problem_doc[] =
    "lp_name_problem(name)\n--\n\n"
    "Why a CPLEX LP file cannot carry `name` as it is (worded to follow the quoted name), or None.";
PyObject* lp_name_problem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(lp_name_problem_doc);
    Arg<Text> name;
    if (!parse(sig, args, nargs, kw, name)) return nullptr;
    const std::string problem = io::lp_name_problem(name.value);
    return problem.empty() ? none() : to_py(std::string_view(problem));
}

}  // namespace

PyMethodDef write_functions[] = {
    ONDREL_FASTCALL("write_lp", write_lp, write_lp_doc),
    ONDREL_FASTCALL("write_mps", write_mps, write_mps_doc),
    ONDREL_FASTCALL("lp_name_problem", lp_name_problem, lp_name_problem_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
