// Building a model: variables, constraints, the objective and its sense, columns, removal of
// variables and SOS groups. Each function taking a SharedModel is one whole operation and takes
// the store's lock itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/store.hpp"

namespace ondrel {

// Every ASCII space becomes an underscore; nothing else changes.
void apply_variable_name_rule(std::string& name) noexcept;

VarId add_variable(SharedModel& model, std::string name, double lb, double ub, Category category);
// Appends one variable per name (moved from), returns the first new id.
VarId add_variables(SharedModel& model, std::span<std::string> names, double lb, double ub,
                    Category category);

// Variables of their own bounds and categories, in one batch.
struct VariableColumns {
    std::span<std::string> names;           // moved from
    std::span<const double> lb;             // one per name
    std::span<const double> ub;             // one per name
    std::span<const std::uint8_t> categories;  // Category codes, one per name
};
// Checks the lengths, then appends the variables, checking each category code as it is stored;
// returns the first new id. A failed call adds nothing. The spans may be memory that another
// thread or process changes during the call: each value is read once.
VarId add_variables(SharedModel& model, const VariableColumns& columns);

// Checks an expression as a constraint body: sense, finite constant, then each term's
// coefficient and id in term order. The caller holds the lock.
void validate_constraint_expr(const ModelCore& core, const ExprValue& expr);

// Checks that `expr` may be stored in `target` (unbound, or bound to that very store). Locks
// nothing: it only compares stores.
void check_expr_binding(const ExprValue& expr, const SharedModel& target,
                        std::string_view different_text);

ConstraintId add_constraint(SharedModel& model, const ExprValue& expr);

// One constraint from a list of terms in which an id may repeat (summed into its first place),
// with its sense, right-hand side and name (absent: automatic), stored as add_constraint stores
// the expression those terms make. Checks, in this order: each term's coefficient finite and
// id in range, the sums of repeated ids finite, a finite right-hand side, the name. A failed
// call stores nothing.
ConstraintId add_constraint_terms(SharedModel& model, std::span<const Term> terms, Sense sense, double rhs,
                                  std::optional<std::string_view> name);

// The objective from a list of terms in which an id may repeat (summed), with its constant and
// sense; every id must name a variable and every coefficient, sum and the constant be finite.
// Replaces the objective, its sense and its name (none). A failed call changes nothing.
void set_objective_terms(const std::shared_ptr<SharedModel>& model, std::span<const Term> terms, double constant,
                         ObjSense sense);

// A batch of constraints in compressed-row form: the terms of row i are the pairs
// (ids[k], coeffs[k]) for k in [starts[i], starts[i + 1]).
struct ConstraintRows {
    std::span<const std::uint64_t> starts;  // rows + 1 offsets: 0, ..., ids.size()
    std::span<const VarId> ids;
    std::span<const double> coeffs;
    std::span<const std::uint8_t> senses;   // Sense codes, one per row
    std::span<const double> rhs;            // one per row, stored as given
    // The name of row i, or nothing for an automatic name; an empty function makes every name
    // automatic. Called once per row.
    std::function<std::optional<std::string_view>(std::size_t)> name;
    std::size_t name_count = 0;  // how many names the caller gave, when `name` is set
};
// Stores each row as add_constraint stores an expression filled by add_term_ids_coeffs with
// the row's pairs, with the row's sense, name and right-hand side. Each row is checked before
// it is stored, and an error takes back the rows stored before it: a failed call changes
// nothing. An error about one row starts with "Row <i>: ". Returns the id of the first new
// constraint. The spans may be memory that another thread or process changes during the call:
// every value is read once, so the terms stored never exceed the length of ids and every
// stored value is one that was checked.
ConstraintId add_constraints(SharedModel& model, const ConstraintRows& rows);

// A whole model's worth of parts, added in one operation: new variables, constraints whose
// ids count from the first new variable (0 is the first of `variables`), and an objective over
// the new variables that replaces the model's. Everything is checked first (the checks of
// add_variables, of add_constraints and finite objective coefficients); a failed call
// changes nothing.
struct ModelParts {
    VariableColumns variables;
    std::span<const VarId> objective_ids;  // counted from the first new variable
    std::span<const double> objective_coeffs;
    std::optional<std::string> objective_name;
    ConstraintRows rows;  // ids counted from the first new variable
};
void add_model_parts(const std::shared_ptr<SharedModel>& model, ModelParts& parts);

void set_objective(const std::shared_ptr<SharedModel>& model, const ExprValue& expr);
// Removes the objective and hands it back, so that it is released after the lock.
std::optional<ExprValue> take_objective(SharedModel& model);
void set_objective_sense(SharedModel& model, ObjSense sense);
ObjSense objective_sense(SharedModel& model);

struct ColumnEntry {
    ConstraintId constraint;
    double coeff;
};
VarId add_column(const std::shared_ptr<SharedModel>& model, std::string name, double lb, double ub,
                 Category category, double obj_coeff, std::span<const ColumnEntry> entries);

// Drops the variables `ids` from every constraint, the objective and every SOS group; the
// variable records stay. Checks every id first.
void remove_variables(SharedModel& model, std::span<const VarId> ids);

void add_sos_group(SharedModel& model, SosKind kind, std::optional<std::string> key,
                   std::vector<SosMember> members);
// Removes every SOS group and hands them back, to be released after the lock.
std::vector<SosGroup> take_sos_groups(SharedModel& model);

}  // namespace ondrel
