#include "io/mps_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/numeric.hpp"
#include "format/number.hpp"
#include "io/output_file.hpp"
#include "io/safe_output.hpp"
#include "model/names.hpp"

namespace ondrel::io {

std::string generated_name(char letter, std::size_t index) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, index).ptr;
    const auto n = static_cast<std::size_t>(end - digits);
    std::string s(1, letter);
    if (n < 7) s.append(7 - n, '0');
    s.append(digits, n);
    return s;
}

namespace {

// Names are padded to this many characters in the name fields.
constexpr std::size_t kNameField = 8;

// Blanks that pad `name` to kNameField characters. Names are valid UTF-8 (they came from str),
// so its characters are its bytes that are not continuation bytes (10xxxxxx).
std::size_t padding_of(std::string_view name) noexcept {
    std::size_t chars = 0;
    for (const char c : name) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars < kNameField ? kNameField - chars : 0;
}

void append_padded(std::string& s, std::string_view name) {
    s.append(name);
    s.append(padding_of(name), ' ');
}

char row_type_letter(Sense s) noexcept {
    switch (s) {
        case Sense::LessEqual: return 'L';
        case Sense::Equal: return 'E';
        case Sense::GreaterEqual: return 'G';
    }
    return 'L';
}

// Writes `text` and a newline.
void line(OutputFile& out, std::string_view text) {
    out.append(text);
    out.put('\n');
}

// Writes `a`, `b`, the MPS number text of `x` and a newline. Lines that fit the buffer are
// formatted straight into it.
void number_line(OutputFile& out, std::string_view a, std::string_view b, double x) {
    const std::size_t n = a.size() + b.size() + kNumberTextMax + 1;
    if (n <= OutputFile::kBufferSize) {
        char* p = out.room(n);
        std::memcpy(p, a.data(), a.size());
        p += a.size();
        std::memcpy(p, b.data(), b.size());
        p += b.size();
        p = format_mps_number(x, p);
        *p++ = '\n';
        out.commit(p);
        return;
    }
    // Only names of about a megabyte get here.
    out.append(a);
    out.append(b);
    char text[kNumberTextMax];
    out.append(text, static_cast<std::size_t>(format_mps_number(x, text) - text));
    out.put('\n');
}

// Column entry lines: pieces up to kShort bytes are copied with fixed-size moves (no call into
// the library per piece). The caller guarantees that kShort bytes can be read from the start of
// each piece; the extra bytes copied land in reserved room and are overwritten or left unused.
constexpr std::size_t kShort = 32;

// How many entries ahead the entry loop fetches a row's field.
constexpr std::size_t kFieldAhead = 24;

void entry_line(OutputFile& out, std::string_view a, std::string_view b, double x) {
    if (a.size() > kShort || b.size() > kShort) {
        number_line(out, a, b, x);
        return;
    }
    char* p = out.room(2 * kShort + kNumberTextMax + 1);
    std::memcpy(p, a.data(), kShort);
    p += a.size();
    std::memcpy(p, b.data(), kShort);
    p += b.size();
    p = format_mps_number(x, p);
    *p++ = '\n';
    out.commit(p);
}

struct BoundLine {
    const char* type;  // two letters
    bool has_value;
    double value;
};

// The bound lines of one column, in file order; returns how many (0 to 2). With
// `open_integers` an integer column with a lower bound and none above ends with a PL line:
// some readers bound an integer column by 1 unless a line sets its upper bound.
int bound_lines(double lb, double ub, bool integer_column, bool open_integers, BoundLine (&lines)[2]) noexcept {
    if (open_integers && integer_column && std::isfinite(lb) && ub == kInf) {
        if (lb == 0) {
            lines[0] = {"PL", false, 0.0};
            return 1;
        }
        lines[0] = {"LO", true, lb};
        lines[1] = {"PL", false, 0.0};
        return 2;
    }
    const bool lb_finite = std::isfinite(lb);
    const bool ub_finite = std::isfinite(ub);
    if (!lb_finite) {
        if (!ub_finite) {
            lines[0] = {"FR", false, 0.0};
            return 1;
        }
        lines[0] = {"MI", false, 0.0};
        lines[1] = {"UP", true, ub};
        return 2;
    }
    if (ub_finite && lb == ub) {
        lines[0] = {"FX", true, lb};
        return 1;
    }
    if (lb == 0) {  // negative zero included
        if (integer_column && ub == 1) {
            lines[0] = {"BV", false, 0.0};
            return 1;
        }
        if (ub_finite) {
            lines[0] = {"UP", true, ub};
            return 1;
        }
        if (integer_column) {
            lines[0] = {"LO", true, 0.0};
            return 1;
        }
        return 0;
    }
    lines[0] = {"LO", true, lb};
    if (!ub_finite) return 1;
    lines[1] = {"UP", true, ub};
    return 2;
}

constexpr std::string_view kMarkerStart = "    MARK      'MARKER'                 'INTORG'";
constexpr std::string_view kMarkerEnd = "    MARK      'MARKER'                 'INTEND'";

// What the steps of a write share: the store, the options, and what the preparation found.
struct MpsPlan {
    const ModelCore& core;
    const MpsWriteOptions& options;
    std::size_t n_vars;
    std::size_t n_rows;
    bool maximize;
    double objective_factor;  // -1 when a maximised objective is written negated
    // Objective coefficient lookup by variable id: slot = term position + 1, 0 for none.
    HugeVector<std::size_t> objective_slot;
    HugeVector<std::uint32_t> column_entries;  // constraint entries per variable id
    HugeVector<VarId> columns;                 // the used variables, in id order
    MpsFileNames names;

