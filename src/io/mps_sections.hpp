// The section parser of the MPS reader: keyword lines and the data lines of NAME, ROWS,
// COLUMNS (with integer markers), RHS and BOUNDS, and the refusal of the sections whose content
// the records cannot express (RANGES for a row of the file, quadratic, conic and indicator
// sections).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/name_table.hpp"
#include "io/mps_reader.hpp"
#include "io/mps_tokens.hpp"

namespace ondrel::io {

// Takes the text in pieces of whole lines (only the last piece may end without a line feed)
// and builds the model data as it goes. A malformed line throws ondrel::Error of kind Runtime;
// the parser is of no further use then. Reading stops at ENDATA: later pieces are ignored.
class MpsSectionParser {
public:
    explicit MpsSectionParser(ParserOptions options = {});
    MpsSectionParser(const MpsSectionParser&) = delete;
    MpsSectionParser& operator=(const MpsSectionParser&) = delete;

    // Reads the lines of one piece. Views into `text` are not kept past the call: names that
    // must live on are copied.
    void feed(std::string_view text);

    // Moves everything into plain owned data: names copied into one table, coefficients of
    // redefined rows dropped, per-row counts filled in. Called once, after the last piece.
    MpsData finish();

private:
    enum class Section { None, Rows, Columns, Rhs, Ranges, Bounds, Unsupported };
    // The keywords from QuadObj on name sections whose first data line fails the read.
    enum class Keyword { Name, Rows, Columns, Rhs, Ranges, Bounds, Endata, QuadObj, QMatrix, QSection, QcMatrix, CSection, Indicators };
    using Tokens = std::vector<std::string_view>;

    // 32 bytes a row: a file of millions of rows holds them all until the end of the read.
    struct Row {
        std::string_view name;  // kept in names_
        double constant;
        std::int32_t sense;
    };
    // A row defined again: its coefficients recorded before position `from` of the entry list
    // belong to the earlier definition and are dropped.
    struct Redefinition {
        std::uint32_t row;
        std::size_t from;
    };

    // One step of work that looks a name up, queued in file order: in ROWS the definition of a
    // row, in COLUMNS the start of a column's run of lines, an objective coefficient or a row
    // coefficient of the current column, in RHS a right-hand side (its text parsed only for a
    // row of the file).
    struct Pending {
        enum Kind : std::uint8_t { RowDefinition, Column, IntegerColumn, Objective, Row, RhsValue } kind;
        std::int32_t sense;     // RowDefinition
        double value;           // Objective, Row
        std::string_view text;  // RhsValue: the value's text, in the piece being read
        NameTable::Lookup lookup;
        std::size_t line;       // where the step comes from, for a strict read's messages
    };
    static constexpr std::size_t kQueue = 32;

    void read_lines(LineTokenizer& lines);
    [[gnu::noinline]] bool sense_line(const Tokens& t, std::size_t line);
    static std::optional<Keyword> keyword_of(const Tokens& t) noexcept;
    void apply_keyword(Keyword kw, const Tokens& t);
    void data_line(const Tokens& t, std::size_t line);

    void rows_line(const Tokens& t, std::size_t line);
    void define_row(const Pending& p);

    void columns_line(const Tokens& t, std::size_t line);
    void queue_column(std::string_view name);
    Pending& queue_slot();
    void flush();
    void start_column(const Pending& p);

    bool names_row(std::string_view name) const noexcept;
    bool pairs_without_set_name(const Tokens& t) const noexcept;
    void rhs_line(const Tokens& t, std::size_t line);
    void rhs_value(std::string_view row, std::string_view text, std::size_t line);
    [[gnu::noinline]] double number(std::string_view section, std::string_view text, std::size_t line) const;
    [[noreturn, gnu::cold, gnu::noinline]] void undeclared(std::string_view section, std::size_t line, std::string_view what,
                                 std::string_view name, std::string_view where) const;
    void ranges_line(const Tokens& t, std::size_t line);
    void read_range(std::string_view row, std::string_view text, std::size_t line);
    void bounds_line(const Tokens& t, std::size_t line);
    bool bound_without_set_name(const Tokens& t, std::size_t line);

    ParserOptions options_;
    bool refuse_nan_;  // a strict or describing read: no model holds NaN
    Section section_ = Section::None;
    bool sense_word_next_ = false;
    bool rows_seen_ = false;  // a ROWS keyword line was read  // OBJSENSE on its own line: the next line holds the word
    double objective_constant_ = 0.0;
    std::optional<bool> maximize_;
    bool negated_maximize_ = false;
    Keyword unsupported_ = Keyword::QuadObj;  // the keyword of an Unsupported section
    std::string problem_name_;
    std::string objective_name_;
    bool integer_ = false;  // between 'INTORG' and 'INTEND' markers
    bool rhs_named_ = false;
    bool bounds_named_ = false;
    bool stopped_ = false;  // ENDATA seen
    std::string rhs_name_;
    std::string bounds_name_;
    std::size_t lines_before_ = 0;
public:
    std::size_t lines_read() const noexcept { return lines_before_; }
private:
    Tokens tokens_;
    NameArena names_;  // the names of rows and columns, which the tables key by

    HugeVector<Row> rows_;
    NameTable row_index_;
    std::vector<Redefinition> redefinitions_;  // in file order
    std::unordered_map<std::uint32_t, double> ranges_;  // RANGES read with the ranges option, by row
    HugeVector<MpsColumnData> columns_;
    HugeVector<std::string_view> column_names_;
    NameTable column_index_;

    // The queue of lookups. last_column_name_ is the column of the last queued COLUMNS line,
    // column_ the column of the last step worked off.
    Pending queue_[kQueue];
    std::size_t queued_ = 0;
    std::string_view last_column_name_;
    bool has_last_column_ = false;
    std::uint32_t column_ = 0;

    MpsEntries entries_;
    std::vector<MpsObjectiveEntry> objective_;
    MpsReadNotes notes_;  // a loader's read only
};

}  // namespace ondrel::io
