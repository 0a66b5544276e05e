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

void set_field(ConstraintRecord& r, SolutionField field, double x) noexcept {
    if (field == SolutionField::ConstraintPi) {
        r.set_pi(x);
    } else {
        r.set_slack(x);
    }
}

}  // namespace detail

namespace {

template <class Records>
void set_by_id(Records& records, SolutionField field, std::span<const IdValue> pairs) {
    for (const auto& [id, value] : pairs) {
        if (id < records.size()) detail::set_field(records[id], field, value);
    }
}

}  // namespace

void set_solution_by_id(SharedModel& model, SolutionField field, std::span<const IdValue> pairs) {
    with_core(model, [&](ModelCore& core) {
        if (field == SolutionField::VariableValue || field == SolutionField::VariableDj) {
            set_by_id(core.variables, field, pairs);
        } else {
            set_by_id(core.constraints, field, pairs);
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
