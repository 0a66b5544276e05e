// Read-only questions about a model and the deep copy. Each function taking a SharedModel is
// one whole operation: it locks the store, copies out plain data and unlocks.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/store.hpp"

namespace ondrel {

std::size_t variable_count(SharedModel& model);
std::size_t constraint_count(SharedModel& model);

// Ascending, duplicate-free ids referenced by the objective, any constraint or any SOS group
// (zero coefficients count). Ids that name no variable (possible in the objective and SOS
// groups) are included; they sort after every real id. The caller holds the lock.
std::vector<VarId> used_variable_ids(const ModelCore& core);
std::vector<VarId> used_variable_ids(SharedModel& model);

// The first constraint whose stored name equals `name` byte for byte.
std::optional<ConstraintId> find_constraint_by_name(SharedModel& model, std::string_view name);

// "Model(name=..., vars=..., constraints=..., objective=set|unset)".
std::string summary(SharedModel& model);

std::optional<ExprValue> objective_copy(SharedModel& model);
std::vector<SosGroup> sos_groups_copy(SharedModel& model);
std::vector<std::string> variable_names(SharedModel& model);
std::vector<std::string> constraint_names(SharedModel& model);

// Every constraint coefficient as (variable id, constraint index, coefficient), constraints in
// stored order and terms in term order, with the names of all variables and constraints.
struct CoefficientTable {
    struct Entry {
        VarId var;
        std::size_t constraint;
        double coeff;
    };
    std::vector<std::string> variable_names;
    std::vector<std::string> constraint_names;
    std::vector<Entry> entries;
};
CoefficientTable coefficient_table(SharedModel& model);

// A deep copy of the store in a new holder; the copy's objective refers to the copy.
std::shared_ptr<SharedModel> copy_model(SharedModel& source);

}  // namespace ondrel
