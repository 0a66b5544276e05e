// Evaluating an expression against the stored solution, and its human-readable texts.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format/lp_fragments.hpp"
#include "model/store.hpp"

namespace ondrel {

// start + sum(value * coeff) over `terms` in term order, against the stored values of `core`
// (the caller holds its lock); absent when a term's variable has no value or the id names no
// variable.
std::optional<double> terms_value(const ModelCore& core, const TermMap& terms, double start);
// As terms_value, with midpoint_default for a variable without value; ids that name no
// variable are skipped.
double terms_value_or_default(const ModelCore& core, const TermMap& terms, double start);

// start + sum(value * coeff) over a list of terms (ids may repeat), in list order, against the
// stored values; absent when a term's variable has no value or the id names no variable.
std::optional<double> terms_value(SharedModel& model, std::span<const Term> terms, double start);

// constant + sum(value * coeff) in term order; absent when a term's variable has no value or
// the id names no variable. An unbound expression evaluates to its constant.
std::optional<double> expr_value(const ExprValue& e);
// As expr_value, with a bound-based default for variables without value; ids that name no
// variable are skipped.
double expr_value_or_default(const ExprValue& e);
// Default used for a variable without value: the midpoint of finite bounds, the one finite
// bound, or 0.0.
double midpoint_default(const VariableRecord& v) noexcept;

// (variable name, coefficient) per term in insertion order; "" for an id that names no variable.
std::vector<std::pair<std::string, double>> var_name_coeffs(const ExprValue& e);

// "x + 2*y - 2.5*z + 3": sorted terms with coefficient texts, then the constant when asked for.
std::string expression_text(std::span<const NamedTerm> sorted_terms, bool include_constant, double constant);
// "1.0*x + 2.0*y + -2.5*z + 3.0 <= 0": repr texts joined by " + ", then the sense against 0.
std::string repr_style_text(std::span<const NamedTerm> sorted_terms, double constant, std::optional<Sense> sense);
// The expression text, or with a sense: the terms, the sense and the negated constant.
std::string text_with_sense(std::span<const NamedTerm> sorted_terms, double constant, std::optional<Sense> sense);
// str()/repr(): terms in insertion order with shortest number texts ("2*y + x - 2.5*z + 3").
std::string slot_text(const ExprValue& e);

}  // namespace ondrel
