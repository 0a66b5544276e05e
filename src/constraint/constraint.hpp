// Operations on one stored constraint, addressed by its store and id: what the Constraint handle
// reads and writes. Each takes the store's lock once; callers pass the live store (resolving the
// handle's weak reference is theirs). An id that names no constraint raises the constraint-id
// error.
#pragma once

#include <optional>
#include <string>

#include <vector>

#include "model/store.hpp"

namespace ondrel {

inline constexpr std::string_view kVariableOfOtherModel = "Variable belongs to a different model than the constraint.";
inline constexpr std::string_view kExprOfOtherModel = "Expression is bound to a different model than the constraint.";

// The record's numbers and sense (no name, no terms).
struct ConstraintFields {
    std::optional<double> pi;
    std::optional<double> slack;
    double rhs;
    Sense sense;
};
ConstraintFields constraint_fields(SharedModel& model, ConstraintId cid);
std::string constraint_name(SharedModel& model, ConstraintId cid);
std::vector<Term> constraint_terms(SharedModel& model, ConstraintId cid);

// Stores `name` as is; returns the old name, released by the caller after the lock.
std::string set_constraint_name(SharedModel& model, ConstraintId cid, std::string name);
enum class ConstraintNumber { Pi, Slack };
void set_constraint_number(SharedModel& model, ConstraintId cid, ConstraintNumber which, double x);
void set_constraint_sense(SharedModel& model, ConstraintId cid, Sense sense);

// coefficient of variable `vid` := coeff; 0.0 (either sign) removes the term, keeping the order
// of the others; a new term is appended. Checks, under the lock and before any change: the
// coefficient is finite, the variable id and then the constraint id are in range.
void set_constraint_coefficient(SharedModel& model, ConstraintId cid, VarId vid, double coeff);

// Replaces the terms (zero coefficients left out), rhs (the negated constant, sign bit
// flipped) and sense by those of `expr`; the name, pi and slack stay. The expression must be
// unbound or bound to `model`, and pass the checks add_constraint applies.
void set_constraint_expr(SharedModel& model, ConstraintId cid, const ExprValue& expr);

// rhs := rhs after checking it is finite and the id is in range.
void set_constraint_rhs(SharedModel& model, ConstraintId cid, double rhs);

// Sum of coefficient * value in term order, starting from 0.0 - rhs; absent as soon as a term's
// variable has no stored value.
std::optional<double> constraint_value(SharedModel& model, ConstraintId cid);
// As constraint_value, with the bound-based default for a variable without a value.
double constraint_value_or_default(SharedModel& model, ConstraintId cid);
// Whether the stored solution satisfies the constraint within eps.
bool constraint_valid(SharedModel& model, ConstraintId cid, double eps);

// The texts of a constraint. Names and numbers are read under the lock, the text built after.
std::string constraint_str(SharedModel& model, ConstraintId cid);       // "x + 2*y <= 5"
std::string constraint_repr_str(SharedModel& model, ConstraintId cid);  // "1.0*x + 2.0*y + -5.0 <= 0"
std::string constraint_lp_constraint(SharedModel& model, ConstraintId cid, std::string_view label);
std::string constraint_lp_affine(SharedModel& model, ConstraintId cid, std::string_view label, bool include_constant);

}  // namespace ondrel
