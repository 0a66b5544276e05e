// The CPLEX LP file writer: a whole model as one LP text file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "model/store.hpp"

namespace ondrel::io {

struct LpWriteOptions {
    bool mip = false;                 // write Generals/Binaries and the integer bound rules
    std::uint64_t max_length = 0;     // longest allowed variable name, in UTF-8 bytes
    std::string_view obj_name;        // label of the objective line
    std::string_view dummy_var_name;  // variable that empty constraints are written with; "" for none
    InterruptCheck interrupt = nullptr;  // called between blocks of output
    // Files every reader takes the same way (off: the module's own write_lp):
    // `lp_names` refuses, before the file is created, a name the file would hold that an LP
    // file cannot carry (RuntimeError, see lp_name_problem); `constant_column` writes the
    // objective's constant as a column fixed at 1 (see kConstantColumn); `objective_term`
    // writes an objective without terms (or a model without objective) with a zero term, where
    // a label alone is refused.
    bool lp_names = false;
    bool constant_column = false;
    bool objective_term = false;
};

// Writes the model to `path` as a CPLEX LP file, holding the store's lock for the whole write.
//
// Before anything is created: the repeated-name and name-length checks (RuntimeError), the
// line-break check of every text the file would hold (RuntimeError, see has_line_break), then
// every objective term must name a variable (ValueError "Variable id ... is out of range").
// Then the file is created or truncated ("Cannot create file: ..." on failure) and written
// section by section. A model without objective fails with ValueError "No objective set"
// after the header and sense lines; a failed write reports the system's error text. On every
// failure the file keeps what was produced before it.
//
// Returns the ids of the used variables that name a variable, ascending: the variables the
// file mentions.
std::vector<VarId> write_lp_file(SharedModel& model, std::string_view path, const LpWriteOptions& options);

// The same, setting `constant_column` to the name of the column that carries the objective's
// constant (LpWriteOptions::constant_column), left as it is when there is none.
std::vector<VarId> write_lp_file(SharedModel& model, std::string_view path, const LpWriteOptions& options,
                                 std::string& constant_column);

}  // namespace ondrel::io
