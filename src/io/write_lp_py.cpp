// write_lp: the model as a CPLEX LP file.
#include <memory>
#include <string>
#include <vector>

#include "io/io_py.hpp"
#include "io/lp_writer.hpp"
#include "module/objects_py.hpp"

namespace ondrel::py {

namespace {

constexpr char write_lp_doc[] =
    "write_lp(model, filename, mip, max_length, obj_name, dummy_var_name)\n--\n\n"
    "Write an LP file from the Model (only variables used in objective, constraints, or SOS).";

PyObject* write_lp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = ONDREL_SIGNATURE(write_lp_doc);
    Arg<ModelArg> model;
    Arg<Text> filename;
    Arg<Flag> mip;
    Arg<U64> max_length;
    Arg<Text> obj_name;
    Arg<Text> dummy_var_name;
    if (!parse(sig, args, nargs, kwnames, model, filename, mip, max_length, obj_name, dummy_var_name)) return nullptr;

    const io::LpWriteOptions options{mip.value, max_length.value, obj_name.value, dummy_var_name.value,
                                     check_signals};

    const std::shared_ptr<SharedModel> shared = model.value->model;
    const std::vector<VarId> ids = io::write_lp_file(*shared, filename.value, options);

    // The handles are made only now that the store's lock is released.
    const std::weak_ptr<SharedModel> weak = shared;
    return build_list(ids.size(), [&](std::size_t i) { return new_variable(weak, ids[i]); });
}

}  // namespace

PyMethodDef write_lp_def = ONDREL_FASTCALL("write_lp", write_lp, write_lp_doc);

}  // namespace ondrel::py
