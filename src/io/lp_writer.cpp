#include "io/lp_writer.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "format/lp_fragments.hpp"
#include "format/number.hpp"
#include "io/output_file.hpp"
#include "base/numeric.hpp"
#include "model/names.hpp"
#include "model/queries.hpp"
#include "model/variable_rules.hpp"
#include "base/errors.hpp"

namespace ondrel::io {
namespace {

void put_number(OutputFile& out, double x) {
    char* p = out.room(kNumberTextMax);
    out.commit(format_number(x, p));
}

// Bounds exactly 0 and 1 (a NaN bound never matches).
bool zero_one(const VariableRecord& v) noexcept { return v.lb == 0.0 && v.ub == 1.0; }

// Bound exactly 0 below and none above, which LP files assume when a variable has no bound line.
bool default_bounds(const VariableRecord& v) noexcept { return v.lb == 0.0 && v.ub == kInf; }

bool gets_bound_line(const VariableRecord& v, bool mip) noexcept {
    if (mip) {
        if (v.category == Category::Binary) return false;
        if (v.category == Category::Integer) return !zero_one(v);
    }
    return !default_bounds(v);
}

bool is_general(const VariableRecord& v) noexcept { return is_integer(v) && !is_binary(v); }

// Writes a section header followed by the name of each selected variable on its own line; no
// section at all when none is selected.
template <class Select>
void write_name_section(OutputFile& out, const ModelCore& core, std::span<const VarId> used, std::string_view header,
                        Select select) {
    bool any = false;
    for (const VarId id : used) {
        const VariableRecord& v = core.variables[id];
        if (!select(v)) continue;
        if (!any) {
            out.append(header);
            any = true;
        }
        out.append(v.name);
        out.put('\n');
    }
}

void write_constraints(OutputFile& out, const ModelCore& core, std::string_view dummy_var_name) {
    struct Entry {
        std::string_view name;
        std::size_t index;
    };
    std::vector<Entry> order;
    order.reserve(core.constraints.size());
    for (std::size_t i = 0; i < core.constraints.size(); ++i) order.push_back({core.constraints[i].name, i});
    std::stable_sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) { return name_bytes_less(a.name, b.name); });

    std::vector<NamedTerm> terms;  // one list reused for every constraint
    bool dummy_written = false;
    for (const Entry& e : order) {
        const ConstraintRecord& c = core.constraints[e.index];
        if (!c.terms.empty()) {
            terms.clear();
            for (const Term& t : c.terms) terms.push_back(NamedTerm{variable_name_or_empty(core, t.id), t.coeff});
            sort_terms_by_name(terms);
            write_constraint_fragment(out, std::span<const NamedTerm>(terms), c.name, c.sense, c.rhs, false);
            continue;
        }
        // No terms: written against the dummy variable, which a line of its own fixes at 0.
        if (!dummy_written && !dummy_var_name.empty()) {
            out.append("_dummy: 1 ");
            out.append(dummy_var_name);
            out.append(" = 0\n");
            dummy_written = true;
        }
        out.append(c.name);
        out.append(": 1 ");
        out.append(dummy_var_name);
        out.put(' ');
        out.append(sense_symbol(c.sense));
        out.put(' ');
        put_number(out, c.rhs);
        out.put('\n');
    }
}

std::vector<VarId> write_file(const ModelCore& core, std::string_view path, const LpWriteOptions& options) {
    check_duplicate_variable_names(core);
    check_duplicate_constraint_names(core);
    check_variable_name_lengths(core, options.max_length);

    const std::size_t n = core.variables.size();
    // An objective term naming no variable would be written with an empty name, which no
    // reader accepts; refuse before the file exists.
    if (core.objective) {
        for (const Term& t : core.objective->terms) {
            if (t.id >= n) raise_variable_id(t.id, n);
        }
    }
    // Used ids that name no variable can only come from SOS members now; they sort last.
    std::vector<VarId> used = used_variable_ids(core);
    used.erase(std::lower_bound(used.begin(), used.end(), static_cast<VarId>(n)), used.end());

    OutputFile out(path, "failed to write whole buffer", options.interrupt);
    out.append("\\* ");
    out.append(core.name);
    out.append(" *\\\n");
    out.append(obj_sense_text(core.objective_sense));
    out.put('\n');

    if (!core.objective) raise_value("No objective set");
    {
        std::vector<NamedTerm> terms;
        terms.reserve(core.objective->terms.size());
        for (const Term& t : core.objective->terms) terms.push_back(NamedTerm{core.variables[t.id].name, t.coeff});
        sort_terms_by_name(terms);
        write_affine_fragment(out, std::span<const NamedTerm>(terms), options.obj_name, false, 0.0);
    }

    out.append("Subject To\n");
    write_constraints(out, core, options.dummy_var_name);

    bool bounds_header = false;
    for (const VarId id : used) {
        const VariableRecord& v = core.variables[id];
        if (!gets_bound_line(v, options.mip)) continue;
        if (!bounds_header) {
            out.append("Bounds\n");
            bounds_header = true;
        }
        out.put(' ');
        write_bounds_fragment(out, v.name, v.lb, v.ub, v.category);
        out.put('\n');
    }

    if (options.mip) {
        write_name_section(out, core, used, "Generals\n", is_general);
        write_name_section(out, core, used, "Binaries\n", is_binary);
    }

    if (!core.sos_groups.empty()) {
        out.append("SOS\n");
        for (const SosGroup& g : core.sos_groups) {
            out.append(sos_kind_text(g.kind));
            out.append(" \n");
            for (const SosMember& m : g.members) {
                if (m.id >= n) continue;
                out.put(' ');
                out.append(core.variables[m.id].name);
                out.append(": ");
                put_number(out, m.weight);
                out.put('\n');
            }
        }
    }

    out.append("End\n");
    out.finish();
    return used;
}

}  // namespace

std::vector<VarId> write_lp_file(SharedModel& model, std::string_view path, const LpWriteOptions& options) {
    return with_core(model, [&](const ModelCore& core) { return write_file(core, path, options); });
}

}  // namespace ondrel::io
