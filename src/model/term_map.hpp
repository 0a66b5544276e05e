// Insertion-ordered map from variable id to coefficient, shared by constraints, the objective
// and expressions.
//
// Entries live in one array in insertion order. The array is either the map's own heap block,
// or lent: a slice of a larger block that someone else owns and frees (the term arena of a
// store, where constraints added in bulk keep their terms side by side, with no allocation per
// row). A lent slice belongs to this map alone, so it is changed in place; only growing past
// it moves the entries to a block of the map's own. Small maps (up to kLinearLimit entries) are
// searched linearly, which beats any hash table at that size; larger ones get an
// open-addressing index (positions into the vector, linear probing). A copy and the bulk fill
// (add_checked, while it sees no repeated id) leave the index out; it is built by the first
// lookup or append that needs it, or up front by reserve().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace ondrel {

using VarId = std::uint64_t;
using ConstraintId = std::uint64_t;

struct Term {
    VarId id;
    double coeff;
};

class TermMap {
public:
    TermMap() = default;
    // A copy always owns its entries, whatever the source's storage.
    TermMap(const TermMap& other);
    TermMap& operator=(const TermMap& other) {
        if (this != &other) {
            TermMap copy(other);
            swap(copy);
        }
        return *this;
    }
    TermMap(TermMap&& other) noexcept { swap(other); }
    TermMap& operator=(TermMap&& other) noexcept {
        TermMap gone(std::move(other));
        swap(gone);
        return *this;
    }
    ~TermMap() {
        if (capacity_ != 0) std::free(data_);
    }
    void swap(TermMap& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        index_.swap(other.index_);
        std::swap(mask_, other.mask_);
        std::swap(shift_, other.shift_);
    }

    // A map over `n` entries at `data`, which the caller keeps alive, for this map's use alone,
    // for as long as the map (or whatever it is moved into) exists. The ids must be distinct.
    static TermMap lent(Term* data, std::size_t n) noexcept {
        TermMap m;
        if (n != 0) {
            m.data_ = data;
            m.size_ = static_cast<std::uint32_t>(n);
        }
        return m;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const Term* begin() const noexcept { return data_; }
    const Term* end() const noexcept { return data_ + size_; }
    const Term& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<const Term> terms() const noexcept { return {data_, size_}; }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Position of `id` in insertion order, or npos when absent.
    std::size_t position(VarId id) const;
    // Coefficient of `id`, or nullptr when absent.
    const double* find(VarId id) const {
        const std::size_t p = position(id);
        return p == npos ? nullptr : &data_[p].coeff;
    }
    double* find(VarId id) {
        const std::size_t p = position(id);
        return p == npos ? nullptr : &data_[p].coeff;
    }

    // coefficient := c + old, where old is 0.0 for a new id, which is appended.
    void add(VarId id, double c);
    // coefficient := c; a present id keeps its position, a new one is appended.
    void set(VarId id, double c);
    // Appends an id the caller knows to be absent.
    void append_new(VarId id, double c);
    // Removes `id` if present; later entries shift down. Returns whether it was present.
    bool erase(VarId id);
    // Removes every entry whose id is flagged in `drop` (ids beyond its size are kept),
    // keeping the relative order of the rest.
    void erase_flagged(const std::vector<bool>& drop);
    // The bulk path: for each i in order, coefficient of ids[i] := coeffs[i] + old, stopping at
    // the first pair whose id is not below `limit` or whose coefficient is not finite. Returns
    // that pair's position, or n when every pair was applied; the refused pair, as it was read,
    // goes to `refused` when given. The arrays may be lent memory that someone else changes
    // meanwhile: each pair is read once, and what is stored is what was checked.
    std::size_t add_checked(const VarId* ids, const double* coeffs, std::size_t n, VarId limit,
                            Term* refused = nullptr);
    // Removes every entry whose coefficient is 0.0 (either sign), keeping the order of the rest.
    void erase_zero_coefficients();
    // Multiplies every coefficient by factor; order and index are unaffected.
    void scale(double factor) noexcept {
        for (Term* t = data_; t != data_ + size_; ++t) t->coeff = t->coeff * factor;
    }
    // Room for n entries in total, index included.
    void reserve(std::size_t n);
    void clear() noexcept {
        if (capacity_ == 0) data_ = nullptr;  // a lent slice is let go; an own block is kept
        size_ = 0;
        drop_index();
    }

    // Maps up to this size are searched linearly and never get an index.
    static constexpr std::size_t kLinearLimit = 16;

private:
    static std::size_t slot_of(VarId id, unsigned shift) noexcept {
        return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift);
    }
    void drop_index() noexcept {
        index_.reset();
        mask_ = 0;
        shift_ = 64;
    }
    // Makes sure an index exists, sized for at least `n` entries, and is current.
    void build_index(std::size_t n) const;
    // The steps of add_checked: the pairs from `start` on, each read once and checked; each
    // returns the index of the first pair it did not take (n when it took them all), the
    // refused pair's index when it refused one (setting *refused).
    std::size_t add_checked_linear(const VarId* ids, const double* coeffs, std::size_t n, VarId limit,
                                   Term* refused);
    std::size_t add_checked_new_ids(const VarId* ids, const double* coeffs, std::size_t n, VarId limit,
                                    Term* refused, bool& stopped);
    std::size_t add_checked_indexed(const VarId* ids, const double* coeffs, std::size_t start, std::size_t n,
                                    VarId limit, Term* refused);
    void ensure_index() const {
        if (!index_) build_index(size_);
    }
    // Puts position `pos` (holding id) into the index; the index must have room.
    void index_insert(VarId id, std::size_t pos) const noexcept;
    // Slot of id in the index, or the empty slot where it would go.
    std::size_t probe(VarId id) const noexcept;
    // Makes the array hold at least `n` entries, moving them to an own block when they do not
    // fit; an own block at least doubles, so appends cost O(1) each on average.
    void ensure_capacity(std::size_t n);
    void push_back(Term t) {
        if (capacity_ == 0 || size_ == capacity_) ensure_capacity(std::size_t{size_} + 1);
        data_[size_++] = t;
    }
    // Drops the entries from `from` on (from <= size).
    void truncate(Term* from) noexcept { size_ = static_cast<std::uint32_t>(from - data_); }

    // The entries; `capacity_` counts those of an own block, and is 0 when the array is lent
    // (or absent: data_ is null exactly when a map that owns nothing is empty).
    Term* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
    // Slots hold position + 1; 0 marks an empty slot. Capacity is mask_ + 1, a power of two
    // at least twice the number of entries it may hold.
    // Allocated zeroed with calloc: large blocks come straight from fresh zero pages, so an
    // empty index costs no clearing pass.
    struct FreeDeleter {
        void operator()(std::uint32_t* p) const noexcept { std::free(p); }
    };
    mutable std::unique_ptr<std::uint32_t[], FreeDeleter> index_;
    mutable std::uint32_t mask_ = 0;
    mutable unsigned shift_ = 64;
};

}  // namespace ondrel
