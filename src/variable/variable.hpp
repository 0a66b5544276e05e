// Operations on one stored variable, addressed by its store and id: what the Variable handle
// reads and writes. Each takes the store's lock once.
#pragma once

#include <string>

#include "model/store.hpp"

namespace ondrel {

// A copy of the record; raises the variable-id error for an id that names no variable.
VariableRecord variable_record(SharedModel& model, VarId id);
// The name, or "" for an id that names no variable.
std::string variable_name(SharedModel& model, VarId id);

// The setters change nothing for an id that names no variable.
enum class VariableNumber { Value, Lb, Ub, Dj };
void set_variable_number(SharedModel& model, VarId id, VariableNumber which, double x);
void set_variable_category(SharedModel& model, VarId id, Category category);
// Stores `name` after the variable name rule; returns the old name, released by the caller
// after the lock.
std::string set_variable_name(SharedModel& model, VarId id, std::string name);

// Rounds the stored value (see round_value); raises the variable-id error for a bad id.
void round_variable_value(SharedModel& model, VarId id, double eps_int, double eps);

// The CPLEX LP bounds text of the variable ("x free", "0 <= x <= 4", ...).
std::string variable_lp_bounds(SharedModel& model, VarId id);

}  // namespace ondrel
