// A list of names kept in one block of characters: a few bytes per name instead of a string
// object each.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel {

class NameList {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(chars_).substr(begin, ends_[i] - begin);
    }
    void reserve(std::size_t names, std::size_t chars) {
        ends_.reserve(names);
        chars_.reserve(chars);
    }
    void add(std::string_view name) {
        chars_.append(name);
        ends_.push_back(chars_.size());
    }

private:
    std::string chars_;
    std::vector<std::size_t> ends_;
};

}  // namespace ondrel
