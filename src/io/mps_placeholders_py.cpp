// Weak placeholders for the MPS record classes and read_mps, so the module links and reports
// NotImplementedError until the reader is in place. The reader's own definitions replace these.
#include "io/io_py.hpp"

namespace ondrel::py {

namespace {
constexpr char read_mps_text[] =
    "read_mps(path, sense, drop_cons_names=False)\n--\n\n"
    "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it).";

struct Placeholder {
    PyObject_HEAD
};

void placeholder_dealloc(PyObject* self) { destroy_instance<Placeholder>(self); }

PyType_Slot placeholder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&placeholder_dealloc)},
    {0, nullptr},
};

#define ONDREL_PLACEHOLDER_TYPE(fn, name)                                                         \
    __attribute__((weak)) PyTypeObject* fn() {                                                   \
        static PyTypeObject* cell = nullptr;                                                     \
        static PyType_Spec spec{"builtins." name, sizeof(Placeholder), 0,                        \
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,           \
                                placeholder_slots};                                              \
        return cached_type(cell, spec);                                                          \
    }
}  // namespace

ONDREL_PLACEHOLDER_TYPE(mps_parameters_type, "MpsParameters")
ONDREL_PLACEHOLDER_TYPE(mps_coefficient_type, "MpsCoefficient")
ONDREL_PLACEHOLDER_TYPE(mps_objective_type, "MpsObjective")
ONDREL_PLACEHOLDER_TYPE(mps_variable_type, "MpsVariable")
ONDREL_PLACEHOLDER_TYPE(mps_constraint_type, "MpsConstraint")
ONDREL_PLACEHOLDER_TYPE(mps_result_type, "MpsResult")

__attribute__((weak)) extern const char read_mps_doc[] =
    "read_mps(path, sense, drop_cons_names=False)\n--\n\n"
    "Parse an MPS file and return an MpsResult object (Python builds MPS dataclass from it).";

__attribute__((weak)) PyObject* read_mps(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return unbuilt<read_mps_text>(module, args, nargs, kwnames);
}

}  // namespace ondrel::py
