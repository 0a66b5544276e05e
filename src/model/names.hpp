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

// Whether `text` holds a character that a reader of a text file may take as the end of a line:
// LF, VT, FF, CR, the separators U+001C..U+001E, NEL (U+0085), LS (U+2028), PS (U+2029), or
// NUL, where readers that keep text as C strings stop. A name holding one, written as it is,
// would end its line early and turn the rest of the name into lines of the file.
bool has_line_break(std::string_view text) noexcept;

// RuntimeError "<what> \"<text>\" contains a line break or NUL character and cannot be written
// to a file", the text quoted as quoted_for_message quotes it.
[[noreturn]] void raise_line_break(std::string_view what, std::string_view text);

// `text` in double quotes, with quotes, backslashes, control and other non-printable
// characters escaped (\", \\, \t, \r, \n, \0, \u{hex}).
std::string quoted_for_message(std::string_view text);

}  // namespace ondrel
