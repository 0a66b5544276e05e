#include "io/mps_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
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

MpsFileNames write_file(const ModelCore& core, std::string_view path, const MpsWriteOptions& options) {
    // The preparation of a model of millions of names takes a while before the first byte is
    // written: the caller may stop the write between its steps.
    check_duplicate_variable_names(core);
    check_interrupt(options.interrupt);
    check_duplicate_constraint_names(core);
    check_interrupt(options.interrupt);

    const std::size_t n_vars = core.variables.size();
    const std::size_t n_rows = core.constraints.size();

    // Objective coefficient lookup by variable id: slot = term position + 1, 0 for none. An id
    // that names no variable would lose part of the objective, so it fails here.
    HugeVector<std::size_t> objective_slot;
    if (core.objective) {
        objective_slot.assign(n_vars, 0);
        const TermMap& terms = core.objective->terms;
        for (std::size_t k = 0; k < terms.size(); ++k) {
            if (terms[k].id >= n_vars) raise_variable_id(terms[k].id, n_vars);
            objective_slot[terms[k].id] = k + 1;
        }
    }
    const bool maximize = options.mps_sense == -1;
    const double objective_factor = maximize && !options.with_objsense ? -1.0 : 1.0;

    // Entries per column, to plan the passes that gather them; a stray id (constraints are
    // checked against the variables when stored) fails before it could index past the arrays.
    HugeVector<std::uint32_t> column_entries(n_vars, 0);
    for (const ConstraintRecord& c : core.constraints) {
        for (const Term& t : c.terms) {
            if (t.id >= n_vars) raise_variable_id(t.id, n_vars);
            ++column_entries[t.id];
        }
    }

    // Columns: the variables some constraint, the objective or an SOS group uses, in id
    // order, taken from the counts above and the objective's slots with no second sweep
    // over the terms. SOS groups are not part of the file, but their members are columns.
    HugeVector<VarId> columns;
    {
        std::vector<bool> in_sos(n_vars, false);
        for (const SosGroup& g : core.sos_groups) {
            for (const SosMember& m : g.members) {
                if (m.id < n_vars) in_sos[m.id] = true;
            }
        }
        for (VarId v = 0; v < n_vars; ++v) {
            if (column_entries[v] != 0 || (!objective_slot.empty() && objective_slot[v] != 0) || in_sos[v]) {
                columns.push_back(v);
            }
        }
    }

    // Every name the file will hold must keep to its line (has_line_break); renaming writes
    // generated names only.
    if (!options.rename) {
        for (const VarId v : columns) {
            if (has_line_break(core.variables[v].name)) raise_line_break("Variable name", core.variables[v].name);
        }
        for (const ConstraintRecord& c : core.constraints) {
            if (has_line_break(c.name)) raise_line_break("Constraint name", c.name);
        }
        if (has_line_break(options.model_name)) raise_line_break("model_name", options.model_name);
        if (has_line_break(options.obj_name)) raise_line_break("obj_name", options.obj_name);
    }

    MpsFileNames names;
    names.renamed = options.rename;
    names.rows = n_rows;
    names.objective = options.rename ? std::string("OBJ") : std::string(options.obj_name);
    {
        std::size_t chars = 0;
        for (const VarId v : columns) chars += core.variables[v].name.size();
        names.column_names.reserve(columns.size(), chars);
        for (const VarId v : columns) names.column_names.add(core.variables[v].name);
    }
    if (!options.rename) {
        std::size_t chars = 0;
        for (const ConstraintRecord& c : core.constraints) chars += c.name.size();
        names.row_names.reserve(n_rows, chars);
        for (const ConstraintRecord& c : core.constraints) names.row_names.add(c.name);
    }

    // Names as the entry lines write them: the name padded to 8, then the two blanks before
    // the number. One flat buffer holds each row's field (its length, then its text) and last
    // the objective's, with kShort bytes of slack at the end for entry_line.
    HugeVector<char> fields;
    HugeVector<std::size_t> row_field_at(n_rows + 1, 0);
    const auto add_field = [&](std::string_view name) {
        const std::size_t at = fields.size();
        const std::size_t blanks = padding_of(name) + 2;
        const std::size_t length = name.size() + blanks;
        fields.resize(at + sizeof length + length);
        char* p = fields.data() + at;
        std::memcpy(p, &length, sizeof length);
        p += sizeof length;
        if (!name.empty()) std::memcpy(p, name.data(), name.size());
        std::memset(p + name.size(), ' ', blanks);
        return at;
    };
    const auto field = [&](std::size_t at) {
        std::size_t length;
        std::memcpy(&length, fields.data() + at, sizeof length);
        return std::string_view(fields.data() + at + sizeof length, length);
    };
    {
        std::size_t total = names.objective.size() + (options.rename ? 8 * n_rows : 0);
        for (const ConstraintRecord& c : core.constraints) total += options.rename ? 0 : c.name.size();
        fields.reserve(total + (n_rows + 1) * (sizeof(std::size_t) + kNameField + 2) + kShort);
    }
    for (std::size_t r = 0; r < n_rows; ++r) {
        row_field_at[r] = options.rename ? add_field(generated_name('C', r)) : add_field(names.row_names[r]);
    }
    const std::size_t objective_at = row_field_at[n_rows] = add_field(names.objective);
    fields.insert(fields.end(), kShort, ' ');

    OutputFile out(path, "failed to write the buffered data", options.interrupt);

    if (options.with_objsense) {
        line(out, "OBJSENSE");
        line(out, maximize ? " MAX" : " MIN");
    } else {
        line(out, maximize ? "*SENSE:Maximize" : "*SENSE:Minimize");
    }
    out.append("NAME          ");
    line(out, options.rename ? std::string_view("MODEL") : options.model_name);

    line(out, "ROWS");
    out.append(" N  ");
    line(out, names.objective);
    for (std::size_t r = 0; r < n_rows; ++r) {
        const char head[] = {' ', row_type_letter(core.constraints[r].sense), ' ', ' '};
        out.append(head, sizeof head);
        if (options.rename) {
            line(out, generated_name('C', r));
        } else {
            line(out, names.row_names[r]);
        }
    }

    // One reused buffer holds the current column's line prefixes, so the loops below
    // allocate nothing per column or entry.
    std::string padded_column;
    std::string prefix;
    prefix.reserve(2 * kShort);  // entry_line reads kShort bytes from its start
    line(out, "COLUMNS");
    // Passes over ranges of column ids [lo, hi): gather their entries, constraints in stored
    // order within each column, then write those columns. A pass gathers at most
    // entries_per_pass entries (or one column's, when that has more), in one sweep over the
    // constraints, so the writer's memory stays bounded whatever the model's size.
    struct Entry {
        std::size_t field;
        double coeff;
    };
    HugeVector<Entry> entries;
    {
        // Room for the largest pass at once: growing from pass to pass would copy the entries
        // and hold two buffers for a moment.
        std::size_t largest = 0, gathered = 0;
        for (VarId v = 0; v < n_vars; ++v) {
            if (gathered > 0 && gathered + column_entries[v] > options.entries_per_pass) gathered = 0;
            gathered += column_entries[v];
            largest = std::max(largest, gathered);
        }
        entries.reserve(largest);
    }
    HugeVector<std::size_t> cursor;
    std::size_t j = 0;  // next column to write
    for (VarId lo = 0; lo < n_vars && j < columns.size();) {
        VarId hi = lo;
        std::size_t gathered = 0;
        while (hi < n_vars && (hi == lo || gathered + column_entries[hi] <= options.entries_per_pass)) {
            gathered += column_entries[hi++];
        }
        entries.resize(gathered);
        cursor.assign(hi - lo + 1, 0);
        for (VarId v = lo; v < hi; ++v) cursor[v - lo + 1] = cursor[v - lo] + column_entries[v];
        const HugeVector<std::size_t> starts(cursor);
        for (std::size_t r = 0; r < n_rows; ++r) {
            for (const Term& t : core.constraints[r].terms) {
                if (t.id >= lo && t.id < hi) entries[cursor[t.id - lo]++] = {row_field_at[r], t.coeff};
            }
        }
        check_interrupt(options.interrupt);
        for (; j < columns.size() && columns[j] < hi; ++j) {
            const VarId v = columns[j];
            const Category category = core.variables[v].category;
            const bool integer_column = options.mip && (category == Category::Integer || category == Category::Binary);
            padded_column.clear();
            append_padded(padded_column, options.rename ? std::string_view(generated_name('X', j)) : names.column_names[j]);
            prefix.assign("    ");
            prefix.append(padded_column);
            prefix.append("  ");

            if (integer_column) line(out, kMarkerStart);
            for (std::size_t k = starts[v - lo]; k < starts[v - lo + 1]; ++k) {
                // Entries are written in their stored order, columns ascending, but their
                // rows' fields lie anywhere in the field buffer: fetch a later entry's now.
                if (k + kFieldAhead < entries.size()) __builtin_prefetch(fields.data() + entries[k + kFieldAhead].field);
                entry_line(out, prefix, field(entries[k].field), entries[k].coeff);
            }
            if (!objective_slot.empty() && objective_slot[v] != 0) {
                const double c = core.objective->terms[objective_slot[v] - 1].coeff;
                entry_line(out, prefix, field(objective_at), c * objective_factor);
            }
            if (integer_column) line(out, kMarkerEnd);
        }
        lo = hi;
    }
    HugeVector<Entry>().swap(entries);
    std::string constant_padded;
    if (options.constant_column && core.objective && core.objective->constant != 0 &&
        std::isfinite(core.objective->constant)) {
        names.constant_column = options.rename ? generated_name('X', columns.size())
                                               : free_variable_name(core, kConstantColumn);
        append_padded(constant_padded, names.constant_column);
        prefix.assign("    ");
        prefix.append(constant_padded);
        prefix.append("  ");
        entry_line(out, prefix, field(objective_at), core.objective->constant * objective_factor);
    }

    line(out, "RHS");
    for (std::size_t r = 0; r < n_rows; ++r) {
        const double rhs = core.constraints[r].rhs;
        number_line(out, "    RHS       ", field(row_field_at[r]), rhs == 0 ? 0.0 : rhs);  // no "-0"
    }

    line(out, "BOUNDS");
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const VariableRecord& var = core.variables[columns[c]];
        const bool integer_column =
            options.mip && (var.category == Category::Integer || var.category == Category::Binary);
        BoundLine lines[2];
        const int count = bound_lines(var.lb, var.ub, integer_column, options.bound_open_integers, lines);
        if (count == 0) continue;
        padded_column.clear();
        append_padded(padded_column, options.rename ? std::string_view(generated_name('X', c)) : names.column_names[c]);
        for (int i = 0; i < count; ++i) {
            prefix.assign(" ");
            prefix.append(lines[i].type, 2);
            prefix.append(" BND       ");
            prefix.append(padded_column);
            if (lines[i].has_value) {
                number_line(out, prefix, "  ", lines[i].value);
            } else {
                line(out, prefix);
            }
        }
    }
    if (!constant_padded.empty()) {
        prefix.assign(" FX BND       ");
        prefix.append(constant_padded);
        number_line(out, prefix, "  ", 1.0);
    }
    line(out, "ENDATA");
    out.finish();
    return names;
}

}  // namespace

MpsFileNames write_mps_file(SharedModel& model, std::string_view path, const MpsWriteOptions& options) {
    return with_core(model, [&](const ModelCore& core) { return write_file(core, path, options); });
}

}  // namespace ondrel::io
