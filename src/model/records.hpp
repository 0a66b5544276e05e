// The records a model store holds: variables, constraints, SOS groups and the objective, and
// the store itself. Plain data; the operations on them live beside this file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/enums.hpp"
#include "base/huge_pages.hpp"
#include "model/term_arena.hpp"
#include "model/term_map.hpp"

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
    Sense sense = Sense::LessEqual;
};

// What a solver reported for one constraint. Kept beside the records (ModelCore::
// constraint_solutions) rather than in them: a model being built, often of millions of rows,
// has none, and its rows stay 80 bytes.
struct ConstraintSolution {
    std::optional<double> pi;
    std::optional<double> slack;
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

// The record lists of a store: millions of records, which the writers visit in name order, so
// at random; kept in 2 MiB pages where the system offers them (see base/huge_pages.hpp).
template <class T>
using RecordVector = std::vector<T, HugePageAllocator<T>>;

struct ModelCore {
    std::string name;
    RecordVector<VariableRecord> variables;
    // The terms of constraints added in bulk, which their TermMaps are lent; declared before
    // the constraints, so it outlives them.
    TermArena term_arena;
    RecordVector<ConstraintRecord> constraints;
    // By constraint id; empty until a solution is stored, and shorter than `constraints` when
    // the later ones have none (see constraint_solution in store.hpp).
    std::vector<ConstraintSolution> constraint_solutions;
    std::vector<SosGroup> sos_groups;
    std::optional<ExprValue> objective;
    std::uint64_t auto_name_counter = 0;
    ObjSense objective_sense = ObjSense::Minimize;
};

}  // namespace ondrel
