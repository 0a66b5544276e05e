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
#include "model/store.hpp"

namespace ondrel::io {

struct MpsLoadOptions {
    // The objective's sense; absent: from the file (an OBJSENSE section decides, else a
    // "*SENSE:Maximize" line means a maximised objective written negated, else minimise).
    std::optional<ObjSense> sense;
    bool drop_names = false;          // rows named automatically, the objective unnamed
    bool lenient = false;             // read as read_mps does: what strictness refuses is passed over
    InterruptCheck interrupt = nullptr;
};

// What the file held, for the command's description of it.
struct MpsLoadFacts {
    bool compressed = false;          // the stream was gzip
    bool negated = false;             // a maximised objective written negated, turned back
    std::size_t entries = 0;          // row coefficients
    std::size_t objective_entries = 0;
    std::string objective_name;
};

// A new store holding the file's model: the problem name; every column as a variable (its
// name, bounds, Integer or Continuous); the objective row as the objective, with the row's
// name and, as its constant, the negated right-hand side the file gives the objective row; every
// row as a constraint (name, sense, right-hand side, coefficients in file order; a column met
// again in a row adds to its coefficient). A row named like the automatic names the store gives
// (beginning with "_") is given an automatic name, so a file the writer wrote from unnamed rows
// reads back as they were.
//
// Failures: the reader's (RuntimeError, the read or parse message), and ValueError
// "row '<name>': ..." for a coefficient or right-hand side that is not a finite number.
std::shared_ptr<SharedModel> load_mps_model(std::string_view path, const MpsLoadOptions& options,
                                            MpsLoadFacts& facts);

// The same from a source of bytes (gzip told from its first bytes), read in pieces of `piece`
// bytes.
class ByteSource;
std::shared_ptr<SharedModel> load_mps_stream(ByteSource& source, std::size_t piece, const MpsLoadOptions& options,
                                             MpsLoadFacts& facts);

}  // namespace ondrel::io
