// load_mps: an MPS file straight into a new Model, with what the file held.
#include "native/native_py.hpp"

#include "io/mps_loader.hpp"

namespace ondrel::py::native {

namespace {

// (count, [first names], line of the first) of a note.
PyObject* note_of(const io::MpsNameNote& note) {
    return tuple_of(to_py(std::uint64_t{note.count}), str_list(note.examples), to_py(std::uint64_t{note.first_line}));
}

// The facts of a load as a dict.
PyObject* facts_of(const io::MpsLoadFacts& facts, bool describe) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const auto put = [&](const char* key, PyObject* value) {
        PyRef v = PyRef::steal(value);
        return v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
    };
    const auto count = [](std::size_t n) { return to_py(std::uint64_t{n}); };
    const io::MpsReadNotes& n = facts.notes;
    bool ok = put("compressed", to_py(facts.compressed)) && put("bytes", to_py(facts.bytes)) && put("negated", to_py(facts.negated)) &&
              put("entries", count(facts.entries)) && put("objective_entries", count(facts.objective_entries)) &&
              put("objective_name", to_py(std::string_view(facts.objective_name))) &&
              put("ranged_rows", count(facts.ranged_rows)) && put("range_variables", count(facts.range_variables)) &&
              put("lines", count(n.lines)) && put("sections", str_list(n.sections)) &&
              put("repeated_rows", note_of(n.repeated_rows)) && put("split_columns", note_of(n.split_columns)) &&
              put("undeclared_coefficient_rows", note_of(n.undeclared_coefficient_rows)) &&
              put("undeclared_rhs_rows", note_of(n.undeclared_rhs_rows)) &&
              put("undeclared_range_rows", note_of(n.undeclared_range_rows)) &&
              put("undeclared_bound_columns", note_of(n.undeclared_bound_columns)) &&
              put("left_out_sections", note_of(n.left_out_sections)) &&
              put("automatic_rows", note_of(facts.automatic_rows));
    if (ok && describe) {
        const io::MpsLoadFacts::Summary& s = facts.summary;
        ok = put("less_equal", count(s.less_equal)) && put("equal", count(s.equal)) &&
             put("greater_equal", count(s.greater_equal)) && put("integer", count(s.integer)) &&
             put("lower_only", count(s.lower_only)) && put("upper_only", count(s.upper_only)) &&
             put("both", count(s.both)) && put("fixed", count(s.fixed)) && put("free", count(s.free)) &&
             put("empty_rows", note_of(s.empty_rows)) && put("unused_columns", note_of(s.unused_columns)) &&
             put("free_columns", note_of(s.free_columns)) && put("fixed_columns", note_of(s.fixed_columns)) &&
             put("crossed_bounds", note_of(s.crossed_bounds)) && put("open_integers", note_of(s.open_integers));
    }
    return ok ? dict.release() : nullptr;
}

constexpr char load_mps_doc[] =
    "load_mps(path, sense=None, drop_names=False, lenient=False, ranges=False, describe=False)\n--\n\n"
    "Read the MPS file at `path` (plain or gzip, \"-\" for standard input) into a new Model.\n"
    "`sense` is None (from the file) or 0 to minimise, 1 to maximise. Returns (model, facts),\n"
    "facts a dict of what the read met (notes as (count, [first names], line of the first)).\n"
    "The read is strict unless `lenient`; `ranges` reads RANGES; `describe` reads for a\n"
    "description (sections no model holds passed over, ranges noted only, a summary in the facts):\n"
    "see zemlo.load_mps.";
PyObject* load_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(load_mps_doc);
    Arg<Text> path;
    OptArg<I32> sense;
    ArgOr<Flag, false> drop_names;
    ArgOr<Flag, false> lenient;
    ArgOr<Flag, false> ranges;
    ArgOr<Flag, false> describe;
    if (!parse(sig, args, nargs, kw, path, sense, drop_names, lenient, ranges, describe)) return nullptr;
    io::MpsLoadOptions options;
    if (sense.value) {
        if (*sense.value != 0 && *sense.value != 1) raise_value("sense must be None, 0 (minimise) or 1 (maximise)");
        options.sense = static_cast<ObjSense>(*sense.value);
    }
    options.drop_names = drop_names.value;
    options.lenient = lenient.value;
    options.ranges = ranges.value;
    options.describe = describe.value;
    options.interrupt = check_signals;
    io::MpsLoadFacts facts;
    std::shared_ptr<SharedModel> model = io::load_mps_model(path.value, options, facts);
    PyRef facts_dict = PyRef::steal(facts_of(facts, options.describe));
    if (!facts_dict) return nullptr;
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
