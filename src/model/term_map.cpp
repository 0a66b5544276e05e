#include "model/term_map.hpp"

#include "base/borrowed.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace ondrel {

namespace {
constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max() - 1;
}

TermMap::TermMap(const TermMap& other) {
    if (other.size_ == 0) return;
    data_ = static_cast<Term*>(std::malloc(std::size_t{other.size_} * sizeof(Term)));
    if (data_ == nullptr) throw std::bad_alloc();
    std::memcpy(data_, other.data_, std::size_t{other.size_} * sizeof(Term));
    size_ = capacity_ = other.size_;
}

void TermMap::ensure_capacity(std::size_t n) {
    if (capacity_ != 0 && n <= capacity_) return;
    if (capacity_ == 0 && n <= size_) return;  // a lent slice holds its own entries
    if (n > kMaxEntries) throw std::length_error("term map too large");
    const std::size_t want = std::min<std::size_t>(kMaxEntries, std::max<std::size_t>({n, std::size_t{capacity_} * 2, 4}));
    Term* fresh;
    if (capacity_ != 0) {
        fresh = static_cast<Term*>(std::realloc(data_, want * sizeof(Term)));
    } else {
        fresh = static_cast<Term*>(std::malloc(want * sizeof(Term)));
        if (fresh != nullptr && size_ != 0) std::memcpy(fresh, data_, std::size_t{size_} * sizeof(Term));
    }
    if (fresh == nullptr) throw std::bad_alloc();
    data_ = fresh;
    capacity_ = static_cast<std::uint32_t>(want);
}

void TermMap::build_index(std::size_t n) const {
    n = std::max<std::size_t>(n, size_);
    if (n > kMaxEntries) throw std::length_error("term map too large");
    const std::size_t want = std::max<std::size_t>(64, std::bit_ceil(n * 2));
    if (!index_ || want > std::size_t{mask_} + 1) {
        index_.reset();
        auto* fresh = static_cast<std::uint32_t*>(std::calloc(want, sizeof(std::uint32_t)));
        if (fresh == nullptr) throw std::bad_alloc();
        index_.reset(fresh);
        mask_ = static_cast<std::uint32_t>(want - 1);
        shift_ = 64u - static_cast<unsigned>(std::countr_zero(want));
    } else {
        std::fill_n(index_.get(), std::size_t{mask_} + 1, 0u);
    }
    for (std::size_t i = 0; i < size_; ++i) index_insert(data_[i].id, i);
}

std::size_t TermMap::probe(VarId id) const noexcept {
    std::size_t s = slot_of(id, shift_);
    while (true) {
        const std::uint32_t p = index_[s];
        if (p == 0 || data_[p - 1].id == id) return s;
        s = (s + 1) & mask_;
    }
}

void TermMap::index_insert(VarId id, std::size_t pos) const noexcept {
    index_[probe(id)] = static_cast<std::uint32_t>(pos + 1);
}

std::size_t TermMap::position(VarId id) const {
    if (!index_ && size_ <= kLinearLimit) {
        for (std::size_t i = 0; i < size_; ++i) {
            if (data_[i].id == id) return i;
        }
        return npos;
    }
    ensure_index();
    const std::uint32_t p = index_[probe(id)];
    return p == 0 ? npos : p - 1;
}

void TermMap::append_new(VarId id, double c) {
    const std::size_t pos = size_;
    push_back(Term{id, c});
    if (index_) {
        if ((pos + 1) * 2 > std::size_t{mask_} + 1) {
            build_index(pos + 1);
        } else {
            index_insert(id, pos);
        }
    } else if (size_ > kLinearLimit) {
        build_index(size_);
    }
}

void TermMap::add(VarId id, double c) {
    if (double* old = find(id)) {
        *old = c + *old;
    } else {
        append_new(id, c + 0.0);
    }
}

void TermMap::set(VarId id, double c) {
    if (double* old = find(id)) {
        *old = c;
    } else {
        append_new(id, c);
    }
}

bool TermMap::erase(VarId id) {
    const std::size_t pos = position(id);
    if (pos == npos) return false;
    std::memmove(data_ + pos, data_ + pos + 1, (size_ - pos - 1) * sizeof(Term));
    --size_;
    if (index_) build_index(size_);
    return true;
}

void TermMap::erase_flagged(const std::vector<bool>& drop) {
    const auto flagged = [&](const Term& t) { return t.id < drop.size() && drop[t.id]; };
    Term* const first = std::find_if(data_, data_ + size_, flagged);
    if (first == data_ + size_) return;
    truncate(std::remove_if(first, data_ + size_, flagged));
    if (index_) build_index(size_);
}

