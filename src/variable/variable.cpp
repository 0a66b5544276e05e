#include "variable/variable.hpp"

#include "format/lp_fragments.hpp"
#include "model/building.hpp"
#include "model/variable_rules.hpp"

namespace ondrel {

namespace {

// Runs f on the record when the id names a variable; otherwise does nothing.
template <class F>
void update(SharedModel& model, VarId id, F&& f) {
    with_core(model, [&](ModelCore& core) {
        if (id < core.variables.size()) f(core.variables[id]);
    });
}

}  // namespace

VariableRecord variable_record(SharedModel& model, VarId id) {
    return with_core(model, [&](const ModelCore& core) { return variable_at(core, id); });
}

std::string variable_name(SharedModel& model, VarId id) {
    return with_core(model, [&](const ModelCore& core) { return std::string(variable_name_or_empty(core, id)); });
}

void set_variable_number(SharedModel& model, VarId id, VariableNumber which, double x) {
    update(model, id, [&](VariableRecord& r) {
        switch (which) {
            case VariableNumber::Value: r.set_value(x); break;
            case VariableNumber::Lb: r.lb = x; break;
            case VariableNumber::Ub: r.ub = x; break;
            case VariableNumber::Dj: r.set_dj(x); break;
        }
    });
}

void set_variable_category(SharedModel& model, VarId id, Category category) {
    update(model, id, [&](VariableRecord& r) { r.category = category; });
}

std::string set_variable_name(SharedModel& model, VarId id, std::string name) {
    apply_variable_name_rule(name);
    update(model, id, [&](VariableRecord& r) { r.name.swap(name); });
    return name;
}

void round_variable_value(SharedModel& model, VarId id, double eps_int, double eps) {
    with_core(model, [&](ModelCore& core) { round_value(variable_at(core, id), eps_int, eps); });
}

std::string variable_lp_bounds(SharedModel& model, VarId id) {
    const VariableRecord copy = variable_record(model, id);
    return bounds_fragment(copy.name, copy.lb, copy.ub, copy.category);
}

}  // namespace ondrel
