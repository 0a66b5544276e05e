// A list of names kept in one block of characters: a few bytes per name instead of a string
// object each. Both arrays sit in 2 MiB pages when large: a file's names run to tens of
// megabytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/huge_pages.hpp"

namespace ondrel {

class NameList {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(chars_.data() + begin, ends_[i] - begin);
    }
    void reserve(std::size_t names, std::size_t chars) {
        ends_.reserve(names);
        chars_.reserve(chars);
    }
    void add(std::string_view name) {
        chars_.insert(chars_.end(), name.begin(), name.end());
        ends_.push_back(chars_.size());
    }

private:
    HugeVector<char> chars_;
    HugeVector<std::size_t> ends_;
};

}  // namespace ondrel
