#include "constraint/constraint.hpp"

#include <cmath>

#include "expr/affine.hpp"
#include "expr/evaluation.hpp"
#include "format/lp_fragments.hpp"
#include "model/building.hpp"

namespace ondrel {

namespace {

[[noreturn]] void raise_rhs(double rhs) {
    raise_value(Msg() << "Invalid constraint RHS value: " << rhs << ". Coefficients and bounds must be finite.");
}

// A constraint's terms with their names (sorted by name), sense and rhs, copied out under the
// lock and sorted after it.
struct ConstraintSnapshot {
    NamedTermList terms;
    Sense sense;
    double rhs;
};

ConstraintSnapshot snapshot(SharedModel& model, ConstraintId cid) {
    ConstraintSnapshot s = with_core(model, [&](const ModelCore& core) {
        const ConstraintRecord& c = constraint_at(core, cid);
        return ConstraintSnapshot{named_terms(core, c.terms), c.sense, c.rhs};
    });
    sort_terms_by_name(s.terms.terms);
    return s;
}

}  // namespace

ConstraintFields constraint_fields(SharedModel& model, ConstraintId cid) {
    return with_core(model, [&](const ModelCore& core) {
        const ConstraintRecord& c = constraint_at(core, cid);
        const ConstraintSolution* s = constraint_solution(core, cid);
        return ConstraintFields{s ? s->pi : std::nullopt, s ? s->slack : std::nullopt, c.rhs, c.sense};
    });
}

std::string constraint_name(SharedModel& model, ConstraintId cid) {
    return with_core(model, [&](const ModelCore& core) { return constraint_at(core, cid).name; });
}

std::vector<Term> constraint_terms(SharedModel& model, ConstraintId cid) {
    return with_core(model, [&](const ModelCore& core) {
        const TermMap& terms = constraint_at(core, cid).terms;
        return std::vector<Term>(terms.begin(), terms.end());
    });
}

std::string set_constraint_name(SharedModel& model, ConstraintId cid, std::string name) {
    with_core(model, [&](ModelCore& core) { constraint_at(core, cid).name.swap(name); });
    return name;
}

void set_constraint_number(SharedModel& model, ConstraintId cid, ConstraintNumber which, double x) {
    with_core(model, [&](ModelCore& core) {
        constraint_at(core, cid);  // checks the id
        ConstraintSolution& s = constraint_solution_to_set(core, cid);
        (which == ConstraintNumber::Pi ? s.pi : s.slack) = x;
    });
}

void set_constraint_sense(SharedModel& model, ConstraintId cid, Sense sense) {
    with_core(model, [&](ModelCore& core) { constraint_at(core, cid).sense = sense; });
}

void set_constraint_coefficient(SharedModel& model, ConstraintId cid, VarId vid, double coeff) {
    with_core(model, [&](ModelCore& core) {
        if (!std::isfinite(coeff)) {
            raise_value(Msg() << "Invalid coefficient value: " << coeff << " for variable id " << vid
                              << ". Coefficients must be finite.");
        }
        if (vid >= core.variables.size()) raise_variable_id(vid, core.variables.size());
        ConstraintRecord& c = constraint_at(core, cid);
        if (coeff == 0.0) {
            c.terms.erase(vid);
        } else {
            c.terms.set(vid, coeff);
        }
    });
}

void set_constraint_expr(SharedModel& model, ConstraintId cid, const ExprValue& expr) {
    check_expr_binding(expr, model, kExprOfOtherModel);
    with_core(model, [&](ModelCore& core) {
        validate_constraint_expr(core, expr);
        ConstraintRecord& c = constraint_at(core, cid);
        // Built completely before the record is touched.
        TermMap terms = expr.terms;
        terms.erase_zero_coefficients();
        c.terms = std::move(terms);
        c.rhs = -expr.constant;
        c.sense = *expr.sense;
    });
}

void set_constraint_rhs(SharedModel& model, ConstraintId cid, double rhs) {
    if (!std::isfinite(rhs)) raise_rhs(rhs);
    with_core(model, [&](ModelCore& core) { constraint_at(core, cid).rhs = rhs; });
}

std::optional<double> constraint_value(SharedModel& model, ConstraintId cid) {
    return with_core(model, [&](const ModelCore& core) {
        const ConstraintRecord& c = constraint_at(core, cid);
        return terms_value(core, c.terms, 0.0 - c.rhs);
    });
}

double constraint_value_or_default(SharedModel& model, ConstraintId cid) {
    return with_core(model, [&](const ModelCore& core) {
        const ConstraintRecord& c = constraint_at(core, cid);
        return terms_value_or_default(core, c.terms, 0.0 - c.rhs);
    });
}

bool constraint_valid(SharedModel& model, ConstraintId cid, double eps) {
    Sense sense = Sense::LessEqual;
    const std::optional<double> v = with_core(model, [&](const ModelCore& core) {
        const ConstraintRecord& c = constraint_at(core, cid);
        sense = c.sense;
        return terms_value(core, c.terms, 0.0 - c.rhs);
    });
    if (!v) return false;
    switch (sense) {
        case Sense::LessEqual: return *v <= eps;
        case Sense::Equal: return std::fabs(*v) <= eps;
        case Sense::GreaterEqual: return *v >= -eps;
    }
    return false;
}

std::string constraint_str(SharedModel& model, ConstraintId cid) {
    const ConstraintSnapshot s = snapshot(model, cid);
    // The constant -rhs is negated back to rhs exactly (a sign flip), negative zero included.
    return text_with_sense(s.terms.terms, -s.rhs, s.sense);
}

std::string constraint_repr_str(SharedModel& model, ConstraintId cid) {
    const ConstraintSnapshot s = snapshot(model, cid);
    return repr_style_text(s.terms.terms, 0.0 - s.rhs, s.sense);
}

std::string constraint_lp_constraint(SharedModel& model, ConstraintId cid, std::string_view label) {
    const ConstraintSnapshot s = snapshot(model, cid);
    const double rhs = s.rhs == 0.0 ? 0.0 : s.rhs;
    return constraint_fragment(s.terms.terms, label, s.sense, rhs, s.terms.terms.empty());
}

std::string constraint_lp_affine(SharedModel& model, ConstraintId cid, std::string_view label, bool include_constant) {
    const ConstraintSnapshot s = snapshot(model, cid);
    return affine_fragment(s.terms.terms, label, include_constant, 0.0 - s.rhs);
}

}  // namespace ondrel
