#include "model/building.hpp"

#include <algorithm>
#include <cmath>

#include "base/borrowed.hpp"
#include "base/growth.hpp"
#include "base/utf8.hpp"

namespace ondrel {

void apply_variable_name_rule(std::string& name) noexcept {
    std::replace(name.begin(), name.end(), ' ', '_');
}

namespace {

constexpr std::string_view kReservedConstraintName =
    "Constraint names must not start with '_'; names beginning with '_' are reserved for "
    "auto-generated constraints (_C1, _C2, ...).";

VarId append_variable(ModelCore& core, std::string name, double lb, double ub, Category category) {
    apply_variable_name_rule(name);
    const VarId id = core.variables.size();
    VariableRecord& r = core.variables.emplace_back();
    r.name = std::move(name);
    r.lb = lb;
    r.ub = ub;
    r.category = category;
    return id;
}

// The stored name of a constraint: the expression's name without surrounding white space, or
// an automatic "_C<n>" when that leaves nothing. Decided before anything is written, so a
// rejected name uses no number.
std::string constraint_name(const ModelCore& core, const ExprValue& expr, bool& automatic) {
    automatic = true;
    if (expr.name) {
        const std::string_view trimmed = trim_white_space(*expr.name);
        if (!trimmed.empty()) {
            if (trimmed.front() == '_') raise_value(std::string(kReservedConstraintName));
            automatic = false;
            return std::string(trimmed);
        }
    }
    return Msg() << "_C" << (core.auto_name_counter + 1);
}

}  // namespace

VarId add_variable(SharedModel& model, std::string name, double lb, double ub, Category category) {
    return with_core(model, [&](ModelCore& core) {
        return append_variable(core, std::move(name), lb, ub, category);
    });
}

VarId add_variables(SharedModel& model, std::span<std::string> names, double lb, double ub,
                    Category category) {
    return with_core(model, [&](ModelCore& core) {
        const VarId first = core.variables.size();
        grow_for(core.variables, names.size());
        for (std::string& n : names) append_variable(core, std::move(n), lb, ub, category);
        return first;
    });
}

namespace {

void check_column_lengths(const VariableColumns& columns) {
    const std::size_t n = columns.names.size();
    const auto check_length = [n](std::string_view what, std::size_t length) {
        if (length != n) {
            raise_value(Msg() << what << " length (" << length << ") must equal the number of names ("
                              << n << ")");
        }
    };
    check_length("lb", columns.lb.size());
    check_length("ub", columns.ub.size());
    check_length("categories", columns.categories.size());
}

// Appends the columns. The bounds and codes may be lent memory that changes while we read it,
// so each value is read once and a code is checked as it is stored; a refused code takes back
// the variables appended before it.
VarId append_columns(ModelCore& core, const VariableColumns& columns) {
    const VarId first = core.variables.size();
    const std::size_t n = columns.names.size();
    grow_for(core.variables, n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t code = read_once(columns.categories[i]);
        if (code > static_cast<std::uint8_t>(Category::Binary)) {
            core.variables.resize(first);
            raise_value(Msg() << "Variable " << i << ": invalid category code " << int{code}
                              << " (codes are 0 Continuous, 1 Integer, 2 Binary)");
        }
        append_variable(core, std::move(columns.names[i]), read_once(columns.lb[i]), read_once(columns.ub[i]),
                        static_cast<Category>(code));
    }
    return first;
}

}  // namespace

VarId add_variables(SharedModel& model, const VariableColumns& columns) {
    check_column_lengths(columns);
    return with_core(model, [&](ModelCore& core) { return append_columns(core, columns); });
}

void validate_constraint_expr(const ModelCore& core, const ExprValue& expr) {
    if (!expr.sense) raise_value("Cannot add constraint without a sense (<=, >=, ==)");
    if (!std::isfinite(expr.constant)) {
        raise_value(Msg() << "Invalid constraint RHS value: " << expr.constant
                          << ". Coefficients and bounds must be finite.");
    }
    const std::size_t n = core.variables.size();
    for (const Term& t : expr.terms) {
        if (!std::isfinite(t.coeff)) {
            raise_value(Msg() << "Invalid coefficient value: " << t.coeff << " for variable id "
                              << t.id << ". Coefficients must be finite.");
        }
        if (t.id >= n) raise_variable_id(t.id, n);
    }
}

void check_expr_binding(const ExprValue& expr, const SharedModel& target,
                        std::string_view different_text) {
    if (!expr.model.bound) return;
    const std::shared_ptr<SharedModel> other = resolve(expr.model.ptr, kLostExprModel);
    if (other.get() != &target) raise_value(std::string(different_text));
}

ConstraintId add_constraint(SharedModel& model, const ExprValue& expr) {
    check_expr_binding(expr, model,
                       "Expression is bound to a different model than the one receiving the constraint.");
    return with_core(model, [&](ModelCore& core) {
        validate_constraint_expr(core, expr);
        bool automatic = true;
        ConstraintRecord record;
        record.name = constraint_name(core, expr, automatic);
        record.terms = expr.terms;
        record.rhs = -expr.constant;
        record.sense = *expr.sense;
        const ConstraintId id = core.constraints.size();
        core.constraints.push_back(std::move(record));
        if (automatic) ++core.auto_name_counter;
        return id;
    });
}

namespace {

// The terms as one TermMap, repeated ids summed into their first place, after the checks
// add_term_ids_coeffs and add_constraint run: each coefficient finite and each id below
// `limit`, then the sums finite.
TermMap merged_terms(std::span<const Term> terms, std::size_t limit) {
    TermMap map;
    map.reserve(terms.size());
    bool merged = false;
    for (const Term& t : terms) {
        if (!std::isfinite(t.coeff)) {
            raise_value(Msg() << "Invalid coefficient value: " << t.coeff << " for variable id " << t.id
                              << ". Coefficients must be finite.");
        }
        if (t.id >= limit) raise_variable_id(t.id, limit);
        const std::size_t before = map.size();
        map.add(t.id, t.coeff);
        merged = merged || map.size() == before;
    }
    if (merged) {
        for (const Term& t : map) {
            if (!std::isfinite(t.coeff)) {
                raise_value(Msg() << "Invalid coefficient value: " << t.coeff << " for variable id " << t.id
                                  << ". Coefficients must be finite.");
            }
        }
    }
    return map;
}

}  // namespace

ConstraintId add_constraint_terms(SharedModel& model, std::span<const Term> terms, Sense sense, double rhs,
                                  std::optional<std::string_view> name) {
    return with_core(model, [&](ModelCore& core) {
        const std::size_t limit = core.variables.size();
        for (const Term& t : terms) {
            if (!std::isfinite(t.coeff)) {
                raise_value(Msg() << "Invalid coefficient value: " << t.coeff << " for variable id " << t.id
                                  << ". Coefficients must be finite.");
            }
            if (t.id >= limit) raise_variable_id(t.id, limit);
        }
        if (!std::isfinite(rhs)) {
            raise_value(Msg() << "Invalid constraint RHS value: " << -rhs << ". Coefficients and bounds must be finite.");
        }
        ExprValue named;
        if (name) named.name.emplace(*name);
        bool automatic = true;
        std::string stored_name = constraint_name(core, named, automatic);
        // The terms go to the store's term arena, as rows added in bulk do: no allocation of
        // their own, side by side with the rows before them.
        const TermArena::Mark mark = core.term_arena.mark();
        ConstraintRecord record;
        if (!terms.empty()) {
            Term* const out = core.term_arena.take(terms.size());
            Term* stop = out;
            if (terms.size() <= TermMap::kLinearLimit) {
                for (const Term& t : terms) {
                    Term* at = out;
                    while (at != stop && at->id != t.id) ++at;
                    if (at != stop) {
                        at->coeff = t.coeff + at->coeff;
                    } else {
                        *stop++ = Term{t.id, t.coeff + 0.0};
                    }
                }
            } else {
                TermMap merged;
                merged.reserve(terms.size());
                for (const Term& t : terms) merged.add(t.id, t.coeff);
                stop = std::copy(merged.begin(), merged.end(), out);
            }
            for (const Term* t = out; t != stop; ++t) {
                if (!std::isfinite(t->coeff)) {
                    core.term_arena.rewind(mark);
                    raise_value(Msg() << "Invalid coefficient value: " << t->coeff << " for variable id " << t->id
                                      << ". Coefficients must be finite.");
                }
            }
            core.term_arena.keep(stop);
            record.terms = TermMap::lent(out, static_cast<std::size_t>(stop - out));
        }
        record.name = std::move(stored_name);
        record.rhs = rhs;
        record.sense = sense;
        const ConstraintId id = core.constraints.size();
        try {
            core.constraints.push_back(std::move(record));
        } catch (...) {
            core.term_arena.rewind(mark);
            throw;
        }
        if (automatic) ++core.auto_name_counter;
        return id;
    });
}

void set_objective_terms(const std::shared_ptr<SharedModel>& model, std::span<const Term> terms, double constant,
                         ObjSense sense) {
    if (!std::isfinite(constant)) {
        raise_value(Msg() << "Invalid objective constant: " << constant << ". Coefficients must be finite.");
    }
    ExprValue objective;
    objective.constant = constant;
    objective.model = ModelRef::to(model);
    with_core(*model, [&](ModelCore& core) {
        objective.terms = merged_terms(terms, core.variables.size());
        core.objective = std::move(objective);
        core.objective_sense = sense;
    });
}

namespace {

[[noreturn]] void raise_row(std::size_t row, std::string_view message) {
    raise_value(Msg() << "Row " << row << ": " << message);
}
[[noreturn]] void raise_row(std::size_t row, const Msg& message) { raise_row(row, message.str()); }

// The lengths of a batch and its first offset. The other offsets are checked as the rows are
// stored, each read once (see append_rows).
std::size_t check_row_layout(const ConstraintRows& rows) {
    if (rows.starts.empty()) raise_value("starts must hold one offset per row plus a final one; it is empty");
    const std::size_t n = rows.starts.size() - 1;
    if (rows.ids.size() != rows.coeffs.size()) {
        raise_value(Msg() << "ids length (" << rows.ids.size() << ") and coeffs length (" << rows.coeffs.size()
                          << ") must match");
    }
    if (rows.senses.size() != n) {
        raise_value(Msg() << "senses length (" << rows.senses.size() << ") must equal the number of rows (" << n << ")");
    }
    if (rows.rhs.size() != n) {
        raise_value(Msg() << "rhs length (" << rows.rhs.size() << ") must equal the number of rows (" << n << ")");
    }
    if (rows.name && rows.name_count != n) {
        raise_value(Msg() << "names length (" << rows.name_count << ") must equal the number of rows (" << n << ")");
    }
    const std::uint64_t first = read_once(rows.starts[0]);
    if (first != 0) raise_value(Msg() << "starts[0] must be 0, got " << first);
    return n;
}

// Checks starts[k] = `end` (read once) against the offset before it, `begin`, and against the
// length of ids; the last offset must equal that length.
void check_offset(std::size_t k, std::size_t last, std::uint64_t begin, std::uint64_t end, std::size_t total) {
    if (end < begin) {
        raise_value(Msg() << "starts must not decrease: starts[" << k << "] = " << end << " is below starts["
                          << k - 1 << "] = " << begin);
    }
    if (k == last ? end != total : end > total) {
        raise_value(Msg() << "starts[" << k << "] = " << end << (k == last ? " must equal" : " exceeds")
                          << " the length of ids (" << total << ")");
    }
}

// Row i's explicit name after trimming, or nothing when it gets an automatic one.
std::optional<std::string_view> row_name(const ConstraintRows& rows, std::size_t i) {
    if (!rows.name) return std::nullopt;
    const std::optional<std::string_view> given = rows.name(i);
    if (!given) return std::nullopt;
    const std::string_view trimmed = trim_white_space(*given);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

[[noreturn]] void raise_term(std::size_t row, Term refused, std::size_t limit) {
    if (refused.id >= limit) {
        raise_row(row, Msg() << "variable id " << refused.id << " is out of range (model has " << limit
                             << " variables)");
    }
    raise_row(row, "non-finite coefficient in coeffs buffer");
}

// Row i's terms, the pairs [begin, end) of ids and coeffs, as add_term_ids_coeffs would leave
// them in a fresh expression, written from `out` on with their ids shifted by `offset`; returns
// the end of what it wrote, at most end - begin terms on. Each pair is read once and checked:
// its id below `limit`, its coefficient finite. Repeated ids are summed into their first
// place. `scratch` serves the rare long row, which needs the map's index.
Term* fill_row(const ConstraintRows& rows, std::size_t i, std::size_t begin, std::size_t end, VarId offset,
               std::size_t limit, Term* out, TermMap& scratch) {
    const std::size_t count = end - begin;
    const VarId* ids = rows.ids.data() + begin;
    const double* coeffs = rows.coeffs.data() + begin;
    Term* stop = out;
    bool merged = false;
    if (count <= TermMap::kLinearLimit) {
        for (std::size_t k = 0; k < count; ++k) {
            const VarId raw = read_once(ids[k]);
            const double c = read_once(coeffs[k]);
            if (raw >= limit || !std::isfinite(c)) raise_term(i, Term{raw, c}, limit);
            const VarId id = raw + offset;
            Term* t = out;
            while (t != stop && t->id != id) ++t;
            if (t != stop) {
                t->coeff = c + t->coeff;
                merged = true;
            } else {
                *stop++ = Term{id, c + 0.0};
            }
        }
    } else {
        scratch.clear();
        Term refused{};
        if (scratch.add_checked(ids, coeffs, count, limit, &refused) != count) raise_term(i, refused, limit);
        for (const Term& t : scratch) *stop++ = Term{t.id + offset, t.coeff};
        merged = scratch.size() != count;
    }
    // Finite coefficients of a repeated id can sum to an infinite one, which add_constraint
    // refuses as it checks the finished expression.
    if (merged) {
        for (const Term* t = out; t != stop; ++t) {
            if (!std::isfinite(t->coeff)) {
                raise_row(i, Msg() << "Invalid coefficient value: " << t->coeff << " for variable id " << t->id
                                   << ". Coefficients must be finite.");
            }
        }
    }
    return stop;
}

// Appends the rows, their ids shifted by `offset`; `limit` is the id limit before the shift.
// Their terms go to one slice of the store's term arena, sized by the length of ids.
//
// The arrays may be lent memory that someone else changes during the call (a buffer another
// thread or process writes), so every value is read exactly once, checked and then used:
// each offset against the one before it and the length of ids, each pair, sense and
// right-hand side as add_term_ids_coeffs and add_constraint check them, in that order, and the
// row's name. A row therefore never writes past the slice, whatever the arrays hold. Any
// failure (a row's error, or memory running out) takes back every row of the call: nothing
// stays stored.
ConstraintId append_rows(ModelCore& core, const ConstraintRows& rows, VarId offset, std::size_t limit) {
    const std::size_t n = rows.starts.size() - 1;
    const std::size_t total = rows.ids.size();
    const ConstraintId first = core.constraints.size();
    const std::uint64_t counter = core.auto_name_counter;
    const TermArena::Mark mark = core.term_arena.mark();
    TermMap scratch;
    try {
        grow_for(core.constraints, n);
        Term* out = total == 0 ? nullptr : core.term_arena.take(total);
        std::uint64_t begin = 0;  // starts[0], checked by check_row_layout
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t end = read_once(rows.starts[i + 1]);
            check_offset(i + 1, n, begin, end, total);
            Term* const stop = fill_row(rows, i, begin, end, offset, limit, out, scratch);
            const std::uint8_t sense = read_once(rows.senses[i]);
            if (sense > static_cast<std::uint8_t>(Sense::GreaterEqual)) {
                raise_row(i, Msg() << "invalid sense code " << int{sense}
                                   << " (codes are 0 LessEqual, 1 Equal, 2 GreaterEqual)");
            }
            const double rhs = read_once(rows.rhs[i]);
            if (!std::isfinite(rhs)) {
                // The message shows the expression constant, which is the negated right-hand side.
                raise_row(i, Msg() << "Invalid constraint RHS value: " << -rhs
                                   << ". Coefficients and bounds must be finite.");
            }
            const std::optional<std::string_view> name = row_name(rows, i);
            if (name && name->front() == '_') raise_row(i, kReservedConstraintName);
            ConstraintRecord& r = core.constraints.emplace_back();
            if (name) {
                r.name.assign(*name);
            } else {
                r.name = Msg() << "_C" << ++core.auto_name_counter;
            }
            r.terms = TermMap::lent(out, static_cast<std::size_t>(stop - out));
            r.rhs = rhs;
            r.sense = static_cast<Sense>(sense);
            out = stop;
            begin = end;
        }
        if (out != nullptr) core.term_arena.keep(out);
    } catch (...) {
        core.constraints.resize(first);
        core.term_arena.rewind(mark);
        core.auto_name_counter = counter;
        throw;
    }
    return first;
}

}  // namespace

ConstraintId add_constraints(SharedModel& model, const ConstraintRows& rows) {
    check_row_layout(rows);
    return with_core(model, [&](ModelCore& core) { return append_rows(core, rows, 0, core.variables.size()); });
}

void add_model_parts(const std::shared_ptr<SharedModel>& model, ModelParts& parts) {
    check_column_lengths(parts.variables);
    check_row_layout(parts.rows);
    const std::size_t n_new = parts.variables.names.size();
    if (parts.objective_ids.size() != parts.objective_coeffs.size()) {
        raise_value(Msg() << "objective ids length (" << parts.objective_ids.size() << ") and coeffs length ("
                          << parts.objective_coeffs.size() << ") must match");
    }
    ExprValue objective;
    objective.name = std::move(parts.objective_name);
    objective.model = ModelRef::to(model);
    Term refused{};
    if (objective.terms.add_checked(parts.objective_ids.data(), parts.objective_coeffs.data(),
                                    parts.objective_ids.size(), n_new, &refused) != parts.objective_ids.size()) {
        if (refused.id >= n_new) {
            raise_value(Msg() << "objective: variable id " << refused.id << " is out of range (" << n_new
                              << " variables)");
        }
        raise_value("objective: non-finite coefficient");
    }
    with_core(*model, [&](ModelCore& core) {
        const VarId first = core.variables.size();
        if (first != 0) {  // the objective's ids, counted from the first new variable
            ExprValue shifted = objective;
            shifted.terms.clear();
            for (const Term& t : objective.terms) shifted.terms.append_new(t.id + first, t.coeff);
            objective = std::move(shifted);
        }
        append_columns(core, parts.variables);
        try {
            append_rows(core, parts.rows, first, n_new);
        } catch (...) {
            core.variables.resize(first);
            throw;
        }
        core.objective = std::move(objective);
    });
}

void set_objective(const std::shared_ptr<SharedModel>& model, const ExprValue& expr) {
    ExprValue copy = expr;
    if (!copy.model.bound) copy.model = ModelRef::to(model);
    with_core(*model, [&](ModelCore& core) { core.objective = std::move(copy); });
}

std::optional<ExprValue> take_objective(SharedModel& model) {
    std::optional<ExprValue> old;
    with_core(model, [&](ModelCore& core) { old.swap(core.objective); });
    return old;
}

void set_objective_sense(SharedModel& model, ObjSense sense) {
    with_core(model, [&](ModelCore& core) { core.objective_sense = sense; });
}

ObjSense objective_sense(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return core.objective_sense; });
}

