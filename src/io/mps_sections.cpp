#include "io/mps_sections.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

#include "base/errors.hpp"
#include "format/number_parse.hpp"

namespace ondrel::io {

namespace {

// Failures. Kept out of line (and out of the flattened line loop): they run at most once.
[[noreturn, gnu::cold, gnu::noinline]] void fail(std::string_view message) { raise_runtime(std::string(message)); }

// "<message><token>", the token as it is.
[[noreturn, gnu::cold, gnu::noinline]] void fail_with(std::string_view message, std::string_view token) {
    raise_runtime(Msg() << message << token);
}

// "<SECTION> line <N>: <detail>".
[[noreturn, gnu::cold, gnu::noinline]] void fail_at(std::string_view section, std::size_t line, std::string_view detail) {
    raise_runtime(Msg() << section << " line " << line << ": " << detail);
}

// "<SECTION> line <N>: <a><b><c>": the failures of a strict read, built out of line so that the
// flattened line loop does not carry their message code.
[[noreturn, gnu::cold, gnu::noinline]] void fail_line(std::string_view section, std::size_t line, std::string_view a,
                                                      std::string_view b = {}, std::string_view c = {}) {
    raise_runtime(Msg() << section << " line " << line << ": " << a << b << c);
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_range(std::size_t line, std::string_view row, bool loader) {
    if (loader) {
        raise_runtime(Msg() << "RANGES line " << line << ": row '" << row
                            << "' has a range, which is read only with the ranges option");
    }
    raise_runtime(Msg() << "RANGES line " << line << ": ranges are not supported (row " << row << ")");
}

[[noreturn]] void raise_invalid_number() { fail("Parse error: invalid float literal"); }

// Sections whose content the records cannot express, in the order of the keywords from
// Keyword::QuadObj on: the keyword and what the first data line inside fails with.
struct UnsupportedSection {
    std::string_view keyword;
    std::string_view message;
};

constexpr UnsupportedSection kUnsupportedSections[] = {
    {"QUADOBJ", "quadratic objectives are not supported"},
    {"QMATRIX", "quadratic objectives are not supported"},
    {"QSECTION", "quadratic terms are not supported"},
    {"QCMATRIX", "quadratic constraints are not supported"},
    {"CSECTION", "conic constraints are not supported"},
    {"INDICATORS", "indicator constraints are not supported"},
};

double number_or_raise(std::string_view text) {
    double v;
    if (!parse_mps_number(text, v)) raise_invalid_number();
    return v;
}

enum class BoundType { Fr, Bv, Pl, Mi, Lo, Up, Fx, Li, Ui };

struct BoundTypeInfo {
    std::string_view code;   // as written in the file
    BoundType type;
    const char* value_name;  // the name in messages of a type that takes a value, else nullptr
};

constexpr BoundTypeInfo kBoundTypes[] = {
    {"FR", BoundType::Fr, nullptr}, {"BV", BoundType::Bv, nullptr}, {"PL", BoundType::Pl, nullptr},
    {"MI", BoundType::Mi, nullptr}, {"LO", BoundType::Lo, "Lo"},    {"UP", BoundType::Up, "Up"},
    {"FX", BoundType::Fx, "Fx"},    {"LI", BoundType::Li, "Li"},    {"UI", BoundType::Ui, "Ui"},
};

// Every code is two bytes long, so a code is compared as one 16-bit word.
constexpr unsigned code_word(std::string_view code) noexcept {
    return static_cast<unsigned char>(code[0]) | static_cast<unsigned>(static_cast<unsigned char>(code[1])) << 8;
}

const BoundTypeInfo* bound_type(std::string_view code) noexcept {
    if (code.size() != 2) return nullptr;
    const unsigned word = code_word(code);
    for (const BoundTypeInfo& b : kBoundTypes) {
        if (code_word(b.code) == word) return &b;
    }
    return nullptr;
}

// PL: the records' reading sets the lower bound to 0 as well; a loader (`loader`) leaves it, as
// solvers do, so that "LO 2" followed by "PL" (which open integer columns are written with)
// keeps 2.
void apply_bound(MpsColumnData& c, BoundType type, double v, bool loader) noexcept {
    switch (type) {
        case BoundType::Fr: c.lower.reset(); c.upper.reset(); break;
        case BoundType::Bv: c.integer = true; c.lower = 0.0; c.upper = 1.0; break;
        case BoundType::Pl:
            if (!loader) c.lower = 0.0;
            c.upper.reset();
            break;
        case BoundType::Mi: c.lower.reset(); break;
        case BoundType::Lo: c.lower = v; break;
        case BoundType::Up: c.upper = v; break;
        case BoundType::Fx: c.lower = v; c.upper = v; break;
        case BoundType::Li: c.integer = true; c.lower = v; break;
        case BoundType::Ui: c.integer = true; c.upper = v; break;
    }
}

}  // namespace

MpsSectionParser::MpsSectionParser(ParserOptions options)
    : options_(options), refuse_nan_(options.strict || options.describe) {
    tokens_.reserve(16);
}

// For a loader, before ROWS: an OBJSENSE section (the word on the same line or the next) and
// the "*SENSE:" comment line the MPS writer puts first. Returns whether the line was one of
// them. The words MAX, MAXIMIZE, MIN and MINIMIZE are taken in any case.
bool MpsSectionParser::sense_line(const Tokens& t, std::size_t line) {
    const auto word = [line](std::string_view w) -> std::optional<bool> {
        std::string upper(w);
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (upper == "MAX" || upper == "MAXIMIZE") return true;
        if (upper == "MIN" || upper == "MINIMIZE") return false;
        fail_line("OBJSENSE", line, "unknown sense '", w, "' (expected MAX, MAXIMIZE, MIN or MINIMIZE)");
    };
    if (sense_word_next_) {
        sense_word_next_ = false;
        if (t[0].starts_with("*")) {
            sense_word_next_ = true;  // a comment between the two lines
            return true;
        }
        maximize_ = word(t[0]);
        return true;
    }
    if (t[0] == "OBJSENSE") {
        if (t.size() >= 2) {
            maximize_ = word(t[1]);
        } else {
            sense_word_next_ = true;
        }
        return true;
    }
    if (t.size() == 1 && t[0] == "*SENSE:Maximize") {
        negated_maximize_ = true;
        return true;
    }
    return false;
}

// A number of a data line; a strict read names what is not one, and refuses NaN.
double MpsSectionParser::number(std::string_view section, std::string_view text, std::size_t line) const {
    double v;
    if (!parse_mps_number(text, v)) {
        if (!options_.loader) raise_invalid_number();
        fail_line(section, line, "'", text, "' is not a number");
    }
    if (refuse_nan_ && std::isnan(v)) {
        fail_line(section, line, "'", text, "' is NaN, which no model can hold");
    }
    return v;
}

void MpsSectionParser::undeclared(std::string_view section, std::size_t line, std::string_view what,
                                  std::string_view name, std::string_view where) const {
    raise_runtime(Msg() << section << " line " << line << ": " << what << " '" << name << "' is not declared in "
                        << where);
}

void MpsSectionParser::feed(std::string_view text) {
    if (stopped_) return;
    LineTokenizer lines(text, lines_before_);
    read_lines(lines);
    lines_before_ = lines.line_number();
    flush();
    // The column of the last line stays known across pieces, as a view of its kept name.
    if (has_last_column_) last_column_name_ = column_names_[column_];
}

// Flattened: the tokenizer and the handlers of the data lines are inlined into this loop, which
// runs once per line (failures stay out of line). Measured a few per cent faster than calls.
[[gnu::flatten]] void MpsSectionParser::read_lines(LineTokenizer& lines) {
    Tokens& t = tokens_;
    while (lines.next(t)) {
        if (t.empty() || t[0] == "*") continue;
        if (options_.loader && section_ == Section::None && sense_line(t, lines.line_number())) continue;
        if (const std::optional<Keyword> kw = keyword_of(t)) {
            if (queued_ != 0) flush();
            apply_keyword(*kw, t);
            if (stopped_) return;
        } else {
            data_line(t, lines.line_number());
        }
    }
}

// Keyword lines are recognised in every section. The keywords of the sections with a set or row
// name take one or two tokens; with three or more such a line is a data line (the RHS lines the
// writer produces begin with the set name RHS).
std::optional<MpsSectionParser::Keyword> MpsSectionParser::keyword_of(const Tokens& t) noexcept {
    const std::string_view first = t[0];
    const bool short_line = t.size() <= 2;
    switch (first[0]) {  // most data lines are told apart by their first byte alone
        case 'N':
            if (first == "NAME") return Keyword::Name;
            break;
        case 'R':
            if (first == "ROWS") return Keyword::Rows;
            if (first == "RHS" && short_line) return Keyword::Rhs;
            if (first == "RANGES" && short_line) return Keyword::Ranges;
            break;
        case 'C':
            if (first == "COLUMNS") return Keyword::Columns;
            if (first == "CSECTION" && short_line) return Keyword::CSection;
            break;
        case 'B':
            if (first == "BOUNDS" && short_line) return Keyword::Bounds;
            break;
        case 'E':
            if (first == "ENDATA") return Keyword::Endata;
            break;
        case 'Q':
            if (!short_line) break;
            if (first == "QUADOBJ") return Keyword::QuadObj;
            if (first == "QMATRIX") return Keyword::QMatrix;
            if (first == "QSECTION") return Keyword::QSection;
            if (first == "QCMATRIX") return Keyword::QcMatrix;
            break;
        case 'I':
            if (first == "INDICATORS" && short_line) return Keyword::Indicators;
            break;
        default: break;
    }
    return std::nullopt;
}

void MpsSectionParser::apply_keyword(Keyword kw, const Tokens& t) {
    if (options_.loader) {
        std::vector<std::string>& seen = notes_.sections;
        if (std::find(seen.begin(), seen.end(), t[0]) == seen.end()) seen.emplace_back(t[0]);
    }
    switch (kw) {
        case Keyword::Name: problem_name_.assign(t.size() >= 2 ? t[1] : std::string_view()); break;
        case Keyword::Rows:
            section_ = Section::Rows;
            rows_seen_ = true;
            break;
        case Keyword::Columns: section_ = Section::Columns; break;
        case Keyword::Rhs:
            section_ = Section::Rhs;
            rhs_named_ = t.size() == 2;
            if (rhs_named_) rhs_name_.assign(t[1]);
            break;
        case Keyword::Ranges: section_ = Section::Ranges; break;
        case Keyword::Bounds:
            section_ = Section::Bounds;
            bounds_named_ = t.size() == 2;
            if (bounds_named_) bounds_name_.assign(t[1]);
            break;
        case Keyword::Endata: stopped_ = true; break;
        default:
            section_ = Section::Unsupported;
            unsupported_ = kw;
            break;
    }
}

void MpsSectionParser::data_line(const Tokens& t, std::size_t line) {
    switch (section_) {
        case Section::None: break;  // lines before the first section are ignored
        case Section::Rows: rows_line(t, line); break;
        case Section::Columns: columns_line(t, line); break;
        case Section::Rhs: rhs_line(t, line); break;
        case Section::Ranges: ranges_line(t, line); break;
        case Section::Bounds: bounds_line(t, line); break;
        case Section::Unsupported: {
            // The table lists the keywords from QuadObj on, in the order of the enumeration.
            constexpr auto at = [](Keyword k) { return static_cast<std::size_t>(k) - static_cast<std::size_t>(Keyword::QuadObj); };
            static_assert(std::size(kUnsupportedSections) == at(Keyword::Indicators) + 1);
            static_assert(kUnsupportedSections[at(Keyword::QuadObj)].keyword == "QUADOBJ" &&
                          kUnsupportedSections[at(Keyword::QMatrix)].keyword == "QMATRIX" &&
                          kUnsupportedSections[at(Keyword::QSection)].keyword == "QSECTION" &&
                          kUnsupportedSections[at(Keyword::QcMatrix)].keyword == "QCMATRIX" &&
                          kUnsupportedSections[at(Keyword::CSection)].keyword == "CSECTION" &&
                          kUnsupportedSections[at(Keyword::Indicators)].keyword == "INDICATORS");
            const std::size_t index = at(unsupported_);
            if (options_.describe) {
                notes_.left_out_sections.add(kUnsupportedSections[index].keyword, line);
                break;
            }
            fail_at(kUnsupportedSections[index].keyword, line, kUnsupportedSections[index].message);
        }
    }
}

// ROWS: type and name. A line with a valid type but no name is rejected (the format has no
// meaning for it); the type is checked first, so a lone unknown word reports its type.
void MpsSectionParser::rows_line(const Tokens& t, std::size_t line) {
    const std::string_view type = t[0];
    std::int32_t sense = 0;
    bool objective = false;
    if (type == "N") {
        objective = true;
    } else if (type == "E") {
        sense = 0;
    } else if (type == "G") {
        sense = 1;
    } else if (type == "L") {
        sense = -1;
    } else {
        flush();  // a failure of an earlier step comes first
        if (options_.loader) fail_line("ROWS", line, "unknown row type '", type, "'");
        fail_with("Unknown row type: ", type);
    }
    if (t.size() < 2) {
        flush();
        fail_at("ROWS", line, "missing row name");
    }
    if (objective) {
        objective_name_.assign(t[1]);
    } else {
        // Queued like COLUMNS steps: a file of millions of rows looks each up in a table far
        // larger than the caches.
        Pending& q = queue_slot();
        q.kind = Pending::RowDefinition;
        q.sense = sense;
        q.line = line;
        q.lookup = NameTable::prepare(t[1]);
        row_index_.prefetch(q.lookup);
    }
}

// A row defined again keeps its position and takes the new sense, a zero constant and no
// coefficients.
void MpsSectionParser::define_row(const Pending& p) {
    const NameTable::Id id = row_index_.find(p.lookup);
    if (id != NameTable::kAbsent) {
        Row& r = rows_[id];
        if (options_.loader) notes_.repeated_rows.add(r.name, p.line);
        r.sense = p.sense;
        r.constant = 0.0;
        redefinitions_.push_back(Redefinition{id, entries_.size()});
        ranges_.erase(static_cast<std::uint32_t>(id));
        return;
    }
    if (row_index_.full()) fail("Too many rows");
    NameTable::Lookup kept = p.lookup;
    kept.name = names_.keep(p.lookup.name);
    row_index_.insert(kept);
    rows_.push_back(Row{kept.name, 0.0, p.sense});
}

// COLUMNS lines are turned into a queue of steps whose hash slots are prefetched when queued;
// the queue is worked off in order when it is full, at the end of each piece and before every
// keyword line. With the row table far larger than the caches, this overlaps the memory
// latency of many lookups instead of paying it once per coefficient. Nothing but these steps
// can change the row and column tables while COLUMNS lines are read, so the order of effects
// is the order of the file.
void MpsSectionParser::columns_line(const Tokens& t, std::size_t line) {
    if (t.size() >= 2 && t[1] == "'MARKER'") {
        if (t.size() >= 3) {
            if (t[2] == "'INTORG'") {
                integer_ = true;
            } else if (t[2] == "'INTEND'") {
                integer_ = false;
            }
        }
        return;
    }
    if (!has_last_column_ || !same_name(t[0], last_column_name_)) queue_column(t[0]);
    if (options_.strict && t.size() % 2 == 0) {
        flush();
        fail_line("COLUMNS", line, "row '", t.back(), "' has no value");
    }
    for (std::size_t k = 1; k + 1 < t.size(); k += 2) {
        double value;
        if (!parse_mps_number(t[k + 1], value) || (refuse_nan_ && std::isnan(value))) {
            flush();  // a failure of an earlier step comes first
            value = number("COLUMNS", t[k + 1], line);
        }
        Pending& p = queue_slot();
        p.value = value;
        p.line = line;
        const std::string_view row = t[k];
        if (same_name(row, objective_name_)) {
            p.kind = Pending::Objective;
        } else {
            p.kind = Pending::Row;
            p.lookup = NameTable::prepare(row);
            row_index_.prefetch(p.lookup);
        }
    }
}

void MpsSectionParser::queue_column(std::string_view name) {
    Pending& p = queue_slot();
    p.kind = integer_ ? Pending::IntegerColumn : Pending::Column;
    p.lookup = NameTable::prepare(name);
    column_index_.prefetch(p.lookup);
    last_column_name_ = name;
    has_last_column_ = true;
}

MpsSectionParser::Pending& MpsSectionParser::queue_slot() {
    if (queued_ == kQueue) flush();
    return queue_[queued_++];
}

void MpsSectionParser::flush() {
    for (std::size_t i = 0; i < queued_; ++i) {
        const Pending& p = queue_[i];
        switch (p.kind) {
            case Pending::RowDefinition: define_row(p); break;
            case Pending::Column:
            case Pending::IntegerColumn: start_column(p); break;
            case Pending::Objective: objective_.push_back(MpsObjectiveEntry{column_, p.value}); break;
            case Pending::Row: {
                const NameTable::Id r = row_index_.find(p.lookup);
                if (r != NameTable::kAbsent) {
                    entries_.push_back(MpsEntry{r, column_, p.value});
                } else if (options_.strict) {
                    queued_ = 0;
                    undeclared("COLUMNS", p.line, "row", p.lookup.name, "ROWS");
                } else if (options_.loader) {
                    notes_.undeclared_coefficient_rows.add(p.lookup.name, p.line);
                }
                break;
            }
            case Pending::RhsValue: {
                const NameTable::Id r = row_index_.find(p.lookup);
                const bool objective = r == NameTable::kAbsent && options_.loader && !objective_name_.empty() &&
                                       p.lookup.name == std::string_view(objective_name_);
                if (r == NameTable::kAbsent && !objective) {
                    if (options_.strict) {
                        queued_ = 0;
                        undeclared("RHS", p.line, "row", p.lookup.name, "ROWS");
                    }
                    if (options_.loader) notes_.undeclared_rhs_rows.add(p.lookup.name, p.line);
                    break;
                }
                double v;
                if (!parse_mps_number(p.text, v) || (refuse_nan_ && std::isnan(v))) {
                    queued_ = 0;
                    v = number("RHS", p.text, p.line);
                }
                if (objective) {
                    objective_constant_ = -v;
                } else {
                    rows_[r].constant = -v;
                }
                break;
            }
        }
    }
    queued_ = 0;
}

// A column seen before, even after other columns, keeps its first record.
void MpsSectionParser::start_column(const Pending& p) {
    NameTable::Id col = column_index_.find(p.lookup);
    if (col != NameTable::kAbsent && options_.loader) notes_.split_columns.add(column_names_[col]);
    if (col == NameTable::kAbsent) {
        if (column_index_.full()) fail("Too many columns");
        NameTable::Lookup kept = p.lookup;
        kept.name = names_.keep(p.lookup.name);
        col = column_index_.insert(kept);
        column_names_.push_back(kept.name);
        MpsColumnData c;
        c.integer = p.kind == Pending::IntegerColumn;
        columns_.push_back(c);
    }
    column_ = col;
}

bool MpsSectionParser::names_row(std::string_view name) const noexcept {
    return row_index_.find(name) != NameTable::kAbsent;
}

// A line of (row, value) pairs from its first token on: an RHS or RANGES line of a file in
// fixed columns whose set-name field was left blank. Recognised only where the reading with a
// set name takes no value (neither its second nor its fourth token names a row of the map),
// the first token names a row of the map or the objective row, and every value is a number.
bool MpsSectionParser::pairs_without_set_name(const Tokens& t) const noexcept {
    if (t.size() % 2 != 0) return false;
    if ((t.size() >= 3 && names_row(t[1])) || (t.size() >= 5 && names_row(t[3]))) return false;
    if (t[0] != objective_name_ && !names_row(t[0])) return false;
    double v;
    for (std::size_t k = 1; k < t.size(); k += 2) {
        if (!parse_mps_number(t[k], v)) return false;
    }
    return true;
}

// RHS: set name, then one or two (row, value) pairs; in an unnamed section also pairs without
// a set name. Values of unknown rows (the objective row included) are skipped without being
// parsed.
void MpsSectionParser::rhs_line(const Tokens& t, std::size_t line) {
    if (rhs_named_) {
        if (t[0] != rhs_name_) {
            flush();  // a failure of an earlier step comes first
            fail("Other RHS name was given even though name was set after RHS tag.");
        }
    } else if (pairs_without_set_name(t)) {
        for (std::size_t k = 0; k < t.size(); k += 2) rhs_value(t[k], t[k + 1], line);
        return;
    }
    if (options_.strict && (t.size() < 3 || t.size() % 2 == 0)) {
        flush();
        fail_line("RHS", line, "expected a set name and (row, value) pairs");
    }
    if (t.size() >= 3) rhs_value(t[1], t[2], line);
    if (t.size() >= 5) rhs_value(t[3], t[4], line);
}

// Queued like COLUMNS steps (the RHS lines of a large file look rows up at random); the value
// is parsed only when the row turns out to be one of the file's.
void MpsSectionParser::rhs_value(std::string_view row, std::string_view text, std::size_t line) {
    Pending& p = queue_slot();
    p.kind = Pending::RhsValue;
    p.text = text;
    p.line = line;
    p.lookup = NameTable::prepare(row);
    row_index_.prefetch(p.lookup);
}

// RANGES: the lines an RHS section would take (with or without a set name). Without the
// ranges option the records hold one sense and one constant per row, so a range for a row of
// the map fails the read; lines for unknown rows and the objective row are skipped, as in RHS.
// With it each row of the map takes the range given; a range on the objective row means
// nothing and is passed over.
void MpsSectionParser::ranges_line(const Tokens& t, std::size_t line) {
    if (options_.ranges) {
        const bool without_set_name = pairs_without_set_name(t);
        if (!without_set_name && options_.strict && (t.size() < 3 || t.size() % 2 == 0)) {
            fail_line("RANGES", line, "expected a set name and (row, value) pairs");
        }
        for (std::size_t k = without_set_name ? 0 : 1; k + 1 < t.size(); k += 2) read_range(t[k], t[k + 1], line);
        return;
    }
    const bool loader = options_.loader;
    if (t.size() >= 3 && names_row(t[1])) fail_range(line, t[1], loader);
    if (t.size() >= 5 && names_row(t[3])) fail_range(line, t[3], loader);
    if (options_.strict && t.size() >= 3 && t[1] != objective_name_) undeclared("RANGES", line, "row", t[1], "ROWS");
    if (!pairs_without_set_name(t)) return;
    for (std::size_t k = 0; k < t.size(); k += 2) {
        if (names_row(t[k])) fail_range(line, t[k], loader);
    }
}

void MpsSectionParser::read_range(std::string_view row, std::string_view text, std::size_t line) {
    const NameTable::Id r = row_index_.find(row);
    if (r == NameTable::kAbsent) {
        if (row == objective_name_) {
            if (options_.strict) number("RANGES", text, line);
            return;
        }
        if (options_.strict) undeclared("RANGES", line, "row", row, "ROWS");
        notes_.undeclared_range_rows.add(row, line);
        return;
    }
    const double v = number("RANGES", text, line);
    // Readers differ on a second range for a row (the first or the last may win): a strict read
    // refuses it, a lenient one takes the last, as RHS does.
    const auto [at, added] = ranges_.try_emplace(static_cast<std::uint32_t>(r), v);
    if (!added) {
        if (options_.strict) fail_line("RANGES", line, "row '", row, "' has a range already");
        at->second = v;
    }
}

// BOUNDS: type, set name, column, value. In an unnamed section a line may lack the set name
// (see bound_without_set_name). A line with fewer than three tokens names no column otherwise;
// it is rejected before anything else is checked. A line for an unknown column does nothing,
// whatever its type and value.
void MpsSectionParser::bounds_line(const Tokens& t, std::size_t line) {
    if (!bounds_named_ && bound_without_set_name(t, line)) return;
    if (t.size() < 3) {
        fail_at("BOUNDS", line, t.size() == 1 ? "missing bound set name and column name" : "missing column name");
    }
    if (bounds_named_ && t[1] != bounds_name_) {
        fail("Other BOUNDS name was given even though name was set after BOUNDS tag.");
    }
    const NameTable::Id col = column_index_.find(t[2]);
    const BoundTypeInfo* type = bound_type(t[0]);
    if (options_.strict) {
        if (type == nullptr) fail_line("BOUNDS", line, "unknown bound type '", t[0], "'");
        if (col == NameTable::kAbsent) undeclared("BOUNDS", line, "column", t[2], "COLUMNS");
    }
    if (col == NameTable::kAbsent) {
        if (options_.loader) notes_.undeclared_bound_columns.add(t[2], line);
        return;
    }
    if (type == nullptr) {
        if (options_.loader) fail_line("BOUNDS", line, "unknown bound type '", t[0], "'");
        fail_with("Unknown bound type: ", t[0]);
    }
    double v = 0.0;
    if (type->value_name != nullptr) {
        if (t.size() < 4) {
            if (options_.loader) fail_line("BOUNDS", line, "bound type ", t[0], " needs a value");
            fail_with("Missing value for bound type ", type->value_name);
        }
        v = options_.loader ? number("BOUNDS", t[3], line) : number_or_raise(t[3]);
    }
    apply_bound(columns_[col], type->type, v, options_.loader);
}

// A bound line of a file in fixed columns whose set-name field was left blank, applied when
// recognised: (type, column, value) for a type that takes a value, when the third token names
// no column but the second does; (type, column) for a type without value, when the second
// token names a column.
bool MpsSectionParser::bound_without_set_name(const Tokens& t, std::size_t line) {
    if (t.size() != 2 && t.size() != 3) return false;
    const BoundTypeInfo* type = bound_type(t[0]);
    if (type == nullptr || (type->value_name != nullptr) != (t.size() == 3)) return false;
    const NameTable::Id col = column_index_.find(t[1]);
    if (col == NameTable::kAbsent) return false;
    if (t.size() == 3 && column_index_.find(t[2]) != NameTable::kAbsent) return false;
    double v = 0.0;
    if (t.size() == 3) v = options_.loader ? number("BOUNDS", t[2], line) : number_or_raise(t[2]);
    apply_bound(columns_[col], type->type, v, options_.loader);
    return true;
}

MpsData MpsSectionParser::finish() {
    if (options_.strict && !rows_seen_) {
        raise_runtime(Msg() << "no ROWS section in " << lines_before_ << " lines: this is not an MPS file");
    }
    if (options_.strict && !stopped_) {
        raise_runtime(Msg() << "no ENDATA line in " << lines_before_ << " lines: the file is cut short");
    }
    // The lookup tables are done with: their memory goes back before the output is built, so
    // that a large file does not hold both at once.
    row_index_ = NameTable();
    column_index_ = NameTable();
    MpsData out;
    out.problem_name = std::move(problem_name_);
    std::size_t chars = objective_name_.size();
    for (const std::string_view n : column_names_) chars += n.size();
    for (const Row& r : rows_) chars += r.name.size();
    out.names.reserve(column_names_.size() + rows_.size() + 1, chars);
    for (const std::string_view n : column_names_) out.names.add(n);
    for (const Row& r : rows_) out.names.add(r.name);
    out.names.add(objective_name_);
    // The names are copied: their first copies go back too.
    HugeVector<std::string_view>().swap(column_names_);
    names_ = NameArena();
    out.columns = std::move(columns_);

    if (!redefinitions_.empty()) {
        // valid_from[r]: the entries of row r before this position are dropped.
        HugeVector<std::size_t> valid_from(rows_.size(), 0);
        for (const Redefinition& d : redefinitions_) valid_from[d.row] = d.from;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const MpsEntry e = entries_[i];
            if (i >= valid_from[e.row]) entries_[kept++] = e;
        }
        entries_.shrink(kept);
    }
    out.rows.resize(rows_.size());
    entries_.for_each([&](const MpsEntry& e) { ++out.rows[e.row].entries; });
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        out.rows[r].sense = rows_[r].sense;
        out.rows[r].constant = rows_[r].constant;
    }
    HugeVector<Row>().swap(rows_);
    out.entries = std::move(entries_);
    out.objective = std::move(objective_);
    out.objective_constant = objective_constant_;
    out.maximize = maximize_;
    out.negated_maximize = negated_maximize_;
    out.ranges.assign(ranges_.begin(), ranges_.end());
    std::sort(out.ranges.begin(), out.ranges.end());
    out.notes = std::move(notes_);
    out.notes.lines = lines_before_;
    return out;
}

}  // namespace ondrel::io
