// MPS file reader: the data it returns and the reading loop over a file or another source of
// bytes. Plain C++, no Python.
//
// The reader is token based: every line is split at white space (io/mps_tokens.hpp), so fields
// need not sit in fixed columns. The sections are read by io/mps_sections.hpp; the result is
// plain data (names copied into one compact table, numbers as doubles). Nothing in here can
// read outside the given buffer, whatever bytes it holds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/interrupt.hpp"
#include "base/name_list.hpp"

namespace ondrel::io {

struct MpsColumnData {
    std::optional<double> lower = 0.0;  // absent: unbounded below
    std::optional<double> upper;        // absent: unbounded above
    bool integer = false;               // category "Integer", else "Continuous"
};

struct MpsRowData {
    std::int32_t sense = 0;    // -1 for "L", 0 for "E", 1 for "G"
    double constant = 0.0;     // negated right-hand side
    std::size_t entries = 0;   // number of coefficients of this row in MpsData::entries
};

// One row coefficient, in file order.
struct MpsEntry {
    std::uint32_t row;
    std::uint32_t column;
    double value;
};

// One objective coefficient, in file order.
struct MpsObjectiveEntry {
    std::uint32_t column;
    double value;
};

// Row coefficients in file order, in chunks of a fixed size: appending never moves what is
// stored, so a file of millions of coefficients is written to memory once.
class MpsEntries {
public:
    MpsEntries() = default;
    MpsEntries(MpsEntries&&) noexcept = default;
    MpsEntries& operator=(MpsEntries&&) noexcept = default;

    std::size_t size() const noexcept { return size_; }
    MpsEntry& operator[](std::size_t i) noexcept { return chunks_[i >> kShift][i & kMask]; }
    const MpsEntry& operator[](std::size_t i) const noexcept { return chunks_[i >> kShift][i & kMask]; }

    void push_back(const MpsEntry& e) {
        if (left_ == 0) add_chunk();
        *next_++ = e;
        --left_;
        ++size_;
    }
    // Keeps the first n entries (n <= size()); no appending afterwards.
    void shrink(std::size_t n) {
        size_ = n;
        chunks_.resize((n + kMask) >> kShift);
        next_ = nullptr;
        left_ = 0;
    }
    void clear() noexcept {
        chunks_.clear();
        size_ = 0;
        next_ = nullptr;
        left_ = 0;
    }
    // Calls f(entry) for every entry, in order, freeing each chunk once it is done; the
    // container is empty afterwards (also when f throws).
    template <class F>
    void drain(F&& f) {
        std::size_t left = size_;
        try {
            for (auto& chunk : chunks_) {
                const std::size_t n = left < kChunk ? left : kChunk;
                for (std::size_t i = 0; i < n; ++i) f(chunk[i]);
                left -= n;
                chunk.reset();
            }
        } catch (...) {
            clear();
            throw;
        }
        clear();
    }
    // Calls f(entry) for every entry, in order.
    template <class F>
    void for_each(F&& f) const {
        std::size_t left = size_;
        for (const auto& chunk : chunks_) {
            const std::size_t n = left < kChunk ? left : kChunk;
            for (std::size_t i = 0; i < n; ++i) f(chunk[i]);
            left -= n;
        }
    }

private:
    static constexpr std::size_t kShift = 17;  // 131072 entries, one 2 MiB page per chunk
    static constexpr std::size_t kChunk = std::size_t{1} << kShift;
    static constexpr std::size_t kMask = kChunk - 1;
    static_assert(kChunk * sizeof(MpsEntry) == kHugePage);
    struct HugeDelete {
        void operator()(MpsEntry* p) const noexcept { release_huge(p, kChunk * sizeof(MpsEntry)); }
    };
    void add_chunk() {
        // The first chunk in small pages, touched only as far as it is filled: a small file
        // does not have a whole 2 MiB page cleared for it. Later chunks are filled whole.
        const std::size_t bytes = kChunk * sizeof(MpsEntry);
        chunks_.reserve(chunks_.size() + 1);  // so that the block cannot be left unowned
        chunks_.emplace_back(static_cast<MpsEntry*>(chunks_.empty() ? allocate_pages(bytes) : allocate_huge(bytes)));
        next_ = chunks_.back().get();
        left_ = kChunk;
    }
    std::vector<std::unique_ptr<MpsEntry[], HugeDelete>> chunks_;
    std::size_t size_ = 0;
    MpsEntry* next_ = nullptr;
    std::size_t left_ = 0;
};

// Something a read met a number of times, with the first few names it met it for.
struct MpsNameNote {
    static constexpr std::size_t kExamples = 5;
    std::size_t count = 0;
    std::size_t first_line = 0;  // the line of the first one, where the parser knows it
    std::vector<std::string> examples;

