// The names of a record list (variables or constraints) copied into one block and put in
// byte-wise order once: what the file writers look names up in, sort by, and check for
// repeats, without touching the records again.
//
// A model of millions of records keeps each name inside its record, tens of bytes apart; the
// writers visit them in an order unrelated to the ids, and each visit was a cache miss. This
// table holds the same bytes a few megabytes wide, and turns sorting by name into sorting by a
// small integer rank.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/huge_pages.hpp"
#include "model/records.hpp"

namespace ondrel {

class NameOrder {
public:
    // Copies the names of `records` (VariableRecord or ConstraintRecord) and sorts them.
    template <class Records>
    explicit NameOrder(const Records& records) {
        std::size_t chars = 0;
        for (const auto& r : records) chars += r.name.size();
        chars_.reserve(chars);
        offsets_.reserve(records.size() + 1);
        offsets_.push_back(0);
        for (const auto& r : records) {
            chars_.insert(chars_.end(), r.name.begin(), r.name.end());
            offsets_.push_back(chars_.size());
        }
        sort();
    }

    std::size_t size() const noexcept { return offsets_.size() - 1; }
    std::string_view name(std::size_t i) const noexcept {
        return std::string_view(chars_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
    }
    // Record indexes in byte-wise name order; equal names keep their index order.
    const HugeVector<std::uint32_t>& order() const noexcept { return order_; }
    // rank(i): the position of record i in order().
    std::vector<std::uint32_t> ranks() const;
    // Whether some name occurs more than once.
    bool has_repeat() const noexcept { return repeat_; }

private:
    void sort();

    HugeVector<char> chars_;
    HugeVector<std::size_t> offsets_;
    HugeVector<std::uint32_t> order_;
    bool repeat_ = false;
};

// Sorts (rank, value) pairs by rank: insertion sort for the short lists of most constraints.
template <class Pair>
void sort_by_rank(std::vector<Pair>& items) {
    const std::size_t n = items.size();
    if (n <= 16) {
        for (std::size_t i = 1; i < n; ++i) {
            const Pair t = items[i];
            std::size_t j = i;
            for (; j > 0 && t.rank < items[j - 1].rank; --j) items[j] = items[j - 1];
            items[j] = t;
        }
        return;
    }
    std::sort(items.begin(), items.end(), [](const Pair& a, const Pair& b) { return a.rank < b.rank; });
}

}  // namespace ondrel
