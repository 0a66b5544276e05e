#include "expr/solution_check.hpp"

#include <cmath>

#include "expr/evaluation.hpp"
#include "model/variable_rules.hpp"

namespace ondrel {

namespace {

// Keeps `candidate` when it is above `worst` or NaN: a NaN is the worst of all, and once the
// worst is NaN any later number replaces it only through this same test.
bool worse(double candidate, double worst) noexcept { return !(candidate <= worst); }

}  // namespace

SolutionCheckResult check_solution(SharedModel& model) {
    SolutionCheckResult r;
    with_core(model, [&](const ModelCore& core) {
        for (std::size_t id = 0; id < core.variables.size(); ++id) {
            const VariableRecord& v = core.variables[id];
            if (!v.has_value) {
                ++r.missing_values;
                continue;
            }
            if (!std::isfinite(v.value_)) {
                // No bound holds an infinite or NaN value back; it is no solution at all.
                if (worse(std::fabs(v.value_), r.max_bound)) {
                    r.max_bound = std::fabs(v.value_);
                    r.worst_variable = id;
                }
                continue;
            }
            const double gap = infeasibility_gap(v, true);
            if (gap != 0.0 || std::isnan(gap)) {
                const double bound_gap = infeasibility_gap(v, false);
                if (bound_gap != 0.0) {
                    if (worse(std::fabs(bound_gap), r.max_bound)) {
                        r.max_bound = std::fabs(bound_gap);
                        r.worst_variable = id;
                    }
                } else if (worse(std::fabs(gap), r.max_integer)) {
                    r.max_integer = std::fabs(gap);
                }
            }
            if (v.category == Category::Binary) {
                // The distance to the nearest integer (an infinite value gives NaN: the worst).
                const double distance = std::fabs(v.value_ - std::round(v.value_));
                if (worse(distance, r.max_integer)) r.max_integer = distance;
            }
        }
        for (std::size_t id = 0; id < core.constraints.size(); ++id) {
            const ConstraintRecord& c = core.constraints[id];
            const std::optional<double> value = terms_value(core, c.terms, 0.0 - c.rhs);
            if (!value) {
                ++r.unevaluated_constraints;
                continue;
            }
            double miss = 0.0;
            switch (c.sense) {
                case Sense::LessEqual: miss = std::fmax(*value, 0.0); break;
                case Sense::GreaterEqual: miss = std::fmax(-*value, 0.0); break;
                case Sense::Equal: miss = std::fabs(*value); break;
            }
            if (std::isnan(*value)) miss = *value;  // fmax would drop it
            if (worse(miss, r.max_row)) {
                r.max_row = miss;
                r.worst_constraint = id;
            }
        }
        r.objective = core.objective ? terms_value(core, core.objective->terms, core.objective->constant)
                                     : std::optional<double>(0.0);
    });
    return r;
}

}  // namespace ondrel
