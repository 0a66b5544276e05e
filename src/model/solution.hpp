// Storing what a solver reports back: values and reduced costs of variables, duals and slacks
// of constraints, by id or by name, and rounding the stored values as a whole. Functions take
// an already locked store.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "model/model.hpp"

namespace ondrel {

using IdValue = std::pair<std::uint64_t, double>;

// Applies the pairs in order with `set(record, value)`; ids beyond the records are skipped.
template <class Record, class Set>
void set_by_id(std::vector<Record>& records, std::span<const IdValue> pairs, Set set) {
    for (const auto& [id, value] : pairs) {
        if (id < records.size()) set(records[id], value);
    }
}

// Visits the records in id order; a record whose name is a key of `values` gets that value.
template <class Record, class Map, class Set>
void set_by_name(std::vector<Record>& records, const Map& values, Set set) {
    if (values.empty()) return;
    for (Record& r : records) {
        const auto it = values.find(std::string_view(r.name));
        if (it != values.end()) set(r, it->second);
    }
}

// Rounds every stored variable value to its bounds and, for Integer variables, to integers.
void round_solution(ModelCore& core, double eps_int, double eps) noexcept;

// Whether any variable (detached ones included) is Integer or Binary.
bool is_mip(const ModelCore& core) noexcept;

}  // namespace ondrel
