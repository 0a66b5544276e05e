#include "expr/evaluation.hpp"

#include <cmath>

#include "format/number.hpp"

namespace ondrel {

namespace {

template <class Terms>
std::optional<double> sum_values(const ModelCore& core, const Terms& terms, double start) {
    double acc = start;
    for (const Term& t : terms) {
        if (t.id >= core.variables.size()) return std::nullopt;
        const VariableRecord& v = core.variables[t.id];
        if (!v.has_value) return std::nullopt;
        acc = acc + v.value_ * t.coeff;
    }
    return acc;
}

}  // namespace

std::optional<double> terms_value(const ModelCore& core, const TermMap& terms, double start) {
    return sum_values(core, terms, start);
}

std::optional<double> terms_value(SharedModel& model, std::span<const Term> terms, double start) {
    return with_core(model, [&](const ModelCore& core) { return sum_values(core, terms, start); });
}

std::optional<double> expr_value(const ExprValue& e) {
    if (!e.model.bound) return e.constant;
    const std::shared_ptr<SharedModel> m = resolve(e.model.ptr, kLostExprModel);
    return with_core(*m, [&](const ModelCore& core) { return terms_value(core, e.terms, e.constant); });
}

double midpoint_default(const VariableRecord& v) noexcept {
    const bool has_lb = std::isfinite(v.lb);
    const bool has_ub = std::isfinite(v.ub);
    if (has_lb && has_ub) return (v.lb + v.ub) * 0.5;
    if (has_lb) return v.lb;
    if (has_ub) return v.ub;
    return 0.0;
}

double terms_value_or_default(const ModelCore& core, const TermMap& terms, double start) {
    double acc = start;
    for (const Term& t : terms) {
        if (t.id >= core.variables.size()) continue;
        const VariableRecord& v = core.variables[t.id];
        const double x = v.has_value ? v.value_ : midpoint_default(v);
        acc = acc + x * t.coeff;
    }
    return acc;
}

double expr_value_or_default(const ExprValue& e) {
    if (!e.model.bound) return e.constant;
    const std::shared_ptr<SharedModel> m = resolve(e.model.ptr, kLostExprModel);
    return with_core(*m, [&](const ModelCore& core) { return terms_value_or_default(core, e.terms, e.constant); });
}

std::vector<std::pair<std::string, double>> var_name_coeffs(const ExprValue& e) {
    std::vector<std::pair<std::string, double>> out;
    if (!e.model.bound) return out;
    const std::shared_ptr<SharedModel> m = resolve(e.model.ptr, kLostExprModel);
    out.reserve(e.terms.size());
    with_core(*m, [&](const ModelCore& core) {
        for (const Term& t : e.terms) out.emplace_back(variable_name_or_empty(core, t.id), t.coeff);
    });
    return out;
}

std::string expression_text(std::span<const NamedTerm> sorted_terms, bool include_constant, double constant) {
    std::string t;
    for (const NamedTerm& term : sorted_terms) {
        const double c = term.coeff;
        if (c < 0) {
            t += t.empty() ? "-" : " - ";
            if (c != -1.0) {
                append_coefficient(t, -c);
                t += '*';
            }
        } else {
            if (!t.empty()) t += " + ";
            if (c != 1.0) {
                append_coefficient(t, c);
                t += '*';
            }
        }
        t += term.name;
    }
    if (include_constant) {
        if (t.empty()) {
            append_coefficient(t, constant);
        } else if (constant < 0) {
            t += " - ";
            append_coefficient(t, -constant);
        } else if (constant > 0) {
            t += " + ";
            append_coefficient(t, constant);
        }
    } else if (t.empty()) {
        t.push_back('0');
    }
    return t;
}

std::string repr_style_text(std::span<const NamedTerm> sorted_terms, double constant, std::optional<Sense> sense) {
    std::string t;
    for (const NamedTerm& term : sorted_terms) {
        append_repr(t, term.coeff);
        t += '*';
        t += term.name;
        t += " + ";
    }
    append_repr(t, constant);
    if (sense) {
        t += ' ';
        t += sense_symbol(*sense);
        t += " 0";
    }
    return t;
}

std::string text_with_sense(std::span<const NamedTerm> sorted_terms, double constant, std::optional<Sense> sense) {
    if (!sense) return expression_text(sorted_terms, true, constant);
    std::string t = expression_text(sorted_terms, false, constant);
    t += ' ';
    t += sense_symbol(*sense);
    t += ' ';
    append_shortest(t, -constant);
    return t;
}

std::string slot_text(const ExprValue& e) {
    std::string t;
    if (e.terms.empty()) {
        append_shortest(t, e.constant);
        return t;
    }
    const std::shared_ptr<SharedModel> m = resolve(e.model.ptr, kLostExprModel);
    std::vector<std::string> names;
    names.reserve(e.terms.size());
    with_core(*m, [&](const ModelCore& core) {
        for (const Term& term : e.terms) {
            if (term.id < core.variables.size()) {
                names.push_back(core.variables[term.id].name);
            } else {
                names.push_back(Msg() << "x" << term.id);
            }
        }
    });
    for (std::size_t i = 0; i < names.size(); ++i) {
        const double c = e.terms[i].coeff;
        if (i == 0) {
            if (c == -1.0) {
                t += '-';
            } else if (c != 1.0) {
                append_shortest(t, c);
                t += '*';
            }
        } else if (c == 1.0) {
            t += " + ";
        } else if (c == -1.0) {
            t += " - ";
        } else if (c < 0) {
            t += " - ";
            append_shortest(t, -c);
            t += '*';
        } else {
            t += " + ";
            append_shortest(t, c);
            t += '*';
        }
        t += names[i];
    }
    if (e.constant != 0.0) {
        if (e.constant > 0) {
            t += " + ";
            append_shortest(t, e.constant);
        } else {
            t += " - ";
            append_shortest(t, -e.constant);
        }
    }
    return t;
}

}  // namespace ondrel
