// load_lp: a CPLEX LP file straight into a new Model, with what the file held.
#include "native/native_py.hpp"

#include "io/lp_reader.hpp"

namespace ondrel::py::native {

namespace {

PyObject* lp_facts_of(const io::LpLoadFacts& facts) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const auto put = [&](const char* key, PyObject* value) {
        PyRef v = PyRef::steal(value);
        return v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
    };
    const auto count = [](std::size_t n) { return to_py(std::uint64_t{n}); };
    const bool ok = put("compressed", to_py(facts.compressed)) && put("bytes", to_py(facts.bytes)) &&
                    put("lines", count(facts.lines)) && put("entries", count(facts.entries)) &&
                    put("objective_entries", count(facts.objective_entries)) &&
                    put("objective_name", to_py(std::string_view(facts.objective_name))) &&
                    put("ranged_rows", count(facts.ranged_rows)) &&
                    put("range_variables", count(facts.range_variables)) && put("sections", str_list(facts.sections));
    return ok ? dict.release() : nullptr;
}

constexpr char load_lp_doc[] =
    "load_lp(path, ranges=False)\n--\n\n"
    "Read the CPLEX LP file at `path` (plain or gzip, \"-\" for standard input) into a new Model.\n"
    "Returns (model, facts), facts a dict of what the read met. `ranges` reads constraints with\n"
    "two senses as a row and a bounded variable: see zemlo.load_lp.";
PyObject* load_lp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(load_lp_doc);
    Arg<Text> path;
    ArgOr<Flag, false> ranges;
    if (!parse(sig, args, nargs, kw, path, ranges)) return nullptr;
    io::LpLoadOptions options;
    options.ranges = ranges.value;
    options.interrupt = check_signals;
    io::LpLoadFacts facts;
    std::shared_ptr<SharedModel> model = io::load_lp_model(path.value, options, facts);
    PyRef facts_dict = PyRef::steal(lp_facts_of(facts));
    if (!facts_dict) return nullptr;
    PyRef low = PyRef::steal(new_low_model(std::move(model)));
    if (!low) return nullptr;
    return tuple_of(low.release(), facts_dict.release());
}

}  // namespace

PyMethodDef load_lp_functions[] = {
    ONDREL_FASTCALL("load_lp", load_lp, load_lp_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