void TermMap::erase_zero_coefficients() {
    const auto zero = [](const Term& t) { return t.coeff == 0.0; };
    Term* const first = std::find_if(data_, data_ + size_, zero);
    if (first == data_ + size_) return;
    truncate(std::remove_if(first, data_ + size_, zero));
    drop_index();
}

namespace {

// The index of a refused pair, which is handed back through `refused`.
std::size_t refuse(Term* refused, std::size_t i, VarId id, double c) {
    if (refused != nullptr) *refused = Term{id, c};
    return i;
}

}  // namespace

std::size_t TermMap::add_checked_linear(const VarId* ids, const double* coeffs, std::size_t n, VarId limit,
                                        Term* refused) {
    ensure_capacity(std::size_t{size_} + n);
    for (std::size_t i = 0; i < n; ++i) {
        const VarId id = read_once(ids[i]);
        const double c = read_once(coeffs[i]);
        if (id >= limit || !std::isfinite(c)) return refuse(refused, i, id, c);
        add(id, c);
    }
    return n;
}

// Filling a map that has no index yet (the usual case: a fresh expression) needs only to know
// whether an id was seen before. A bitmap over the id range answers that with no hashing and a
// fraction of the index's memory, and the index itself is left to the first lookup that needs
// one. The first repeated id stops this loop (`stopped` stays false only for a refusal or the
// end): the indexed loop then reads that pair afresh and checks it again.
std::size_t TermMap::add_checked_new_ids(const VarId* ids, const double* coeffs, std::size_t n, VarId limit,
                                         Term* refused, bool& stopped) {
    std::vector<std::uint64_t> seen(static_cast<std::size_t>(limit / 64) + 1, 0);
    for (const Term& t : terms()) {
        if (t.id < limit) seen[t.id >> 6] |= std::uint64_t{1} << (t.id & 63);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const VarId id = read_once(ids[i]);
        const double c = read_once(coeffs[i]);
        if (id >= limit || !std::isfinite(c)) return refuse(refused, i, id, c);
        std::uint64_t& word = seen[id >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (id & 63);
        if (word & bit) {
            stopped = true;
            return i;
        }
        word |= bit;
        data_[size_++] = Term{id, c + 0.0};
    }
    return n;
}

// The slot of the pair kAhead positions on is prefetched (a hint only: whatever id it reads,
// the slot is inside the index); the loop keeps the index in locals since appending entries
// could otherwise be assumed to change it. The index is sized by the caller for the worst case.
std::size_t TermMap::add_checked_indexed(const VarId* ids, const double* coeffs, std::size_t start, std::size_t n,
                                         VarId limit, Term* refused) {
    constexpr std::size_t kAhead = 64;
    std::uint32_t* const index = index_.get();
    const unsigned shift = shift_;
    const std::uint32_t mask = mask_;
    for (std::size_t i = start; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(&index[slot_of(read_once(ids[i + kAhead]), shift)]);
        const VarId id = read_once(ids[i]);
        const double c = read_once(coeffs[i]);
        if (id >= limit || !std::isfinite(c)) return refuse(refused, i, id, c);
        std::size_t s = slot_of(id, shift);
        while (true) {
            const std::uint32_t p = index[s];
            if (p == 0) {
                data_[size_++] = Term{id, c + 0.0};
                index[s] = size_;
                break;
            }
            if (data_[p - 1].id == id) {
                double& old = data_[p - 1].coeff;
                old = c + old;
                break;
            }
            s = (s + 1) & mask;
        }
    }
    return n;
}

std::size_t TermMap::add_checked(const VarId* ids, const double* coeffs, std::size_t n,
                                 VarId limit, Term* refused) {
    const std::size_t total = std::size_t{size_} + n;
    if (total <= kLinearLimit && !index_) return add_checked_linear(ids, coeffs, n, limit, refused);
    if (total > kMaxEntries) throw std::length_error("term map too large");
    ensure_capacity(total);
    std::size_t start = 0;
    // The bitmap is used while it stays small next to the entries (at most 8 bytes per pair).
    if (!index_ && limit / 64 <= total) {
        bool stopped = false;
        start = add_checked_new_ids(ids, coeffs, n, limit, refused, stopped);
        if (!stopped) return start;
    }
    // Size the index for the worst case (all ids new) once, so the loop never rebuilds it and
    // stays under half load.
    if (!index_ || total * 2 > std::size_t{mask_} + 1) build_index(total);
    return add_checked_indexed(ids, coeffs, start, n, limit, refused);
}

void TermMap::reserve(std::size_t n) {
    ensure_capacity(n);
    if (n > kLinearLimit) build_index(n);
}

}  // namespace ondrel
