#include "io/lp_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "format/lp_fragments.hpp"
#include "format/number.hpp"
#include "io/output_file.hpp"
#include "io/safe_output.hpp"
#include "base/numeric.hpp"
#include "model/name_order.hpp"
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

// Each variable's rank in name order and its name, in one 16-byte slot: the writer looks up
// both for every term, in an order unrelated to the ids, so one cache line access each (names
// of up to 8 bytes sit in the slot; longer ones in the name table). Rank 0 stays free for an id
// that names no variable, whose empty name sorts first.
class VariableNames {
public:
    explicit VariableNames(const NameOrder& names) : names_(names), slots_(names.size()) {
        const HugeVector<std::uint32_t>& order = names.order();
        for (std::size_t p = 0; p < order.size(); ++p) slots_[order[p]].rank = static_cast<std::uint32_t>(p + 1);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const std::string_view name = names.name(i);
            Slot& s = slots_[i];
            s.size = static_cast<std::uint32_t>(std::min<std::size_t>(name.size(), 0xFFFFFFFF));
            if (name.size() <= sizeof s.text) {
                if (!name.empty()) std::memcpy(s.text, name.data(), name.size());
            } else {
                s.index = i;
            }
        }
    }
    void prefetch(VarId id) const noexcept {
        if (id < slots_.size()) __builtin_prefetch(&slots_[id]);
    }
    std::uint32_t rank_of(VarId id) const noexcept { return id < slots_.size() ? slots_[id].rank : 0; }
    std::string_view name_of(VarId id) const noexcept {
        if (id >= slots_.size()) return {};
        const Slot& s = slots_[id];
        return s.size <= sizeof s.text ? std::string_view(s.text, s.size) : names_.name(s.index);
    }

private:
    struct Slot {
        std::uint32_t rank = 0;
        std::uint32_t size = 0;
        union {
            char text[8];
            std::uint64_t index;  // of a longer name in the name table
        };
    };
    static_assert(sizeof(Slot) == 16);
    const NameOrder& names_;
    HugeVector<Slot> slots_;
};

struct RankedTerm {
    std::uint32_t rank;
    VarId id;
    double coeff;
};

// The terms of `terms` sorted by name into `ranked` (reused from row to row). Each id below
// used.size() is flagged in `used` on the way, so the writer learns which variables it must
// list later without another sweep over every term.
void rank_terms(const TermMap& terms, const VariableNames& names, std::vector<RankedTerm>& ranked,
                std::vector<std::uint8_t>& used) {
    ranked.clear();
    for (const Term& t : terms) {
        ranked.push_back(RankedTerm{names.rank_of(t.id), t.id, t.coeff});
        if (t.id < used.size()) used[t.id] = 1;
    }
    if (ranked.size() <= 16) {
        sort_by_rank(ranked);
    } else {
        // Ids that name no variable share rank 0 and keep their order.
        std::stable_sort(ranked.begin(), ranked.end(), [](const RankedTerm& a, const RankedTerm& b) { return a.rank < b.rank; });
    }
}

void name_terms(const std::vector<RankedTerm>& ranked, const VariableNames& names, std::vector<NamedTerm>& named) {
    named.clear();
    for (const RankedTerm& t : ranked) named.push_back(NamedTerm{names.name_of(t.id), t.coeff});
}