    bool in_objective(VarId v) const noexcept { return !objective_slot.empty() && objective_slot[v] != 0; }
    bool integer_column(const VariableRecord& v) const noexcept {
        return options.mip && (v.category == Category::Integer || v.category == Category::Binary);
    }
    std::string_view column_name(std::size_t j, std::string& generated) const {
        if (!options.rename) return names.column_names[j];
        generated = generated_name('X', j);
        return generated;
    }
};

// The objective's slots; an id that names no variable would lose part of the objective, so it
// fails here.
void find_objective_slots(MpsPlan& plan) {
    if (!plan.core.objective) return;
    plan.objective_slot.assign(plan.n_vars, 0);
    const TermMap& terms = plan.core.objective->terms;
    for (std::size_t k = 0; k < terms.size(); ++k) {
        if (terms[k].id >= plan.n_vars) raise_variable_id(terms[k].id, plan.n_vars);
        plan.objective_slot[terms[k].id] = k + 1;
    }
}

// Entries per column, to plan the passes that gather them; a stray id (constraints are checked
// against the variables when stored) fails before it could index past the arrays.
void count_column_entries(MpsPlan& plan) {
    plan.column_entries.assign(plan.n_vars, 0);
    for (const ConstraintRecord& c : plan.core.constraints) {
        for (const Term& t : c.terms) {
            if (t.id >= plan.n_vars) raise_variable_id(t.id, plan.n_vars);
            ++plan.column_entries[t.id];
        }
    }
}

// Columns: the variables some constraint, the objective or an SOS group uses, in id order,
// taken from the counts and the objective's slots with no second sweep over the terms. SOS
// groups are not part of the file, but their members are columns.
void find_columns(MpsPlan& plan) {
    std::vector<bool> in_sos(plan.n_vars, false);
    for (const SosGroup& g : plan.core.sos_groups) {
        for (const SosMember& m : g.members) {
            if (m.id < plan.n_vars) in_sos[m.id] = true;
        }
    }
    for (VarId v = 0; v < plan.n_vars; ++v) {
        if (plan.column_entries[v] != 0 || plan.in_objective(v) || in_sos[v]) plan.columns.push_back(v);
    }
}

// Every name the file will hold must keep to its line (has_line_break); renaming writes
// generated names only.
void check_line_breaks(const MpsPlan& plan) {
    const MpsWriteOptions& options = plan.options;
    if (options.rename) return;
    for (const VarId v : plan.columns) {
        if (has_line_break(plan.core.variables[v].name)) raise_line_break("Variable name", plan.core.variables[v].name);
    }
    for (const ConstraintRecord& c : plan.core.constraints) {
        if (has_line_break(c.name)) raise_line_break("Constraint name", c.name);
    }
    if (has_line_break(options.model_name)) raise_line_break("model_name", options.model_name);
    if (has_line_break(options.obj_name)) raise_line_break("obj_name", options.obj_name);
}

void copy_names(MpsPlan& plan) {
    const ModelCore& core = plan.core;
    MpsFileNames& names = plan.names;
    names.renamed = plan.options.rename;
    names.rows = plan.n_rows;
    names.objective = plan.options.rename ? std::string("OBJ") : std::string(plan.options.obj_name);
    std::size_t chars = 0;
    for (const VarId v : plan.columns) chars += core.variables[v].name.size();
    names.column_names.reserve(plan.columns.size(), chars);
    for (const VarId v : plan.columns) names.column_names.add(core.variables[v].name);
    if (plan.options.rename) return;
    chars = 0;
    for (const ConstraintRecord& c : core.constraints) chars += c.name.size();
    names.row_names.reserve(plan.n_rows, chars);
    for (const ConstraintRecord& c : core.constraints) names.row_names.add(c.name);
}

// Names as the entry lines write them: the name padded to 8, then the two blanks before the
// number. One flat buffer holds each row's field (its length, then its text) and last the
// objective's, with kShort bytes of slack at the end for entry_line.
class RowFields {
public:
    explicit RowFields(const MpsPlan& plan) : at_(plan.n_rows + 1, 0) {
        const bool rename = plan.options.rename;
        std::size_t total = plan.names.objective.size() + (rename ? 8 * plan.n_rows : 0);
        for (const ConstraintRecord& c : plan.core.constraints) total += rename ? 0 : c.name.size();
        fields_.reserve(total + (plan.n_rows + 1) * (sizeof(std::size_t) + kNameField + 2) + kShort);
        for (std::size_t r = 0; r < plan.n_rows; ++r) {
            at_[r] = rename ? add(generated_name('C', r)) : add(plan.names.row_names[r]);
        }
        at_[plan.n_rows] = add(plan.names.objective);
        fields_.insert(fields_.end(), kShort, ' ');
    }
    // Where row r's field is (r = n_rows: the objective's), and the field at such a place.
    std::size_t at(std::size_t r) const noexcept { return at_[r]; }
    std::string_view field(std::size_t at) const noexcept {
        std::size_t length;
        std::memcpy(&length, fields_.data() + at, sizeof length);
        return std::string_view(fields_.data() + at + sizeof length, length);
    }
    void prefetch(std::size_t at) const noexcept { __builtin_prefetch(fields_.data() + at); }

private:
    std::size_t add(std::string_view name) {
        const std::size_t at = fields_.size();
        const std::size_t blanks = padding_of(name) + 2;
        const std::size_t length = name.size() + blanks;
        fields_.resize(at + sizeof length + length);
        char* p = fields_.data() + at;
        std::memcpy(p, &length, sizeof length);
        p += sizeof length;
        if (!name.empty()) std::memcpy(p, name.data(), name.size());
        std::memset(p + name.size(), ' ', blanks);
        return at;
    }
    HugeVector<char> fields_;
    HugeVector<std::size_t> at_;
};

// The sense line or section, NAME and ROWS.
void write_head(OutputFile& out, const MpsPlan& plan) {
    const MpsWriteOptions& options = plan.options;
    if (options.with_objsense) {
        line(out, "OBJSENSE");
        line(out, plan.maximize ? " MAX" : " MIN");
    } else {
        line(out, plan.maximize ? "*SENSE:Maximize" : "*SENSE:Minimize");
    }
    out.append("NAME          ");
    line(out, options.rename ? std::string_view("MODEL") : options.model_name);

    line(out, "ROWS");
    out.append(" N  ");
    line(out, plan.names.objective);
    for (std::size_t r = 0; r < plan.n_rows; ++r) {
        const char head[] = {' ', row_type_letter(plan.core.constraints[r].sense), ' ', ' '};
        out.append(head, sizeof head);
        if (options.rename) {
            line(out, generated_name('C', r));
        } else {
            line(out, plan.names.row_names[r]);
        }
    }
}

struct ColumnEntry {
    std::size_t field;
    double coeff;
};

// Room for the largest pass of write_columns at once: growing from pass to pass would copy the
// entries and hold two buffers for a moment.
std::size_t largest_pass(const MpsPlan& plan) {
    std::size_t largest = 0, gathered = 0;
    for (VarId v = 0; v < plan.n_vars; ++v) {
        if (gathered > 0 && gathered + plan.column_entries[v] > plan.options.entries_per_pass) gathered = 0;
        gathered += plan.column_entries[v];
        largest = std::max(largest, gathered);
    }
    return largest;
}

// The lines of one column: its entries (constraints in stored order), its objective entry, in
// integer markers for an integer column.
void write_column(OutputFile& out, const MpsPlan& plan, const RowFields& fields, std::size_t j,
                  std::span<const ColumnEntry> entries, std::string& prefix) {
    const VarId v = plan.columns[j];
    const bool integer = plan.integer_column(plan.core.variables[v]);
    std::string generated;
    prefix.assign("    ");
    append_padded(prefix, plan.column_name(j, generated));
    prefix.append("  ");
    if (integer) line(out, kMarkerStart);
    for (std::size_t k = 0; k < entries.size(); ++k) {
        // Entries are written in their stored order, columns ascending, but their rows' fields
        // lie anywhere in the field buffer: fetch a later entry's now.
        if (k + kFieldAhead < entries.size()) fields.prefetch(entries[k + kFieldAhead].field);
        entry_line(out, prefix, fields.field(entries[k].field), entries[k].coeff);
    }
    if (plan.in_objective(v)) {
        const double c = plan.core.objective->terms[plan.objective_slot[v] - 1].coeff;
        entry_line(out, prefix, fields.field(fields.at(plan.n_rows)), c * plan.objective_factor);
    }
    if (integer) line(out, kMarkerEnd);
}

// COLUMNS, in passes over ranges of column ids [lo, hi): gather their entries, constraints in
// stored order within each column, then write those columns. A pass gathers at most
// entries_per_pass entries (or one column's, when that has more), in one sweep over the
// constraints, so the writer's memory stays bounded whatever the model's size.
void write_columns(OutputFile& out, const MpsPlan& plan, const RowFields& fields) {
    std::string prefix;
    prefix.reserve(2 * kShort);  // entry_line reads kShort bytes from its start
    line(out, "COLUMNS");
    HugeVector<ColumnEntry> entries;
    entries.reserve(largest_pass(plan));
    HugeVector<std::size_t> cursor;
    std::size_t j = 0;  // next column to write
    for (VarId lo = 0; lo < plan.n_vars && j < plan.columns.size();) {
        VarId hi = lo;
        std::size_t gathered = 0;
        while (hi < plan.n_vars && (hi == lo || gathered + plan.column_entries[hi] <= plan.options.entries_per_pass)) {
            gathered += plan.column_entries[hi++];
        }
        entries.resize(gathered);
        cursor.assign(hi - lo + 1, 0);
        for (VarId v = lo; v < hi; ++v) cursor[v - lo + 1] = cursor[v - lo] + plan.column_entries[v];
        const HugeVector<std::size_t> starts(cursor);
        for (std::size_t r = 0; r < plan.n_rows; ++r) {
            for (const Term& t : plan.core.constraints[r].terms) {
                if (t.id >= lo && t.id < hi) entries[cursor[t.id - lo]++] = {fields.at(r), t.coeff};
            }
        }
        check_interrupt(plan.options.interrupt);
        for (; j < plan.columns.size() && plan.columns[j] < hi; ++j) {
            const VarId v = plan.columns[j];
            const std::span<const ColumnEntry> column(entries.data() + starts[v - lo], starts[v - lo + 1] - starts[v - lo]);
            write_column(out, plan, fields, j, column, prefix);
        }
        lo = hi;
    }
}

// With MpsWriteOptions::constant_column: the column that carries the objective's constant,
// last of the columns. Returns its padded name for its bound line, empty when there is none.
std::string write_constant_column(OutputFile& out, MpsPlan& plan, const RowFields& fields) {
    const ModelCore& core = plan.core;
    if (!plan.options.constant_column || !core.objective || core.objective->constant == 0 ||
        !std::isfinite(core.objective->constant)) {
        return {};
    }
    plan.names.constant_column = plan.options.rename ? generated_name('X', plan.columns.size())
                                                     : free_variable_name(core, kConstantColumn);
    std::string padded;
    append_padded(padded, plan.names.constant_column);
    std::string prefix = "    " + padded + "  ";
    prefix.reserve(2 * kShort);
    entry_line(out, prefix, fields.field(fields.at(plan.n_rows)), core.objective->constant * plan.objective_factor);
    return padded;
}

void write_rhs(OutputFile& out, const MpsPlan& plan, const RowFields& fields) {
    line(out, "RHS");
    for (std::size_t r = 0; r < plan.n_rows; ++r) {
        const double rhs = plan.core.constraints[r].rhs;
        number_line(out, "    RHS       ", fields.field(fields.at(r)), rhs == 0 ? 0.0 : rhs);  // no "-0"
    }
}

void write_bounds(OutputFile& out, const MpsPlan& plan, std::string_view constant_column) {
    line(out, "BOUNDS");
    std::string padded, prefix, generated;
    for (std::size_t c = 0; c < plan.columns.size(); ++c) {
        const VariableRecord& var = plan.core.variables[plan.columns[c]];
        BoundLine lines[2];
        const int count =
            bound_lines(var.lb, var.ub, plan.integer_column(var), plan.options.bound_open_integers, lines);
        if (count == 0) continue;
        padded.clear();
        append_padded(padded, plan.column_name(c, generated));
        for (int i = 0; i < count; ++i) {
            prefix.assign(" ");
            prefix.append(lines[i].type, 2);
            prefix.append(" BND       ");
            prefix.append(padded);
            if (lines[i].has_value) {
                number_line(out, prefix, "  ", lines[i].value);
            } else {
                line(out, prefix);
            }
        }
    }
    if (!constant_column.empty()) {
        prefix.assign(" FX BND       ");
        prefix.append(constant_column);
        number_line(out, prefix, "  ", 1.0);
    }
}

MpsFileNames write_file(const ModelCore& core, std::string_view path, const MpsWriteOptions& options) {
    // The preparation of a model of millions of names takes a while before the first byte is
    // written: the caller may stop the write between its steps.
    check_duplicate_variable_names(core);
    check_interrupt(options.interrupt);
    check_duplicate_constraint_names(core);
    check_interrupt(options.interrupt);

    const bool maximize = options.mps_sense == -1;
    MpsPlan plan{core, options, core.variables.size(), core.constraints.size(), maximize,
                 maximize && !options.with_objsense ? -1.0 : 1.0, {}, {}, {}, {}};
    find_objective_slots(plan);
    count_column_entries(plan);
    find_columns(plan);
    check_line_breaks(plan);
    copy_names(plan);
    const RowFields fields(plan);

    OutputFile out(path, "failed to write the buffered data", options.interrupt);
    write_head(out, plan);
    write_columns(out, plan, fields);
    const std::string constant_column = write_constant_column(out, plan, fields);
    write_rhs(out, plan, fields);
    write_bounds(out, plan, constant_column);
    line(out, "ENDATA");
    out.finish();
    return std::move(plan.names);
}

}  // namespace

MpsFileNames write_mps_file(SharedModel& model, std::string_view path, const MpsWriteOptions& options) {
    return with_core(model, [&](const ModelCore& core) { return write_file(core, path, options); });
}

}  // namespace ondrel::io
