#include "model/solution.hpp"

#include "model/variable_rules.hpp"

namespace ondrel {

namespace detail {

void set_field(VariableRecord& r, SolutionField field, double x) noexcept {
    if (field == SolutionField::VariableValue) {
        r.set_value(x);
    } else {
        r.set_dj(x);
    }
}

void set_constraint_field(ModelCore& core, ConstraintId id, SolutionField field, double x) {
    ConstraintSolution& s = constraint_solution_to_set(core, id);
    (field == SolutionField::ConstraintPi ? s.pi : s.slack) = x;
}

}  // namespace detail

void set_solution_by_id(SharedModel& model, SolutionField field, std::span<const IdValue> pairs) {
    with_core(model, [&](ModelCore& core) {
        if (field == SolutionField::VariableValue || field == SolutionField::VariableDj) {
            for (const auto& [id, value] : pairs) {
                if (id < core.variables.size()) detail::set_field(core.variables[id], field, value);
            }
        } else {
            for (const auto& [id, value] : pairs) {
                if (id < core.constraints.size()) detail::set_constraint_field(core, id, field, value);
            }
        }
    });
}

void round_solution(SharedModel& model, double eps_int, double eps) {
    with_core(model, [&](ModelCore& core) {
        for (VariableRecord& v : core.variables) round_value(v, eps_int, eps);
    });
}

bool is_mip(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) {
        for (const VariableRecord& v : core.variables) {
            if (v.category != Category::Continuous) return true;
        }
        return false;
    });
}

}  // namespace ondrel
