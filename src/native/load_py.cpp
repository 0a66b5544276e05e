// load_mps: an MPS file straight into a new Model, with what the file held.
#include "native/native_py.hpp"

#include <utility>

#include "io/mps_loader.hpp"

namespace ondrel::py::native {

namespace {

// (count, [first names], line of the first) of a note.
PyObject* note_of(const io::MpsNameNote& note) {
    return tuple_of(to_py(std::uint64_t{note.count}), str_list(note.examples), to_py(std::uint64_t{note.first_line}));
}

bool put_summary(PyObject* dict, const io::MpsLoadFacts::Summary& s);

// The facts of a load as a dict: counts, texts and notes, by key.
PyObject* facts_of(const io::MpsLoadFacts& facts, bool describe) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const auto put = [&](const char* key, PyObject* value) {
        PyRef v = PyRef::steal(value);
        return v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
    };
    const io::MpsReadNotes& n = facts.notes;
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"bytes", facts.bytes}, {"entries", facts.entries}, {"objective_entries", facts.objective_entries},
        {"ranged_rows", facts.ranged_rows}, {"range_variables", facts.range_variables}, {"lines", n.lines}};
    const std::pair<const char*, const io::MpsNameNote*> notes[] = {
        {"repeated_rows", &n.repeated_rows}, {"split_columns", &n.split_columns},
        {"undeclared_coefficient_rows", &n.undeclared_coefficient_rows},
        {"undeclared_rhs_rows", &n.undeclared_rhs_rows}, {"undeclared_range_rows", &n.undeclared_range_rows},
        {"undeclared_bound_columns", &n.undeclared_bound_columns}, {"left_out_sections", &n.left_out_sections},
        {"automatic_rows", &facts.automatic_rows}};
    if (!put("compressed", to_py(facts.compressed)) || !put("negated", to_py(facts.negated)) ||
        !put("objective_name", to_py(std::string_view(facts.objective_name))) ||
        !put("sections", str_list(n.sections)))
        return nullptr;
    for (const auto& [key, value] : counts) {
        if (!put(key, to_py(value))) return nullptr;
    }
    for (const auto& [key, note] : notes) {
        if (!put(key, note_of(*note))) return nullptr;
    }
    if (describe && !put_summary(dict.get(), facts.summary)) return nullptr;
    return dict.release();
}

// A describing load's summary into `dict`; false with a Python error set on failure.
bool put_summary(PyObject* dict, const io::MpsLoadFacts::Summary& s) {
    const auto put = [&](const char* key, PyObject* value) {
        PyRef v = PyRef::steal(value);
        return v && PyDict_SetItemString(dict, key, v.get()) == 0;
    };
    const std::pair<const char*, std::uint64_t> summary_counts[] = {
        {"less_equal", s.less_equal}, {"equal", s.equal}, {"greater_equal", s.greater_equal},
        {"integer", s.integer}, {"lower_only", s.lower_only}, {"upper_only", s.upper_only},
        {"both", s.both}, {"fixed", s.fixed}, {"free", s.free}};
    const std::pair<const char*, const io::MpsNameNote*> summary_notes[] = {
        {"empty_rows", &s.empty_rows}, {"unused_columns", &s.unused_columns}, {"free_columns", &s.free_columns},
        {"fixed_columns", &s.fixed_columns}, {"crossed_bounds", &s.crossed_bounds},
        {"open_integers", &s.open_integers}};
    for (const auto& [key, value] : summary_counts) {
        if (!put(key, to_py(value))) return false;
    }
    for (const auto& [key, note] : summary_notes) {
        if (!put(key, note_of(*note))) return false;
    }
    return true;
}

constexpr char describe_model_doc[] =
    "describe_model(model)\n--\n\n"
    "The summary `zemlo info` gives of a model, as a dict: rows by sense (less_equal, equal,\n"
    "greater_equal), integer columns, bound kinds (lower_only, upper_only, both, fixed, free) and\n"
    "notes (count, [first names], 0) of empty rows, unused, free and fixed columns, crossed\n"
    "bounds and integer columns without an upper bound.";
PyObject* describe_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr auto sig = ONDREL_SIGNATURE(describe_model_doc);
    Arg<LowModel> model;
    if (!parse(sig, args, nargs, kw, model)) return nullptr;
    const io::MpsLoadFacts::Summary summary = io::summarize_model(*model.value);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !put_summary(dict.get(), summary)) return nullptr;
    return dict.release();
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
    ONDREL_FASTCALL("describe_model", describe_model, describe_model_doc),
    ONDREL_METHODS_END,
};

}  // namespace ondrel::py::native
