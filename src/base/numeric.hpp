// Numeric constants shared by every layer.
#pragma once

#include <limits>

namespace ondrel {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace ondrel
