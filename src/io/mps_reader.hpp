// MPS file reader: plain C++ over a byte buffer, no Python.
//
// The reader is token based: every line is split at white space, so fields need not sit in
// fixed columns. It understands NAME, ROWS, COLUMNS (with integer markers), RHS and BOUNDS,
// stops at ENDATA or at the end of the text, and returns plain data (names copied into one
// compact table, numbers as doubles) or an error message. Nothing in here can read outside the
// given buffer, whatever bytes it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel::io {

// All names of one parse, copied out of the file text into one block of characters.
class MpsNames {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(chars_).substr(begin, ends_[i] - begin);
    }
    void reserve(std::size_t names, std::size_t chars) {
        ends_.reserve(names);
        chars_.reserve(chars);
    }
    void add(std::string_view name) {
        chars_.append(name);
        ends_.push_back(chars_.size());
    }

private:
    std::string chars_;
    std::vector<std::size_t> ends_;
};

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
    static constexpr std::size_t kShift = 16;  // 65536 entries, 1 MiB per chunk
    static constexpr std::size_t kChunk = std::size_t{1} << kShift;
    static constexpr std::size_t kMask = kChunk - 1;
    void add_chunk() {
        chunks_.emplace_back(new MpsEntry[kChunk]);
        next_ = chunks_.back().get();
        left_ = kChunk;
    }
    std::vector<std::unique_ptr<MpsEntry[]>> chunks_;
    std::size_t size_ = 0;
    MpsEntry* next_ = nullptr;
    std::size_t left_ = 0;
};

struct MpsData {
    std::string problem_name;
    // Column i is names[i], row r is names[columns.size() + r], and the objective row name
    // (empty when the file has no "N" row) is the last name.
    MpsNames names;
    std::vector<MpsColumnData> columns;  // in order of first appearance
    std::vector<MpsRowData> rows;        // in order of first definition
    MpsEntries entries;                  // row coefficients; rows[r].entries of them name row r
    std::vector<MpsObjectiveEntry> objective;

    std::string_view column_name(std::size_t c) const noexcept { return names[c]; }
    std::string_view row_name(std::size_t r) const noexcept { return names[columns.size() + r]; }
    std::size_t objective_name_index() const noexcept { return columns.size() + rows.size(); }
    std::string_view objective_name() const noexcept { return names[objective_name_index()]; }
};

// A source of bytes, read in pieces.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Like POSIX read: up to n bytes into buf, 0 at the end, -1 on failure.
    virtual long read(char* buf, std::size_t n) = 0;
    // After a failure: the operating system's description followed by " (os error N)".
    virtual std::string error_text() const = 0;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Parses one value token: an optional sign, digits with an optional decimal point (at least
// one digit in all), an optional exponent, or inf, infinity or nan in any letter case, also
// signed. The result is the nearest double: beyond the double range it is an infinity, below
// half the smallest subnormal a zero, both of the number's sign. False for any other text.
bool parse_mps_number(std::string_view token, double& out) noexcept;

// Parses MPS text held in memory. Returns false with the message in `error` on the first
// failure, and then `out` holds no meaningful data. The text is expected to be valid UTF-8
// (the readers below check it), but any bytes are read safely.
bool parse_mps(std::string_view text, MpsData& out, std::string& error);

// Reads MPS text from a source through a buffer of `piece` bytes (grown for longer lines),
// checking UTF-8 and parsing as it goes, so that the whole text is never held at once. The
// outcome is that of reading everything first, then checking, then parsing: a read failure is
// reported as "Cannot read file: " and the source's error text, invalid UTF-8 anywhere as
// "Cannot read file: stream did not contain valid UTF-8", and only then a parse error.
bool read_mps_stream(ByteSource& source, MpsData& out, std::string& error, std::size_t piece);

// read_mps_stream over a file, with pieces of 1 MiB (less for smaller files).
bool read_mps_file(const char* path, MpsData& out, std::string& error);

namespace detail {
// Exact conversion of an already validated decimal token (no words, no sign) whose value lies
// below 1, rounded to the nearest double with ties to even. Used when the library conversion
// reports a value out of range; exposed so that the fuzzer can compare it with that
// conversion on ordinary inputs.
double exact_small_decimal(std::string_view digits_text) noexcept;
}  // namespace detail

}  // namespace ondrel::io
