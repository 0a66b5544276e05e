#include "model/name_order.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ondrel {

namespace {

// The first eight bytes of a name, zero-padded, as a big-endian number: a smaller key means a
// smaller name in byte-wise order whenever the keys differ.
std::uint64_t prefix_key(std::string_view name) noexcept {
    unsigned char b[8] = {};
    std::memcpy(b, name.data(), std::min<std::size_t>(name.size(), 8));
    std::uint64_t k = 0;
    for (unsigned char c : b) k = (k << 8) | c;
    return k;
}

bool bytes_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c < 0 || (c == 0 && a.size() < b.size());
}

}  // namespace

void NameOrder::sort() {
    const std::size_t n = size();
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many names to sort");
    struct Keyed {
        std::uint64_t key;
        std::uint32_t index;
    };
    std::vector<Keyed> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = Keyed{prefix_key(name(i)), static_cast<std::uint32_t>(i)};
    // Equal keys fall back to the whole names (only names that share their first eight bytes,
    // or shorter names padded alike), then to the index, which keeps equal names in order.
    std::sort(keys.begin(), keys.end(), [this](const Keyed& a, const Keyed& b) {
        if (a.key != b.key) return a.key < b.key;
        const std::string_view x = name(a.index), y = name(b.index);
        if (x != y) return bytes_less(x, y);
        return a.index < b.index;
    });
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        order_[i] = keys[i].index;
        if (i > 0 && keys[i].key == keys[i - 1].key && name(keys[i].index) == name(keys[i - 1].index)) repeat_ = true;
    }
}

std::vector<std::uint32_t> NameOrder::ranks() const {
    std::vector<std::uint32_t> rank(order_.size());
    for (std::size_t p = 0; p < order_.size(); ++p) rank[order_[p]] = static_cast<std::uint32_t>(p);
    return rank;
}

}  // namespace ondrel
