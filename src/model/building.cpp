#include "model/building.hpp"

#include <algorithm>
#include <cmath>

#include "base/utf8.hpp"

namespace ondrel {

void apply_variable_name_rule(std::string& name) noexcept {
    std::replace(name.begin(), name.end(), ' ', '_');
}

namespace {

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
            if (trimmed.front() == '_') {
                raise_value(
                    "Constraint names must not start with '_'; names beginning with '_' are "
                    "reserved for auto-generated constraints (_C1, _C2, ...).");
            }
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
        core.variables.reserve(core.variables.size() + names.size());
        for (std::string& n : names) append_variable(core, std::move(n), lb, ub, category);
        return first;
    });
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
