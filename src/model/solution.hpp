// Storing what a solver reports back: values and reduced costs of variables, duals and slacks
// of constraints, by id or by name, and rounding the stored values as a whole.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "model/store.hpp"

namespace ondrel {

using IdValue = std::pair<std::uint64_t, double>;

// What a solver reports for one variable or constraint.
enum class SolutionField { VariableValue, VariableDj, ConstraintPi, ConstraintSlack };

// Applies the pairs in order; ids that name no record are skipped.
void set_solution_by_id(SharedModel& model, SolutionField field, std::span<const IdValue> pairs);

// Visits the records in id order; a record whose name is a key of `values` (any map from
// std::string to double that finds by std::string_view) gets that value.
template <class Map>
void set_solution_by_name(SharedModel& model, SolutionField field, const Map& values);

// Rounds every stored variable value to its bounds and, for Integer variables, to integers.
void round_solution(SharedModel& model, double eps_int, double eps);

// Whether any variable (detached ones included) is Integer or Binary.
bool is_mip(SharedModel& model);

// ---------------------------------------------------------------------------------------------

namespace detail {
void set_field(VariableRecord& r, SolutionField field, double x) noexcept;
void set_constraint_field(ModelCore& core, ConstraintId id, SolutionField field, double x);

template <class Map>
void set_by_name(ModelCore& core, SolutionField field, const Map& values) {
    if (field == SolutionField::VariableValue || field == SolutionField::VariableDj) {
        for (VariableRecord& r : core.variables) {
            const auto it = values.find(std::string_view(r.name));
            if (it != values.end()) set_field(r, field, it->second);
        }
    } else {
        for (std::size_t id = 0; id < core.constraints.size(); ++id) {
            const auto it = values.find(std::string_view(core.constraints[id].name));
            if (it != values.end()) set_constraint_field(core, id, field, it->second);
        }
    }
}
}  // namespace detail

template <class Map>
void set_solution_by_name(SharedModel& model, SolutionField field, const Map& values) {
    if (values.empty()) return;
    with_core(model, [&](ModelCore& core) { detail::set_by_name(core, field, values); });
}

}  // namespace ondrel
