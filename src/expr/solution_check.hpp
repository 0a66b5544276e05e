// The stored solution of a model measured against the model itself, in one pass under one hold
// of the lock: bounds, integrality, rows and the objective.
#pragma once

#include <cstddef>
#include <optional>

#include "model/store.hpp"

namespace ondrel {

struct SolutionCheckResult {
    // The objective evaluated at the stored values, its constant included; absent when a
    // variable in it has no value; 0 without an objective.
    std::optional<double> objective;
    // Absolute violations: the worst variable outside its bounds, the worst Integer or Binary
    // variable away from an integer, the worst row missing its right-hand side. NaN and
    // infinite values count as the worst violations there are.
    double max_bound = 0.0;
    double max_integer = 0.0;
    double max_row = 0.0;
    std::optional<VarId> worst_variable;          // where max_bound occurs
    std::optional<ConstraintId> worst_constraint;  // where max_row occurs
    std::size_t missing_values = 0;                // variables without a value
    std::size_t unevaluated_constraints = 0;       // rows with such a variable
};

SolutionCheckResult check_solution(SharedModel& model);

}  // namespace ondrel
