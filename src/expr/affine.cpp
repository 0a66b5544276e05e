#include "expr/affine.hpp"

#include <cmath>

namespace ondrel {

void add_expr(ExprValue& e, const ExprValue& other, double sign) {
    bind_once(e, other.model);
    if (other.model.bound) {
        const std::shared_ptr<SharedModel> mine = resolve(e.model.ptr, kLostExprModel);
        const std::shared_ptr<SharedModel> theirs = resolve(other.model.ptr, kLostExprModel);
        if (mine != theirs) raise_value("Models are not the same");
    }
    for (const Term& t : other.terms) e.terms.add(t.id, t.coeff * sign);
    e.constant = sign * other.constant + e.constant;
}

void scale(ExprValue& e, double factor) noexcept {
    e.terms.scale(factor);
    e.constant *= factor;
}

void combine_sense(ExprValue& e, std::optional<Sense> other, double sign) noexcept {
    if (e.sense || !other) return;
    if (sign < 0) {
        e.sense = static_cast<Sense>(2 - static_cast<int>(*other));
    } else {
        e.sense = other;
    }
}

void add_term_ids_coeffs(ExprValue& e, const std::shared_ptr<SharedModel>& model,
                         std::span<const std::uint64_t> ids, std::span<const double> coeffs) {
    if (e.model.bound) {
        const std::shared_ptr<SharedModel> mine = resolve(e.model.ptr, kLostExprModel);
        if (mine != model)
            raise_value("expression is already bound to a different model than the given Model");
    } else {
        e.model = ModelRef::to(model);
    }
    const std::size_t limit = with_core(*model, [](ModelCore& c) { return c.variables.size(); });
    const std::size_t n = ids.size();
    Term refused{};
    if (e.terms.add_checked(ids.data(), coeffs.data(), n, limit, &refused) == n) return;
    if (refused.id >= limit) {
        raise_value(Msg() << "variable id " << refused.id << " is out of range (model has " << limit
                          << " variables)");
    }
    raise_value("non-finite coefficient in coeffs buffer");
}

NamedTermList named_terms(const ModelCore& core, const TermMap& terms) {
    NamedTermList out;
    out.names.reserve(terms.size());
    for (const Term& t : terms) out.names.emplace_back(variable_name_or_empty(core, t.id));
    out.terms.reserve(terms.size());
    for (std::size_t i = 0; i < out.names.size(); ++i) out.terms.push_back(NamedTerm{out.names[i], terms[i].coeff});
    return out;
}

NamedTermList sorted_named_terms(const ExprValue& e) {
    if (!e.model.bound) return NamedTermList();
    const std::shared_ptr<SharedModel> m = resolve(e.model.ptr, kLostExprModel);
    NamedTermList out = with_core(*m, [&](const ModelCore& core) { return named_terms(core, e.terms); });
    sort_terms_by_name(out.terms);
    return out;
}

}  // namespace ondrel
