// The model store: records, the store itself, the shared holder with its lock, and the
// operations that build a model. Plain C++; the Python classes call into this.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/enums.hpp"
#include "model/term_map.hpp"
#include "base/errors.hpp"

namespace ondrel {

struct SharedModel;

// Optional weak reference to a store. `bound` distinguishes "never bound" from "bound to a store
// that is gone", which a weak pointer alone cannot tell apart.
struct ModelRef {
    std::weak_ptr<SharedModel> ptr;
    bool bound = false;

    static ModelRef to(const std::shared_ptr<SharedModel>& m) { return ModelRef{m, true}; }
};

// The value behind an affine expression, also stored as the objective.
struct ExprValue {
    TermMap terms;
    std::optional<std::string> name;
    double constant = 0.0;
    ModelRef model;
    std::optional<Sense> sense;
};

struct VariableRecord {
    std::string name;
    double lb = 0.0;
    double ub = 0.0;
    double value_ = 0.0;
    double dj_ = 0.0;
    Category category = Category::Continuous;
    bool has_value = false;
    bool has_dj = false;

    std::optional<double> value() const { return has_value ? std::optional<double>(value_) : std::nullopt; }
    std::optional<double> dj() const { return has_dj ? std::optional<double>(dj_) : std::nullopt; }
    void set_value(double v) noexcept {
        value_ = v;
        has_value = true;
    }
    void set_dj(double v) noexcept {
        dj_ = v;
        has_dj = true;
    }
};

struct ConstraintRecord {
    std::string name;
    TermMap terms;
    double rhs = 0.0;
    double pi_ = 0.0;
    double slack_ = 0.0;
    Sense sense = Sense::LessEqual;
    bool has_pi = false;
    bool has_slack = false;

    std::optional<double> pi() const { return has_pi ? std::optional<double>(pi_) : std::nullopt; }
    std::optional<double> slack() const { return has_slack ? std::optional<double>(slack_) : std::nullopt; }
    void set_pi(double v) noexcept {
        pi_ = v;
        has_pi = true;
    }
    void set_slack(double v) noexcept {
        slack_ = v;
        has_slack = true;
    }
};

struct SosMember {
    VarId id;
    double weight;
};

struct SosGroup {
    std::vector<SosMember> members;
    std::optional<std::string> key;
    SosKind kind = SosKind::Sos1;
};

struct ModelCore {
    std::string name;
    std::vector<VariableRecord> variables;
    std::vector<ConstraintRecord> constraints;
    std::vector<SosGroup> sos_groups;
    std::optional<ExprValue> objective;
    std::uint64_t auto_name_counter = 0;
    ObjSense objective_sense = ObjSense::Minimize;
};

struct SharedModel {
    explicit SharedModel(std::string model_name) { core.name = std::move(model_name); }
    std::mutex lock;
    ModelCore core;
};

// ---------------------------------------------------------------------------------------------
// Services shared by every operation.

inline constexpr std::string_view kLostHandleModel =
    "The model this variable/constraint belongs to no longer exists. Do not reassign or delete "
    "the DoRaduvar and then use its variables or constraints.";
inline constexpr std::string_view kLostExprModel =
    "The model this variable/expression belongs to no longer exists. Do not reassign or delete "
    "the DoRaduvar and then use its variables or expressions.";

// Turns a weak reference into a strong one, or raises the lost-model error with `lost_text`.
inline std::shared_ptr<SharedModel> resolve(const std::weak_ptr<SharedModel>& ref,
                                            std::string_view lost_text) {
    std::shared_ptr<SharedModel> m = ref.lock();
    if (!m) raise_value(std::string(lost_text));
    return m;
}

// Runs f on the locked store and returns its result; the lock is released on every path.
template <class F>
decltype(auto) with_core(SharedModel& m, F&& f) {
    std::lock_guard<std::mutex> guard(m.lock);
    return std::forward<F>(f)(m.core);
}

inline std::uint64_t store_identity(const SharedModel* m) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(m));
}

[[noreturn]] void raise_variable_id(VarId id, std::size_t count);
[[noreturn]] void raise_constraint_id(ConstraintId id, std::size_t count);

inline VariableRecord& variable_at(ModelCore& core, VarId id) {
    if (id >= core.variables.size()) raise_variable_id(id, core.variables.size());
    return core.variables[id];
}
inline const VariableRecord& variable_at(const ModelCore& core, VarId id) {
    if (id >= core.variables.size()) raise_variable_id(id, core.variables.size());
    return core.variables[id];
}
inline ConstraintRecord& constraint_at(ModelCore& core, ConstraintId id) {
    if (id >= core.constraints.size()) raise_constraint_id(id, core.constraints.size());
    return core.constraints[id];
}
inline const ConstraintRecord& constraint_at(const ModelCore& core, ConstraintId id) {
    if (id >= core.constraints.size()) raise_constraint_id(id, core.constraints.size());
    return core.constraints[id];
}

// Name of a variable id, or the empty string for an id that names no variable.
inline std::string_view variable_name_or_empty(const ModelCore& core, VarId id) noexcept {
    return id < core.variables.size() ? std::string_view(core.variables[id].name) : std::string_view();
}

// ---------------------------------------------------------------------------------------------
// Names.

// Every ASCII space becomes an underscore; nothing else changes.
void apply_variable_name_rule(std::string& name) noexcept;

// ---------------------------------------------------------------------------------------------
// Building a model. Functions taking a ModelCore& expect the caller to hold the store's lock.

VarId add_variable(ModelCore& core, std::string name, double lb, double ub, Category category);
// Appends one variable per name (moved from), returns the first new id.
VarId add_variables(ModelCore& core, std::span<std::string> names, double lb, double ub,
                    Category category);

// Checks an expression as a constraint body: sense, finite constant, then each term's
// coefficient and id in term order.
void validate_constraint_expr(const ModelCore& core, const ExprValue& expr);

// Checks that `expr` may be stored in `target` (unbound, or bound to that very store).
void check_expr_binding(const ExprValue& expr, const SharedModel& target,
                        std::string_view different_text);

ConstraintId add_constraint(SharedModel& model, const ExprValue& expr);
void set_objective(const std::shared_ptr<SharedModel>& model, const ExprValue& expr);

struct ColumnEntry {
    ConstraintId constraint;
    double coeff;
};
VarId add_column(const std::shared_ptr<SharedModel>& model, std::string name, double lb, double ub,
                 Category category, double obj_coeff, std::span<const ColumnEntry> entries);

void remove_variables(ModelCore& core, std::span<const VarId> ids);

void add_sos_group(ModelCore& core, SosKind kind, std::optional<std::string> key,
                   std::vector<SosMember> members);

}  // namespace ondrel
