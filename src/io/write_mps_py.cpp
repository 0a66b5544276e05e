// write_mps: the model as a fixed-column MPS file, and the names used in it.
#include <memory>

#include "io/io_py.hpp"
#include "io/mps_writer.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

constexpr char write_mps_doc[] =
    "write_mps(model, filename, mps_sense, mip, with_objsense, rename, model_name, obj_name)\n--\n\n"
    "Write an MPS file from the Model (only used variable columns).\n"
    "Returns `(variable_names, constraint_names, objective_name, zemlo_names_in_column_order)`: "
    "`variable_names` are file tokens (`X0000000` when `rename`); `zemlo_names_in_column_order` are "
    "the original zemlo variable names in the same column order (for solution readback).";

PyObject* write_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = ONDREL_SIGNATURE(write_mps_doc);
    Arg<ModelArg> model;
    Arg<Text> filename;
    Arg<I32> mps_sense;
    Arg<Flag> mip, with_objsense, rename;
    Arg<Text> model_name, obj_name;
    if (!parse(sig, args, nargs, kwnames, model, filename, mps_sense, mip, with_objsense, rename,
               model_name, obj_name))
        return nullptr;

    // The text views borrow from the argument strings, which the caller keeps alive.
    io::MpsWriteOptions options;
    options.mps_sense = mps_sense.value;
    options.mip = mip.value;
    options.with_objsense = with_objsense.value;
    options.rename = rename.value;
    options.model_name = model_name.value;
    options.obj_name = obj_name.value;
    options.interrupt = check_signals;

    // The whole write runs under the store's lock; the names come back owned, and the Python
    // result is built only after the lock is released.
    const std::shared_ptr<SharedModel> store = model.value->model;
    io::MpsFileNames names = io::write_mps_file(*store, filename.value, options);
    // The rows' list first, so that their copied names are gone before the columns' lists are
    // made: a model of millions of names holds one copy of them less at its peak.
    PyRef rows = PyRef::steal(build_list(names.rows, [&](std::size_t r) {
        return names.renamed ? to_py(std::string_view(io::generated_name('C', r))) : to_py(names.row_names[r]);
    }));
    if (!rows) return nullptr;
    names.row_names = NameList();
    PyRef own = PyRef::steal(build_list(names.column_names.size(), [&](std::size_t j) {
        return to_py(names.column_names[j]);
    }));
    if (!own) return nullptr;
    // Without renaming the file names its columns by their own names: both lists hold the same
    // str objects.
    PyObject* columns = names.renamed
        ? build_list(names.column_names.size(), [&](std::size_t j) { return to_py(std::string_view(io::generated_name('X', j))); })
        : PySequence_List(own.get());
    return tuple_of(columns, rows.release(), to_py(std::string_view(names.objective)), own.release());
}

}  // namespace

PyMethodDef write_mps_def = ONDREL_FASTCALL("write_mps", write_mps, write_mps_doc);

}  // namespace ondrel::py
