// Building the records that read_mps returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/io_py.hpp"
#include "io/mps_reader.hpp"
#include "model/term_map.hpp"

namespace ondrel::py {

// Builds a new MpsResult from parsed data and returns it (a new reference); a failure throws
// PythonErrorSet with the Python exception set. Takes the data apart as it goes (each part is
// freed once its records exist), so `data` is left empty.
PyObject* build_mps_result(io::MpsData& data, std::int32_t sense, bool drop_cons_names);

// A model's parts as an MpsResult's records hold them (as read_mps made them, or as Python code
// changed its lists since): columns with their bounds and categories, the objective, and the
// rows in compressed form with ids counted from the first column. Coefficients are matched to
// columns by name. Row names are views into the records, valid while `result` lives. Raises
// TypeError (by PythonErrorSet) for an object of the wrong class and ValueError (ondrel::Error)
// for a coefficient whose name no column has.
struct MpsModelParts {
    std::vector<std::string> variable_names;
    std::vector<double> lb, ub;
    std::vector<std::uint8_t> categories;  // Category codes
    std::vector<VarId> objective_ids;
    std::vector<double> objective_coeffs;
    std::optional<std::string> objective_name;
    std::vector<std::uint64_t> starts;
    std::vector<VarId> ids;
    std::vector<double> coeffs;
    std::vector<std::uint8_t> senses;  // Sense codes
    std::vector<double> rhs;
    std::vector<std::optional<std::string_view>> row_names;
};
MpsModelParts mps_model_parts(PyObject* result);

// The argument kind of an MpsResult (borrowed).
struct MpsResultArg {
    using value_type = PyObject*;
    static bool convert(PyObject* o, PyObject*& out);
};

}  // namespace ondrel::py
