// What files every reader takes the same way: the names a CPLEX LP file can carry as they are,
// and a free name for a column the writers add.
#pragma once

#include <string>
#include <string_view>

#include "model/store.hpp"

namespace ondrel::io {

// Why a CPLEX LP file cannot carry `name` as it is, worded to follow the quoted name ("starts
// with a digit or a period"), or an empty string when it can. A name holds letters, digits and
// the symbols !"#$%&()/,.;?@_`'{}|~, does not start with a digit or a period, is at most 255
// bytes long and is none of the words LP files reserve (in any case): readers refuse other
// names, split them, or take them for a keyword.
std::string lp_name_problem(std::string_view name);

// `base`, or `base` followed by 2, 3, ...: the first that no variable of `core` is named.
std::string free_variable_name(const ModelCore& core, std::string_view base);

// The name the package's writers give the column that carries the objective's constant: a
// column fixed at 1 whose objective coefficient is the constant, which every reader takes the
// same way (readers differ on the meaning of a constant written any other way).
inline constexpr std::string_view kConstantColumn = "_objconst";

}  // namespace ondrel::io