VarId add_column(const std::shared_ptr<SharedModel>& model, std::string name, double lb, double ub,
                 Category category, double obj_coeff, std::span<const ColumnEntry> entries) {
    return with_core(*model, [&](ModelCore& core) {
        if (!std::isfinite(obj_coeff)) {
            raise_value(Msg() << "Invalid objective coefficient value: " << obj_coeff
                              << ". Coefficients must be finite.");
        }
        for (const ColumnEntry& e : entries) {
            if (e.constraint >= core.constraints.size())
                raise_constraint_id(e.constraint, core.constraints.size());
            if (!std::isfinite(e.coeff)) {
                raise_value(Msg() << "Invalid coefficient value: " << e.coeff
                                  << " in constraint id " << e.constraint
                                  << ". Coefficients must be finite.");
            }
        }
        // Allocate everything that can fail before the first write.
        if (core.variables.size() == core.variables.capacity()) {
            core.variables.reserve(std::max<std::size_t>(16, core.variables.capacity() * 2));
        }
        std::optional<ExprValue> fresh_objective;
        if (obj_coeff != 0.0 && !core.objective) {
            fresh_objective.emplace();
            fresh_objective->model = ModelRef::to(model);
        }
        const VarId id = append_variable(core, std::move(name), lb, ub, category);
        for (const ColumnEntry& e : entries) {
            TermMap& terms = core.constraints[e.constraint].terms;
            if (e.coeff != 0.0) {
                terms.set(id, e.coeff);
            } else {
                terms.erase(id);
            }
        }
        if (obj_coeff != 0.0) {
            if (fresh_objective) core.objective = std::move(fresh_objective);
            core.objective->terms.set(id, obj_coeff);
        }
        return id;
    });
}

void remove_variables(SharedModel& model, std::span<const VarId> ids) {
    with_core(model, [&](ModelCore& core) {
        const std::size_t n = core.variables.size();
        for (VarId id : ids) {
            if (id >= n) raise_variable_id(id, n);
        }
        std::vector<bool> drop(n, false);
        for (VarId id : ids) drop[id] = true;
        for (ConstraintRecord& c : core.constraints) c.terms.erase_flagged(drop);
        if (core.objective) core.objective->terms.erase_flagged(drop);
        for (SosGroup& g : core.sos_groups) {
            std::erase_if(g.members, [&](const SosMember& m) { return m.id < n && drop[m.id]; });
        }
    });
}

void add_sos_group(SharedModel& model, SosKind kind, std::optional<std::string> key,
                   std::vector<SosMember> members) {
    with_core(model, [&](ModelCore& core) {
        SosGroup& g = core.sos_groups.emplace_back();
        g.members = std::move(members);
        g.key = std::move(key);
        g.kind = kind;
    });
}

std::vector<SosGroup> take_sos_groups(SharedModel& model) {
    std::vector<SosGroup> old;
    with_core(model, [&](ModelCore& core) { old.swap(core.sos_groups); });
    return old;
}

}  // namespace ondrel