void write_empty_constraint(OutputFile& out, const ConstraintRecord& c, std::string_view dummy_var_name,
                            bool& dummy_written) {
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

// The constraints in name order. The records, their terms and the name slots of their terms
// lie far apart in memory, so the loop works as a pipeline: while row k is written, row k + 1
// is ranked (its slots were fetched a few steps before) and the slots of row k + 8 are
// fetched, after its terms and record were fetched further ahead.
void write_constraints(OutputFile& out, const ModelCore& core, const HugeVector<std::uint32_t>& order,
                       const VariableNames& names, std::string_view dummy_var_name, std::vector<std::uint8_t>& used) {
    const std::size_t n = order.size();
    const auto record = [&](std::size_t k) -> const ConstraintRecord& { return core.constraints[order[k]]; };
    constexpr std::size_t kRecordAhead = 32, kTermsAhead = 16, kSlotsAhead = 8;
    const auto fetch_ahead = [&](std::size_t k) {
        if (k + kRecordAhead < n) __builtin_prefetch(&record(k + kRecordAhead));
        if (k + kTermsAhead < n) __builtin_prefetch(record(k + kTermsAhead).terms.begin());
        if (k + kSlotsAhead < n) {
            for (const Term& t : record(k + kSlotsAhead).terms) names.prefetch(t.id);
        }
    };
    std::vector<RankedTerm> current, next;  // reused for every constraint
    std::vector<NamedTerm> named;
    bool dummy_written = false;
    for (std::size_t k = 0; k < std::min<std::size_t>(n, kRecordAhead); ++k) __builtin_prefetch(&record(k));
    for (std::size_t k = 0; k < std::min<std::size_t>(n, kSlotsAhead); ++k) {
        for (const Term& t : record(k).terms) names.prefetch(t.id);
    }
    if (n > 0) rank_terms(record(0).terms, names, current, used);
    for (std::size_t k = 0; k < n; ++k) {
        fetch_ahead(k);
        if (k + 1 < n) rank_terms(record(k + 1).terms, names, next, used);
        const ConstraintRecord& c = record(k);
        if (c.terms.empty()) {
            write_empty_constraint(out, c, dummy_var_name, dummy_written);
        } else {
            name_terms(current, names, named);
            write_constraint_fragment(out, std::span<const NamedTerm>(named), c.name, c.sense, c.rhs, false);
        }
        current.swap(next);
    }
}

// Every text the file will hold must keep to its line (has_line_break): the names of the used
// variables and of every constraint, the model name of the header comment, the objective's
// label when there is an objective and the dummy variable when an empty constraint needs it.
void check_line_breaks(const ModelCore& core, const LpWriteOptions& options) {
    const std::size_t n = core.variables.size();
    for (std::size_t id = 0; id < n; ++id) {
        if (!has_line_break(core.variables[id].name)) continue;
        // Only the used variables are written; finding them takes a sweep over every term,
        // which is left to this rare case.
        for (const VarId used : used_variable_ids(core)) {
            if (used < n && has_line_break(core.variables[used].name)) {
                raise_line_break("Variable name", core.variables[used].name);
            }
        }
        break;
    }
    bool empty_constraint = false;
    for (const ConstraintRecord& c : core.constraints) {
        if (has_line_break(c.name)) raise_line_break("Constraint name", c.name);
        empty_constraint = empty_constraint || c.terms.empty();
    }
    if (has_line_break(core.name)) raise_line_break("Model name", core.name);
    if (core.objective && has_line_break(options.obj_name)) raise_line_break("obj_name", options.obj_name);
    if (empty_constraint && has_line_break(options.dummy_var_name)) {
        raise_line_break("dummy_var_name", options.dummy_var_name);
    }
}

[[noreturn, gnu::cold]] void raise_lp_name(std::string_view what, std::string_view name, std::string_view problem) {
    raise_runtime(Msg() << what << " " << quoted_for_message(name) << " cannot be written to an LP file: it " << problem
                        << " (the rename option writes generated names)");
}

// With LpWriteOptions::lp_names: every name the file will hold, as check_line_breaks visits
// them, must be one an LP file carries (lp_name_problem).
void check_lp_names(const ModelCore& core, const LpWriteOptions& options) {
    for (const VarId id : used_variable_ids(core)) {
        if (id >= core.variables.size()) continue;
        const std::string problem = lp_name_problem(core.variables[id].name);
        if (!problem.empty()) raise_lp_name("Variable name", core.variables[id].name, problem);
    }
    bool empty_constraint = false;
    for (const ConstraintRecord& c : core.constraints) {
        const std::string problem = lp_name_problem(c.name);
        if (!problem.empty()) raise_lp_name("Constraint name", c.name, problem);
        empty_constraint = empty_constraint || c.terms.empty();
    }
    if (core.objective) {
        const std::string problem = lp_name_problem(options.obj_name);
        if (!problem.empty()) raise_lp_name("obj_name", options.obj_name, problem);
    }
    if (empty_constraint) {
        const std::string problem = lp_name_problem(options.dummy_var_name);
        if (!problem.empty()) raise_lp_name("dummy_var_name", options.dummy_var_name, problem);
    }
}

// Everything that can fail before the file exists: repeated names (sorting the names finds
// repeats on the way; the exact checks only run to report them), name lengths, line breaks,
// LP names, and objective terms naming no variable (written with an empty name, which no
// reader accepts). The preparation of a model of millions of names takes a while: the caller
// may stop the write between its steps.
void check_before_writing(const ModelCore& core, const NameOrder& variables, const NameOrder& constraints,
                          const LpWriteOptions& options) {
    if (variables.has_repeat()) check_duplicate_variable_names(core);
    check_interrupt(options.interrupt);
    if (constraints.has_repeat()) check_duplicate_constraint_names(core);
    check_interrupt(options.interrupt);
    check_variable_name_lengths(core, options.max_length);
    check_line_breaks(core, options);
    if (options.lp_names) check_lp_names(core, options);
    if (core.objective) {
        for (const Term& t : core.objective->terms) {
            if (t.id >= core.variables.size()) raise_variable_id(t.id, core.variables.size());
        }
    }
}

// The objective line. Returns the extra column it names: the column that carries the
// objective's constant (LpWriteOptions::constant_column), or that of a zero term when a model
// without variables has an objective without terms; empty when there is none.
std::string write_objective(OutputFile& out, const ModelCore& core, const NameOrder& variable_order,
                            const VariableNames& names, const LpWriteOptions& options,
                            std::vector<std::uint8_t>& used_flags) {
    // Without an objective the package's write (objective_term) writes a zero objective.
    if (!core.objective && !options.objective_term) raise_value("No objective set");
    std::string extra_column;
    std::vector<RankedTerm> ranked;
    std::vector<NamedTerm> terms;
    if (core.objective) rank_terms(core.objective->terms, names, ranked, used_flags);
    name_terms(ranked, names, terms);
    const double constant = core.objective ? core.objective->constant : 0.0;
    if (options.constant_column && constant != 0 && std::isfinite(constant)) {
        extra_column = free_variable_name(core, kConstantColumn);
        terms.push_back(NamedTerm{extra_column, constant});
    } else if (options.objective_term && terms.empty()) {
        // A label alone is refused by some readers: a zero term of the first variable in name
        // order (then listed with its bounds), or of the extra column.
        if (!core.variables.empty()) {
            const VarId first = variable_order.order()[0];
            used_flags[first] = 1;
            terms.push_back(NamedTerm{core.variables[first].name, 0.0});
        } else {
            extra_column = free_variable_name(core, kConstantColumn);
            terms.push_back(NamedTerm{extra_column, 0.0});
        }
    }
    write_affine_fragment(out, std::span<const NamedTerm>(terms), options.obj_name, false, 0.0);
    return extra_column;
}

// The Bounds section: the used variables that need a line, then the extra column fixed at 1.
void write_bounds(OutputFile& out, const ModelCore& core, std::span<const VarId> used, bool mip,
                  std::string_view extra_column) {
    bool header = false;
    const auto start = [&] {
        if (!header) out.append("Bounds\n");
        header = true;
    };
    for (const VarId id : used) {
        const VariableRecord& v = core.variables[id];
        if (!gets_bound_line(v, mip)) continue;
        start();
        out.put(' ');
        write_bounds_fragment(out, v.name, v.lb, v.ub, v.category);
        out.put('\n');
    }
    if (extra_column.empty()) return;
    start();
    out.put(' ');
    write_bounds_fragment(out, extra_column, 1.0, 1.0, Category::Continuous);
    out.put('\n');
}

void write_sos(OutputFile& out, const ModelCore& core) {
    if (core.sos_groups.empty()) return;
    out.append("SOS\n");
    for (const SosGroup& g : core.sos_groups) {
        out.append(sos_kind_text(g.kind));
        out.append(" \n");
        for (const SosMember& m : g.members) {
            if (m.id >= core.variables.size()) continue;
            out.put(' ');
            out.append(core.variables[m.id].name);
            out.append(": ");
            put_number(out, m.weight);
            out.put('\n');
        }
    }
}

std::vector<VarId> write_file(const ModelCore& core, std::string_view path, const LpWriteOptions& options,
                              std::string* constant_out) {
    const NameOrder variable_order(core.variables);
    const NameOrder constraint_order(core.constraints);
    check_before_writing(core, variable_order, constraint_order, options);
    const VariableNames names(variable_order);

    // Which variables the objective, the constraints or an SOS group use: flagged as the
    // terms are ranked for writing, listed in id order before the sections that need them.
    // Ids that name no variable (only SOS members can still have them) are left out.
    const std::size_t n = core.variables.size();
    std::vector<std::uint8_t> used_flags(n, 0);
    for (const SosGroup& g : core.sos_groups) {
        for (const SosMember& m : g.members) {
            if (m.id < n) used_flags[m.id] = 1;
        }
    }

    OutputFile out(path, "failed to write whole buffer", options.interrupt);
    out.append("\\* ");
    out.append(core.name);
    out.append(" *\\\n");
    out.append(obj_sense_text(core.objective_sense));
    out.put('\n');
    const std::string extra_column = write_objective(out, core, variable_order, names, options, used_flags);
    if (constant_out != nullptr && !extra_column.empty() && core.objective && core.objective->constant != 0) {
        *constant_out = extra_column;
    }

    out.append("Subject To\n");
    write_constraints(out, core, constraint_order.order(), names, options.dummy_var_name, used_flags);
    std::vector<VarId> used;
    for (std::size_t id = 0; id < n; ++id) {
        if (used_flags[id]) used.push_back(id);
    }
    std::vector<std::uint8_t>().swap(used_flags);

    write_bounds(out, core, used, options.mip, extra_column);
    if (options.mip) {
        write_name_section(out, core, used, "Generals\n", is_general);
        write_name_section(out, core, used, "Binaries\n", is_binary);
    }
    write_sos(out, core);
    out.append("End\n");
    out.finish();
    return used;
}

}  // namespace

std::vector<VarId> write_lp_file(SharedModel& model, std::string_view path, const LpWriteOptions& options) {
    return with_core(model, [&](const ModelCore& core) { return write_file(core, path, options, nullptr); });
}

std::vector<VarId> write_lp_file(SharedModel& model, std::string_view path, const LpWriteOptions& options,
                                 std::string& constant_column) {
    return with_core(model, [&](const ModelCore& core) { return write_file(core, path, options, &constant_column); });
}

}  // namespace ondrel::io
