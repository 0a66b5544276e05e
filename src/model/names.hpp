// The name checks run before files are written (and on request): repeated names and names too
// long for an LP file, with the message text that quotes a name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/store.hpp"

namespace ondrel {

// RuntimeError "Repeated variable names: {('x', 2), ...}" when some variable name occurs more
// than once; the same over constraint names. The caller holds the lock.
void check_duplicate_variable_names(const ModelCore& core);
void check_duplicate_constraint_names(const ModelCore& core);
// RuntimeError "Variable names too long for Lp format: [...]" listing, in id order and quoted,
// every variable name longer than max_length bytes. The caller holds the lock.
void check_variable_name_lengths(const ModelCore& core, std::uint64_t max_length);

// The same checks as whole operations.
void check_duplicate_variable_names(SharedModel& model);
void check_duplicate_constraint_names(SharedModel& model);
void check_variable_name_lengths(SharedModel& model, std::uint64_t max_length);

// `text` in double quotes, with quotes, backslashes, control and other non-printable
// characters escaped (\", \\, \t, \r, \n, \0, \u{hex}).
std::string quoted_for_message(std::string_view text);

}  // namespace ondrel
