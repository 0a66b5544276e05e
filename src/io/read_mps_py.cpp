// read_mps(path, sense, drop_cons_names=False): read an MPS file into MpsResult records.
#include <string>

#include "io/io_py.hpp"
#include "io/mps_reader.hpp"
#include "io/mps_records_py.hpp"

namespace ondrel::py {

#define ONDREL_READ_MPS_DOC                                \
    "read_mps(path, sense, drop_cons_names=False)\n--\n\n" \
    "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it)."

extern const char read_mps_doc[] = ONDREL_READ_MPS_DOC;

namespace {
constexpr char read_mps_text[] = ONDREL_READ_MPS_DOC;
}  // namespace

PyObject* read_mps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = ONDREL_SIGNATURE(read_mps_text);
    Arg<Text> path;
    Arg<I32> sense;
    ArgOr<Flag, false> drop_cons_names;
    if (!parse(sig, args, nargs, kwnames, path, sense, drop_cons_names)) return nullptr;

    // The path goes to the operating system as a C string, which cannot hold a NUL character;
    // such a path names no file, and is reported like the other files that cannot be read.
    if (path.value.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_RuntimeError, "Cannot read file: path contains a NUL character");
        return nullptr;
    }
    const std::string file(path.value);

    // Read and parse into plain data first (the file text is freed inside); records only after
    // the whole file parsed, so a failure returns nothing partial.
    io::MpsData data;
    std::string error;
    if (!io::read_mps_file(file.c_str(), data, error)) {
        // The message may quote a token, which can hold any valid UTF-8, NUL included.
        PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(error.data(), static_cast<Py_ssize_t>(error.size()), "replace"));
        if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
        return nullptr;
    }
    return build_mps_result(data, sense.value, drop_cons_names.value);
}

}  // namespace ondrel::py
