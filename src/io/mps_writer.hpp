// The fixed-column MPS writer: one model store to one file, plus the names it used there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "base/name_list.hpp"
#include "model/store.hpp"

namespace ondrel::io {

struct MpsWriteOptions {
    std::int32_t mps_sense = 1;   // -1 maximizes, every other value minimizes
    bool mip = false;             // integer markers and the integer bound rules
    bool with_objsense = false;   // an OBJSENSE section instead of the "*SENSE:" comment
    bool rename = false;          // generated names: MODEL, OBJ, X0000000.., C0000000..
    std::string_view model_name;  // NAME line text unless renaming
    std::string_view obj_name;    // objective row name unless renaming
    InterruptCheck interrupt = nullptr;  // called between blocks of output
    // Column entries gathered per pass (16 bytes each): bounds the writer's memory.
    std::size_t entries_per_pass = std::size_t{1} << 22;
    // Files every reader takes the same way (off: the module's own write_mps):
    // `bound_open_integers` gives an integer column without an upper bound a PL line (after
    // its LO line), where readers would otherwise bound it by 1; `constant_column` writes the
    // objective's constant as a column fixed at 1 (see kConstantColumn), last of the columns.
    bool bound_open_integers = false;
    bool constant_column = false;
};

// The names a written file uses, copied so they outlive the store's lock.
struct MpsFileNames {
    NameList column_names;  // each column's own variable name, in column order
    NameList row_names;     // each constraint's own name, in stored order (none when renamed)
    std::string objective;  // the objective ("N") row
    bool renamed = false;   // the file names columns X0000000.. and rows C0000000..
    std::size_t rows = 0;   // constraint rows in the file
    std::string constant_column;  // the column carrying the objective's constant; empty: none
};

// `letter` followed by `index` in decimal, zero-padded to at least seven digits.
std::string generated_name(char letter, std::size_t index);

// Writes `core` to the file at `path` (created or truncated) as fixed-column MPS. Columns are
// the used variable ids in ascending order; ids that name no variable are left out (they can
// only come from SOS groups, which MPS does not carry). Holds the store's lock for the whole
// write.
//
// Checks come before the file is touched, in this order: repeated variable names, repeated
// constraint names (RuntimeError), an objective term whose id names no variable (ValueError),
// unless renaming a name the file would hold with a line break (RuntimeError, see
// has_line_break): columns, rows, model_name, obj_name; a path with a NUL character
// (RuntimeError "Cannot create file: ..."). Failures while writing
// raise RuntimeError with the operating system's error text and leave what was written so far.
MpsFileNames write_mps_file(SharedModel& model, std::string_view path, const MpsWriteOptions& options);

}  // namespace ondrel::io
