// The shared store: one ModelCore behind one lock, owned by Model objects through a
// shared_ptr and reached by handles and expressions through weak references.
//
// Lock rule: a function that takes a `SharedModel&` (or a shared_ptr to one) is a whole
// operation; it takes the store's lock itself, once, for exactly its store access. A function
// that takes a `ModelCore&` is a helper of such an operation and expects the lock to be held.
// Only plain C++ operations lock (through with_core); the binding files never do. The lock is
// not re-entrant, and no Python code runs while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/errors.hpp"
#include "model/records.hpp"

namespace ondrel {

struct SharedModel {
    explicit SharedModel(std::string model_name) { core.name = std::move(model_name); }
    std::mutex mutex;
    // The thread holding `mutex` through with_core, if any. A file writer holds the lock while
    // it lets signal handlers run (its interrupt check); a handler that then reaches the same
    // store must get an error, not wait forever on a lock its own thread holds.
    std::atomic<std::thread::id> holder{};
    ModelCore core;
};

inline constexpr std::string_view kModelInUse =
    "The model is in use by an operation that is still running on this thread (a signal handler "
    "cannot use the model that is being written)";

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

// Runs f on the locked store and returns its result; the lock is released on every path. A
// call from the thread that already holds the lock raises RuntimeError instead of deadlocking.
template <class F>
decltype(auto) with_core(SharedModel& m, F&& f) {
    const std::thread::id self = std::this_thread::get_id();
    if (m.holder.load(std::memory_order_relaxed) == self) raise_runtime(std::string(kModelInUse));
    std::lock_guard<std::mutex> guard(m.mutex);
    struct Holding {
        SharedModel& m;
        explicit Holding(SharedModel& model, std::thread::id id) : m(model) { m.holder.store(id, std::memory_order_relaxed); }
        ~Holding() { m.holder.store(std::thread::id(), std::memory_order_relaxed); }
    } holding(m, self);
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

// The solution stored for constraint `id` (which must exist), or nullptr when none is.
inline const ConstraintSolution* constraint_solution(const ModelCore& core, ConstraintId id) noexcept {
    return id < core.constraint_solutions.size() ? &core.constraint_solutions[id] : nullptr;
}
// The solution of constraint `id` (which must exist), to be changed; makes room for every
// constraint the first time.
inline ConstraintSolution& constraint_solution_to_set(ModelCore& core, ConstraintId id) {
    if (id >= core.constraint_solutions.size()) core.constraint_solutions.resize(core.constraints.size());
    return core.constraint_solutions[id];
}

// Name of a variable id, or the empty string for an id that names no variable.
inline std::string_view variable_name_or_empty(const ModelCore& core, VarId id) noexcept {
    return id < core.variables.size() ? std::string_view(core.variables[id].name) : std::string_view();
}

}  // namespace ondrel
