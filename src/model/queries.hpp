// Read-only questions about a model, the name checks run before files are written, and the
// deep copy. Functions taking a ModelCore expect the caller to hold the store's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"

namespace ondrel {

// Ascending, duplicate-free ids referenced by the objective, any constraint or any SOS group
// (zero coefficients count). Ids that name no variable (possible in the objective and SOS
// groups) are included; they sort after every real id.
std::vector<VarId> used_variable_ids(const ModelCore& core);

// The first constraint whose stored name equals `name` byte for byte.
std::optional<ConstraintId> find_constraint_by_name(const ModelCore& core, std::string_view name);

// "Model(name=..., vars=..., constraints=..., objective=set|unset)".
std::string summary(const ModelCore& core);

// RuntimeError "Repeated variable names: {('x', 2), ...}" when some variable name occurs more
// than once; the same over constraint names.
void check_duplicate_variable_names(const ModelCore& core);
void check_duplicate_constraint_names(const ModelCore& core);
// RuntimeError "Variable names too long for Lp format: [...]" listing, in id order and quoted,
// every variable name longer than max_length bytes.
void check_variable_name_lengths(const ModelCore& core, std::uint64_t max_length);

// `text` in double quotes, with quotes, backslashes, control and other non-printable
// characters escaped (\", \\, \t, \r, \n, \0, \u{hex}).
std::string quoted_for_message(std::string_view text);

// A deep copy of the store in a new holder; the copy's objective refers to the copy.
std::shared_ptr<SharedModel> copy_model(SharedModel& source);

}  // namespace ondrel
