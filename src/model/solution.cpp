#include "model/solution.hpp"

#include "variable/variable.hpp"

namespace ondrel {

void round_solution(ModelCore& core, double eps_int, double eps) noexcept {
    for (VariableRecord& v : core.variables) round_value(v, eps_int, eps);
}

bool is_mip(const ModelCore& core) noexcept {
    for (const VariableRecord& v : core.variables) {
        if (v.category != Category::Continuous) return true;
    }
    return false;
}

}  // namespace ondrel
