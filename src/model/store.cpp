#include "model/store.hpp"

namespace ondrel {

void raise_variable_id(VarId id, std::size_t count) {
    raise_value(Msg() << "Variable id " << id << " is out of range (model has " << count
                      << " variables)");
}

void raise_constraint_id(ConstraintId id, std::size_t count) {
    raise_value(Msg() << "Constraint id " << id << " is out of range (model has " << count
                      << " constraints)");
}

}  // namespace ondrel
