#include "model/variable_rules.hpp"

#include <cmath>

#include "base/errors.hpp"
#include "base/numeric.hpp"

namespace ondrel {

bool is_free(const VariableRecord& v) noexcept { return v.lb == -kInf && v.ub == kInf; }

bool is_constant(const VariableRecord& v) noexcept { return std::isfinite(v.lb) && v.lb == v.ub; }

bool is_positive(const VariableRecord& v) noexcept { return v.lb == 0.0 && v.ub == kInf; }

bool is_integer(const VariableRecord& v) noexcept { return v.category == Category::Integer; }

bool is_binary(const VariableRecord& v) noexcept {
    return v.category == Category::Binary ||
           (v.category == Category::Integer && v.lb == 0.0 && v.ub == 1.0);
}

bool is_valid(const VariableRecord& v, double eps) noexcept {
    if (!v.has_value) return v.name == "__dummy";
    const double x = v.value_;
    if (std::isfinite(v.ub) && x > v.ub + eps) return false;
    if (std::isfinite(v.lb) && x < v.lb - eps) return false;
    if (v.category == Category::Integer && std::fabs(std::round(x) - x) > eps) return false;
    return true;
}

double infeasibility_gap(const VariableRecord& v, bool mip) {
    if (!v.has_value) raise_value("variable value is None");
    const double x = v.value_;
    if (std::isfinite(v.ub) && x > v.ub) return x - v.ub;
    if (std::isfinite(v.lb) && x < v.lb) return x - v.lb;
    if (mip && v.category == Category::Integer) {
        const double gap = std::round(x) - x;
        if (!(gap == 0.0)) return gap;
    }
    return 0.0;
}

void round_value(VariableRecord& v, double eps_int, double eps) noexcept {
    if (!v.has_value) return;
    const double value = v.value_;
    double x = value;
    if (std::isfinite(v.ub) && v.ub < value && value <= eps + v.ub) {
        x = v.ub;
    } else if (std::isfinite(v.lb) && v.lb - eps <= value && value < v.lb) {
        x = v.lb;
    }
    if (v.category == Category::Integer) {
        const double r = std::round(x);
        if (std::fabs(x - r) <= eps_int) x = r;
    }
    v.set_value(x);
}

std::optional<double> rounded_value(const VariableRecord& v, double eps) noexcept {
    if (!v.has_value) return std::nullopt;
    const double x = v.value_;
    if (v.category == Category::Integer) {
        const double r = std::round(x);
        if (std::fabs(x - r) <= eps) return r;
    }
    return x;
}

double value_or_default(const VariableRecord& v) noexcept {
    if (v.has_value) return v.value_;
    const bool has_lb = std::isfinite(v.lb);
    const bool has_ub = std::isfinite(v.ub);
    if (has_lb && has_ub) {
        if (v.lb <= 0.0 && 0.0 <= v.ub) return 0.0;
        return v.lb < 0.0 ? v.ub : v.lb;
    }
    if (has_lb) return v.lb > 0.0 ? v.lb : 0.0;
    if (has_ub) return v.ub >= 0.0 ? 0.0 : v.ub;
    return 0.0;
}

}  // namespace ondrel
