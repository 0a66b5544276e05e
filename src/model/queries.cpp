#include "model/queries.hpp"

#include <algorithm>

namespace ondrel {

std::size_t variable_count(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return core.variables.size(); });
}

std::size_t constraint_count(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return core.constraints.size(); });
}

std::vector<VarId> used_variable_ids(const ModelCore& core) {
    const std::size_t n = core.variables.size();
    std::vector<bool> seen(n, false);
    std::vector<VarId> beyond;  // ids that name no variable
    const auto mark = [&](VarId id) {
        if (id < n) {
            seen[id] = true;
        } else {
            beyond.push_back(id);
        }
    };
    if (core.objective) {
        for (const Term& t : core.objective->terms) mark(t.id);
    }
    for (const ConstraintRecord& c : core.constraints) {
        for (const Term& t : c.terms) mark(t.id);
    }
    for (const SosGroup& g : core.sos_groups) {
        for (const SosMember& m : g.members) mark(m.id);
    }
    std::vector<VarId> ids;
    for (std::size_t i = 0; i < n; ++i) {
        if (seen[i]) ids.push_back(i);
    }
    std::sort(beyond.begin(), beyond.end());
    beyond.erase(std::unique(beyond.begin(), beyond.end()), beyond.end());
    ids.insert(ids.end(), beyond.begin(), beyond.end());
    return ids;
}

std::vector<VarId> used_variable_ids(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return used_variable_ids(core); });
}

std::optional<ConstraintId> find_constraint_by_name(SharedModel& model, std::string_view name) {
    return with_core(model, [&](const ModelCore& core) -> std::optional<ConstraintId> {
        for (std::size_t i = 0; i < core.constraints.size(); ++i) {
            if (core.constraints[i].name == name) return i;
        }
        return std::nullopt;
    });
}

std::string summary(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) -> std::string {
        return Msg() << "Model(name=" << core.name << ", vars=" << core.variables.size()
                     << ", constraints=" << core.constraints.size()
                     << ", objective=" << (core.objective ? "set" : "unset") << ")";
    });
}

std::optional<ExprValue> objective_copy(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return core.objective; });
}

std::vector<SosGroup> sos_groups_copy(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return core.sos_groups; });
}

namespace {

template <class Records>
std::vector<std::string> names_of(const Records& records) {
    std::vector<std::string> out;
    out.reserve(records.size());
    for (const auto& r : records) out.push_back(r.name);
    return out;
}

}  // namespace

std::vector<std::string> variable_names(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return names_of(core.variables); });
}

std::vector<std::string> constraint_names(SharedModel& model) {
    return with_core(model, [](const ModelCore& core) { return names_of(core.constraints); });
}

CoefficientTable coefficient_table(SharedModel& model) {
    CoefficientTable table;
    with_core(model, [&](const ModelCore& core) {
        table.variable_names = names_of(core.variables);
        table.constraint_names = names_of(core.constraints);
        std::size_t nnz = 0;
        for (const ConstraintRecord& r : core.constraints) nnz += r.terms.size();
        table.entries.reserve(nnz);
        for (std::size_t i = 0; i < core.constraints.size(); ++i) {
            for (const Term& t : core.constraints[i].terms) table.entries.push_back({t.id, i, t.coeff});
        }
    });
    return table;
}

std::shared_ptr<SharedModel> copy_model(SharedModel& source) {
    auto copy = std::make_shared<SharedModel>(std::string());
    // Both locks through with_core, so a call from a signal handler while this thread holds the
    // source (a write in progress) gets the in-use error instead of waiting forever. Nobody else
    // can reach the copy yet, so taking its lock while holding the source's cannot deadlock.
    with_core(source, [&](const ModelCore& original) {
        with_core(*copy, [&](ModelCore& target) {
            target = original;
            if (target.objective) target.objective->model = ModelRef::to(copy);
        });
    });
    return copy;
}

}  // namespace ondrel
