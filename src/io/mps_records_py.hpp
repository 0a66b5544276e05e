// Building the records that read_mps returns.
#pragma once

#include <cstdint>

#include "io/io_py.hpp"
#include "io/mps_reader.hpp"

namespace ondrel::py {

// Builds a new MpsResult from parsed data and returns it (a new reference); a failure throws
// PythonErrorSet with the Python exception set. Takes the data apart as it goes (each part is
// freed once its records exist), so `data` is left empty.
PyObject* build_mps_result(io::MpsData& data, std::int32_t sense, bool drop_cons_names);

}  // namespace ondrel::py