    void add(std::string_view name, std::size_t line = 0) {
        if (count++ == 0) first_line = line;
        if (examples.size() < kExamples && std::find(examples.begin(), examples.end(), name) == examples.end()) {
            examples.emplace_back(name);
        }
    }
};

// What a loader's read met besides the model (ParserOptions::loader): the section keywords in
// order of first appearance, the rows defined again, the columns whose lines come in separate
// runs, what a lenient read passed over, and the data lines of the sections a describing read
// left out.
struct MpsReadNotes {
    std::size_t lines = 0;
    std::vector<std::string> sections;
    MpsNameNote repeated_rows;
    MpsNameNote split_columns;
    MpsNameNote undeclared_coefficient_rows;  // COLUMNS entries of rows ROWS did not declare
    MpsNameNote undeclared_rhs_rows;
    MpsNameNote undeclared_range_rows;
    MpsNameNote undeclared_bound_columns;
    MpsNameNote left_out_sections;            // describing read: one per data line, named by section
};

struct MpsData {
    std::string problem_name;
    // Column i is names[i], row r is names[columns.size() + r], and the objective row name
    // (empty when the file has no "N" row) is the last name.
    NameList names;
    HugeVector<MpsColumnData> columns;  // in order of first appearance
    HugeVector<MpsRowData> rows;        // in order of first definition
    MpsEntries entries;                  // row coefficients; rows[r].entries of them name row r
    std::vector<MpsObjectiveEntry> objective;

    std::size_t objective_name_index() const noexcept { return columns.size() + rows.size(); }

    // What a loader reads besides (ParserOptions::loader; read_mps leaves them as they are):
    // the objective's constant, the negated right-hand side of the objective row; the sense an
    // OBJSENSE section before ROWS states (absent: none); and whether a "*SENSE:Maximize"
    // comment line before ROWS says the objective was written negated.
    double objective_constant = 0.0;
    std::optional<bool> maximize;
    bool negated_maximize = false;
    // The ranges a RANGES section gives rows (read with ParserOptions::ranges): (row, range as
    // the file gives it), by row.
    std::vector<std::pair<std::uint32_t, double>> ranges;
    MpsReadNotes notes;
};

// How the section parser reads: as read_mps does, or for a loader, which also takes the
// objective's constant and sense and notes what it met (see MpsData). A loader's read stops at
// the first line that is not UTF-8 or longer than kMaxLine bytes. A strict read refuses, naming
// the section, the line and the token, what the lenient one passes over (and notes): a row or
// column that was not declared, a number that is NaN or none at all, a file without a ROWS
// section or without ENDATA (cut short). A describing read (a loader's, for a description of the file) also passes over the
// data lines of the sections no model can hold, noting them.
// With `ranges` (a loader only) a RANGES section gives rows their ranges (MpsRowData::range);
// without it a range on a row of the file fails the read.
struct ParserOptions {
    bool loader = false;
    bool strict = false;
    bool ranges = false;
    bool describe = false;
};
inline constexpr std::size_t kMaxLine = std::size_t{1} << 20;

// A source of bytes, read in pieces.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes into buf and returns their count, 0 at the end. A failure throws
    // ondrel::Error of kind Runtime: "Cannot read file: " and the reason.
    virtual std::size_t read(char* buf, std::size_t n) = 0;
};

// Parses MPS text held in memory. The text is expected to be valid UTF-8 (the readers below
// check it), but any bytes are read safely. A malformed line throws ondrel::Error of kind
// Runtime with the reader's message.
MpsData parse_mps(std::string_view text);

// Reads MPS text from a source through a buffer of `piece` bytes (grown for longer lines),
// checking UTF-8 and parsing as it goes, so that the whole text is never held at once. The
// outcome is that of reading everything first, then checking, then parsing: a read failure
// wins, then invalid UTF-8 anywhere ("Cannot read file: stream did not contain valid UTF-8"),
// and only then a parse error; each is thrown as ondrel::Error of kind Runtime.
// `interrupt` is called after each piece read (see base/interrupt.hpp); when it throws, reading
// stops and nothing is returned.
MpsData read_mps_stream(ByteSource& source, std::size_t piece, InterruptCheck interrupt = nullptr,
                        ParserOptions options = {});

// read_mps_stream over the file at `path`, with pieces of 1 MiB (less for smaller files). A
// file that cannot be opened or read fails with "Cannot read file: " and the operating
// system's error text; a path holding a NUL character names no file and fails with "Cannot
// read file: path contains a NUL character".
MpsData read_mps_file(std::string_view path, InterruptCheck interrupt = nullptr);

}  // namespace ondrel::io
