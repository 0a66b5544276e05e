// Rules on one variable record: predicates on bounds and category, feasibility, rounding and the
// default value used when no solution exists. A bound is present exactly when it is finite.
// They work on a record (or a copy of one) and lock nothing.
#pragma once

#include <optional>

#include "model/records.hpp"

namespace ondrel {

bool is_free(const VariableRecord& v) noexcept;
bool is_constant(const VariableRecord& v) noexcept;
bool is_positive(const VariableRecord& v) noexcept;
bool is_integer(const VariableRecord& v) noexcept;
bool is_binary(const VariableRecord& v) noexcept;

// Whether the stored value lies within its bounds (give or take eps) and, for Integer
// variables, within eps of an integer. A variable without value is valid only as "__dummy".
bool is_valid(const VariableRecord& v, double eps) noexcept;
// Signed distance from the feasible region; raises ValueError when there is no value.
double infeasibility_gap(const VariableRecord& v, bool mip);
// Pulls the value onto a bound it overshoots by at most eps, then snaps Integer variables to
// an integer within eps_int. No value, nothing to do.
void round_value(VariableRecord& v, double eps_int, double eps) noexcept;
std::optional<double> rounded_value(const VariableRecord& v, double eps) noexcept;
// The value, or 0.0 moved into the bounds.
double value_or_default(const VariableRecord& v) noexcept;

}  // namespace ondrel
