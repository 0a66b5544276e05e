// Insertion-ordered map from variable id to coefficient, shared by constraints, the objective
// and expressions.
//
// Entries live in one vector in insertion order. Small maps (up to kLinearLimit entries) are
// searched linearly, which beats any hash table at that size; larger ones get an
// open-addressing index (positions into the vector, linear probing). A copy and the bulk fill
// (add_checked, while it sees no repeated id) leave the index out; it is built by the first
// lookup or append that needs it, or up front by reserve().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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
    TermMap(const TermMap& other) : terms_(other.terms_) {}
    TermMap& operator=(const TermMap& other) {
        if (this != &other) {
            terms_ = other.terms_;
            drop_index();
        }
        return *this;
    }
    TermMap(TermMap&&) noexcept = default;
    TermMap& operator=(TermMap&&) noexcept = default;

    std::size_t size() const noexcept { return terms_.size(); }
    bool empty() const noexcept { return terms_.empty(); }
    const Term* begin() const noexcept { return terms_.data(); }
    const Term* end() const noexcept { return terms_.data() + terms_.size(); }
    const Term& operator[](std::size_t i) const noexcept { return terms_[i]; }
    const std::vector<Term>& terms() const noexcept { return terms_; }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Position of `id` in insertion order, or npos when absent.
    std::size_t position(VarId id) const;
    // Coefficient of `id`, or nullptr when absent.
    const double* find(VarId id) const {
        const std::size_t p = position(id);
        return p == npos ? nullptr : &terms_[p].coeff;
    }
    double* find(VarId id) {
        const std::size_t p = position(id);
        return p == npos ? nullptr : &terms_[p].coeff;
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
    // that pair's position, or n when every pair was applied.
    std::size_t add_checked(const VarId* ids, const double* coeffs, std::size_t n, VarId limit);
    // Removes every entry whose coefficient is 0.0 (either sign), keeping the order of the rest.
    void erase_zero_coefficients();
    // Multiplies every coefficient by factor; order and index are unaffected.
    void scale(double factor) noexcept {
        for (Term& t : terms_) t.coeff = t.coeff * factor;
    }
    // Room for n entries in total, index included.
    void reserve(std::size_t n);
    void clear() noexcept {
        terms_.clear();
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
    void ensure_index() const {
        if (!index_) build_index(terms_.size());
    }
    // Puts position `pos` (holding id) into the index; the index must have room.
    void index_insert(VarId id, std::size_t pos) const noexcept;
    // Slot of id in the index, or the empty slot where it would go.
    std::size_t probe(VarId id) const noexcept;

    std::vector<Term> terms_;
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
