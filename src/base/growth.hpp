// Growing a vector for a batch of new elements without making repeated batches quadratic.
#pragma once

#include <algorithm>
#include <cstddef>

namespace ondrel {

// Makes room for `extra` more elements: when they do not fit, the capacity at least doubles,
// so that any sequence of batches, however small, moves each element O(1) times on average.
template <class Vector>
void grow_for(Vector& v, std::size_t extra) {
    const std::size_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() * 2));
}

}  // namespace ondrel
