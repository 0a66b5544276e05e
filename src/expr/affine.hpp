// Affine expression arithmetic on the plain value: sum of coefficient times variable plus a
// constant, with an optional sense, name and model binding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "format/lp_fragments.hpp"
#include "model/store.hpp"

namespace ondrel {

// Binds an unbound expression to `ref`; a bound expression keeps its binding for life.
inline void bind_once(ExprValue& e, const ModelRef& ref) {
    if (!e.model.bound && ref.bound) e.model = ref;
}

// coefficient of id := coeff + old (0.0 for a new term, appended). Binds an unbound
// expression to the variable's store first.
inline void add_term(ExprValue& e, const std::weak_ptr<SharedModel>& var_model, VarId id, double coeff) {
    if (!e.model.bound) e.model = ModelRef{var_model, true};
    e.terms.add(id, coeff);
}

// e += sign * other. Checks that both are bound to the same live store when `other` is bound;
// a binding taken from `other` stays even when that check fails.
void add_expr(ExprValue& e, const ExprValue& other, double sign);

void scale(ExprValue& e, double factor) noexcept;

// Sense of the sum of two pending constraints; a present sense never changes.
void combine_sense(ExprValue& e, std::optional<Sense> other, double sign) noexcept;

// The bulk path: adds ids[i] * coeffs[i] pairs in order after binding checks against `model`.
// Pairs before a failing one stay applied.
void add_term_ids_coeffs(ExprValue& e, const std::shared_ptr<SharedModel>& model,
                         std::span<const std::uint64_t> ids, std::span<const double> coeffs);

// The expression's terms as (variable name, coefficient), sorted by name bytes. Names are
// copied out of the store under its lock; an id that names no variable gets the empty name.
// An unbound expression gives an empty list; a bound one whose store is gone raises.
struct NamedTermList {
    std::vector<std::string> names;
    std::vector<NamedTerm> terms;
};
NamedTermList sorted_named_terms(const ExprValue& e);
// The terms of a map of `core` with their names, in term order (the caller holds the store's
// lock; sort the list with sort_terms_by_name after releasing it).
NamedTermList named_terms(const ModelCore& core, const TermMap& terms);

}  // namespace ondrel
