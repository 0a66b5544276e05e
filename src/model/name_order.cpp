#include "model/name_order.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace ondrel {

namespace {

// The first eight bytes of a name, zero-padded, as a big-endian number: a smaller key means a
// smaller name in byte-wise order whenever the keys differ.
std::uint64_t prefix_key(std::string_view name) noexcept {
    unsigned char b[8] = {};
    if (!name.empty()) std::memcpy(b, name.data(), std::min<std::size_t>(name.size(), 8));
    std::uint64_t k = 0;
    for (unsigned char c : b) k = (k << 8) | c;
    return k;
}

bool bytes_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c < 0 || (c == 0 && a.size() < b.size());
}

// Below this many names a comparison sort is as quick as the byte passes.
constexpr std::size_t kRadixMin = 1024;

}  // namespace

void NameOrder::sort() {
    const std::size_t n = size();
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many names to sort");
    struct Keyed {
        std::uint64_t key;
        std::uint32_t index;
    };
    HugeVector<Keyed> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = Keyed{prefix_key(name(i)), static_cast<std::uint32_t>(i)};
    // Whole names, then the index, decide between equal keys (names that share their first
    // eight bytes, or shorter names padded alike); the index keeps equal names in order.
    const auto by_name = [this](const Keyed& a, const Keyed& b) {
        const std::string_view x = name(a.index), y = name(b.index);
        if (x != y) return bytes_less(x, y);
        return a.index < b.index;
    };
    if (n < kRadixMin) {
        std::sort(keys.begin(), keys.end(), [&](const Keyed& a, const Keyed& b) {
            if (a.key != b.key) return a.key < b.key;
            return by_name(a, b);
        });
    } else {
        // Least significant byte first, one stable pass per byte of the key, so equal keys keep
        // the index order; a byte that is the same in every key (the shared first letters of
        // generated names, the padding of short ones) needs no pass. Time linear in the names,
        // where a comparison sort grows with their logarithm.
        std::vector<std::array<std::uint32_t, 256>> count(8);
        for (const Keyed& k : keys) {
            for (unsigned b = 0; b < 8; ++b) ++count[b][(k.key >> (8 * b)) & 0xFF];
        }
        HugeVector<Keyed> other(n);
        for (unsigned b = 0; b < 8; ++b) {
            std::array<std::uint32_t, 256>& c = count[b];
            if (std::find(c.begin(), c.end(), static_cast<std::uint32_t>(n)) != c.end()) continue;
            std::uint32_t sum = 0;
            for (std::uint32_t& v : c) sum += std::exchange(v, sum);
            for (const Keyed& k : keys) other[c[(k.key >> (8 * b)) & 0xFF]++] = k;
            keys.swap(other);
        }
        for (std::size_t i = 0; i < n;) {
            std::size_t j = i + 1;
            while (j < n && keys[j].key == keys[i].key) ++j;
            if (j - i > 1) std::sort(keys.begin() + static_cast<std::ptrdiff_t>(i), keys.begin() + static_cast<std::ptrdiff_t>(j), by_name);
            i = j;
        }
    }
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
