// Loading a CPLEX LP file straight into a new model store: the text read once as a stream (a
// file, a pipe, a FIFO or standard input, gzip inflated on the fly), tokenized in place and
// parsed section by section, the constraints' terms written straight into the store's term
// arena as they are read. Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "model/store.hpp"

namespace ondrel::io {

class ByteSource;

struct LpLoadOptions {
    // Read constraints with two senses ("lo <= expr <= hi") as a row and a bounded variable
    // (see load_lp_model); without this such a constraint fails the read, naming the option.
    bool ranges = false;
    InterruptCheck interrupt = nullptr;
};

// What the file held, for a description of it.
struct LpLoadFacts {
    bool compressed = false;          // the stream was gzip
    std::uint64_t bytes = 0;          // bytes read from the source (compressed ones for gzip)
    std::size_t lines = 0;            // lines read, up to the End line
    std::size_t entries = 0;          // constraint coefficients kept (repeats summed)
    std::size_t objective_entries = 0;
    std::string objective_name;       // the objective's label, "" without one
    std::size_t ranged_rows = 0;      // constraints with two senses
    std::size_t range_variables = 0;  // variables made for them
    std::vector<std::string> sections;  // the section keywords in file order, as written
};

// A new store holding the LP file's model.
//
// The first line "\* NAME *\" (as the LP writer writes it) or "\Problem name: NAME" gives the
// model its name. The objective section (Minimize, Maximize and their spellings) gives the
// sense and the objective: its label as the objective's name, its terms, and a number without
// a variable as its constant. The constraints follow "Subject To" (or "such that", "st",
// "s.t.", "st."), each with an optional label, spread over any number of lines; constants on
// the left-hand side move to the right. Variables get ids in the order the file first names
// them: in the objective, the constraints, then the Bounds, Generals, Binaries and SOS
// sections, which declare a variable they name for the first time; where the Bounds, Generals
// or Binaries section lists variables in another order (the LP writer lists them in id order),
// the variables take the order nearest to that which every listing agrees with, so a written
// model reads back with its own order. Variables are continuous in
// [0, +inf) unless the Bounds section says otherwise (a later bound line wins); Generals make
// them Integer, Binaries Integer in [0, 1]. SOS sections become SOS groups (S1:: or S2::, the
// group's label as its key). A constraint without a label, or whose label begins with "_", gets
// an automatic name, so a file written from unnamed constraints reads back as they were.
//
// With the ranges option "lo <= expr <= hi" (or with two >=) becomes, as load_mps_model reads
// RANGES, "expr - <row>_range = 0" with a new continuous variable <row>_range in [lo, hi],
// added after every variable of the file in row order (a digit appended should the name be
// taken); an interval of one point is an E row, one open on one side the L or G row of its
// finite side.
//
// Failures are RuntimeError, each naming the line and column ("line 12, column 7: ..."):
// quadratic terms, indicator constraints, semi-continuous, lazy constraint and user cut
// sections, malformed or non-finite numbers where a finite one is needed, unknown sections, a
// constraint without a sense, a constraint name used twice, a file without an objective or
// constraint section or without its End line, and lines that are not UTF-8 or longer than
// 1 MiB. Nothing is kept from a failed read.
std::shared_ptr<SharedModel> load_lp_model(std::string_view path, const LpLoadOptions& options, LpLoadFacts& facts);

// The same from a source of bytes (gzip told from its first bytes), read in pieces of `piece`
// bytes.
std::shared_ptr<SharedModel> load_lp_stream(ByteSource& source, std::size_t piece, const LpLoadOptions& options,
                                            LpLoadFacts& facts);

}  // namespace ondrel::io
