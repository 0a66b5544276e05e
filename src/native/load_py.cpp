// load_mps: an MPS file straight into a new Model, with what the file held.
#include "native/native_py.hpp"

#include "io/mps_loader.hpp"

namespace ondrel::py::native {

namespace {

constexpr char load_mps_doc[] =
    "load_mps(path, sense=None, drop_names=False, lenient=False)\n--\n\n"
    "Read the MPS file at `path` (plain or gzip, \"-\" for standard input) into a new Model.\n"
    "`sense` is None (from the file) or 0 to minimise, 1 to maximise. Returns (model, facts),\n"
    "facts a dict: compressed, negated, entries, objective_entries, objective_name. The read is\n"
    "strict unless `lenient`: see zemlo.load_mps.";
PyObject* load_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(load_mps_doc);
    Arg<Text> path;
    OptArg<I32> sense;
    ArgOr<Flag, false> drop_names;
    ArgOr<Flag, false> lenient;
    if (!parse(sig, args, nargs, kw, path, sense, drop_names, lenient)) return nullptr;
    io::MpsLoadOptions options;
    if (sense.value) {
        if (*sense.value != 0 && *sense.value != 1) raise_value("sense must be None, 0 (minimise) or 1 (maximise)");
        options.sense = static_cast<ObjSense>(*sense.value);
    }
    options.drop_names = drop_names.value;
    options.lenient = lenient.value;
    options.interrupt = check_signals;
    io::MpsLoadFacts facts;
    std::shared_ptr<SharedModel> model = io::load_mps_model(path.value, options, facts);
    PyRef facts_dict = PyRef::steal(PyDict_New());
    if (!facts_dict) return nullptr;
    const auto put = [&](const char* key, PyObject* value) {
        PyRef v = PyRef::steal(value);
        return v && PyDict_SetItemString(facts_dict.get(), key, v.get()) == 0;
    };
    if (!put("compressed", to_py(facts.compressed)) || !put("negated", to_py(facts.negated)) ||
        !put("entries", to_py(std::uint64_t{facts.entries})) ||
        !put("objective_entries", to_py(std::uint64_t{facts.objective_entries})) ||
        !put("objective_name", to_py(std::string_view(facts.objective_name))))
        return nullptr;
    PyRef low = PyRef::steal(new_low_model(std::move(model)));
    if (!low) return nullptr;
    return tuple_of(low.release(), facts_dict.release());
}

}  // namespace

PyMethodDef load_functions[] = {
    ONDREL_FASTCALL("load_mps", load_mps, load_mps_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
