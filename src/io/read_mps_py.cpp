// read_mps(path, sense, drop_cons_names=False): read an MPS file into MpsResult records.
#include "io/io_py.hpp"
#include "io/mps_reader.hpp"
#include "io/mps_records_py.hpp"

namespace ondrel::py {

namespace {

constexpr char read_mps_doc[] =
    "read_mps(path, sense, drop_cons_names=False)\n--\n\n"
    "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it).";

PyObject* read_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = ONDREL_SIGNATURE(read_mps_doc);
    Arg<Text> path;
    Arg<I32> sense;
    ArgOr<Flag, false> drop_cons_names;
    if (!parse(sig, args, nargs, kwnames, path, sense, drop_cons_names)) return nullptr;

    // Plain data first (the file text is freed inside); records only once the whole file has
    // parsed, so a failure returns nothing partial. Failures are thrown as ondrel::Error and
    // become the RuntimeError in the binding kit.
    io::MpsData data = io::read_mps_file(path.value, check_signals);
    return build_mps_result(data, sense.value, drop_cons_names.value);
}

}  // namespace

PyMethodDef read_mps_def = ONDREL_FASTCALL("read_mps", read_mps, read_mps_doc);

}  // namespace ondrel::py
