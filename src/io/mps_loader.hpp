// Loading an MPS file straight into a new model store: the reader's parse (io/mps_reader.hpp)
// read once as a stream (a file, a pipe, a FIFO or standard input, gzip inflated on the fly),
// then the columns, rows and objective moved into the store without any record object.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/interrupt.hpp"
#include "io/mps_reader.hpp"
#include "model/store.hpp"

namespace ondrel::io {

struct MpsLoadOptions {
    // The objective's sense; absent: from the file (an OBJSENSE section decides, else a
    // "*SENSE:Maximize" line means a maximised objective written negated, else minimise).
    std::optional<ObjSense> sense;
    bool drop_names = false;          // rows named automatically, the objective unnamed
    bool lenient = false;             // read as read_mps does: what strictness refuses is passed over
    // Read RANGES: a ranged row becomes the row as the model can hold it (see load_mps_model);
    // without this a range on a row of the file fails the read, naming the ranges option.
    bool ranges = false;
    // For a description of the file: the data lines of sections no model can hold are passed
    // over and noted, ranges are noted but not applied, and the facts' summary is filled in.
    bool describe = false;
    InterruptCheck interrupt = nullptr;
};

// What the file held, for the command's description of it.
struct MpsLoadFacts {
    bool compressed = false;          // the stream was gzip
    std::uint64_t bytes = 0;          // bytes read from the source (compressed ones for gzip)
    bool negated = false;             // a maximised objective written negated, turned back
    std::size_t entries = 0;          // row coefficients
    std::size_t objective_entries = 0;
    std::string objective_name;
    std::size_t ranged_rows = 0;      // rows the RANGES section gives a range
    std::size_t range_variables = 0;  // variables made for them
    MpsReadNotes notes;               // what the read met besides the model
    MpsNameNote automatic_rows;       // rows named like automatic names, given automatic names

    // A describing load's summary of the model.
    struct Summary {
        std::size_t less_equal = 0, equal = 0, greater_equal = 0;
        std::size_t integer = 0;
        std::size_t lower_only = 0, upper_only = 0, both = 0, fixed = 0, free = 0;
        MpsNameNote empty_rows, unused_columns, free_columns, fixed_columns, crossed_bounds, open_integers;
    } summary;
};

// A new store holding the file's model: the problem name; every column as a variable (its
// name, bounds, Integer or Continuous); the objective row as the objective, with the row's
// name and, as its constant, the negated right-hand side the file gives the objective row; every
// row as a constraint (name, sense, right-hand side, coefficients in file order; a column met
// again in a row adds to its coefficient). A row named like the automatic names the store gives
// (beginning with "_") is given an automatic name, so a file the writer wrote from unnamed rows
// reads back as they were.
//
// With the ranges option a row with a range R and right-hand side b holds its activity between
// lo and hi: [b, b + R] (E row, R >= 0), [b + R, b] (E row, R < 0), [b - |R|, b] (L row),
// [b, b + |R|] (G row). The constraint becomes "row - <row>_range = 0" (an E row of the same
// name and coefficients, right-hand side 0) with a new continuous variable <row>_range bounded
// by [lo, hi], added after the file's columns in row order (a digit is appended to the name
// should it be taken): the variable's value is the row's activity and the row's dual is the
// ranged row's dual. An interval of one point is an E row of that right-hand side; an interval
// open on one side (an infinite range) is the L or G row of its finite side.
//
// Failures: the reader's (RuntimeError, the read or parse message), and ValueError
// "row '<name>': ..." for a coefficient or right-hand side that is not a finite number.
std::shared_ptr<SharedModel> load_mps_model(std::string_view path, const MpsLoadOptions& options,
                                            MpsLoadFacts& facts);

// The summary a describing load gives of its model, of any model: rows by sense, columns by
// category and bound kind, and the rows and columns worth a note.
MpsLoadFacts::Summary summarize_model(SharedModel& model);

// The same from a source of bytes (gzip told from its first bytes), read in pieces of `piece`
// bytes.
class ByteSource;
std::shared_ptr<SharedModel> load_mps_stream(ByteSource& source, std::size_t piece, const MpsLoadOptions& options,
                                             MpsLoadFacts& facts);

}  // namespace ondrel::io
