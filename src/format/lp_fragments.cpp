#include "format/lp_fragments.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>
#include <utility>

namespace ondrel {

bool name_bytes_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c < 0 || (c == 0 && a.size() < b.size());
}

namespace {

bool name_less(const NamedTerm& a, const NamedTerm& b) noexcept { return name_bytes_less(a.name, b.name); }

// The first eight bytes of a name, zero-padded, as a big-endian number: comparing two of these
// orders the names as name_less does whenever they differ.
std::uint64_t name_prefix(std::string_view name) noexcept {
    unsigned char b[8] = {};
    if (!name.empty()) std::memcpy(b, name.data(), std::min<std::size_t>(name.size(), 8));
    std::uint64_t k = 0;
    for (unsigned char c : b) k = (k << 8) | c;
    return k;
}

// Collects the pieces of the current line and joins them into a completed line at each break.
struct PieceCollector {
    TermListLines lines;
    std::string piece;

    void append(const char* p, std::size_t n) { piece.append(p, n); }
    void end_piece() {
        lines.current.push_back(std::move(piece));
        piece.clear();
    }
    void break_line() {
        std::string joined;
        for (const std::string& p : lines.current) joined += p;
        lines.completed.push_back(std::move(joined));
        lines.current.clear();
    }
};

}  // namespace

void sort_terms_by_name(std::span<NamedTerm> terms) {
    const std::size_t n = terms.size();
    // Terms often arrive in name order already: one pass finds that out.
    std::size_t first_out = 1;
    while (first_out < n && !name_less(terms[first_out], terms[first_out - 1])) ++first_out;
    if (first_out >= n) return;
    if (n <= 16) {
        // Insertion sort: stable, and cheap for the short term lists of most constraints.
        for (std::size_t i = first_out; i < n; ++i) {
            const NamedTerm t = terms[i];
            std::size_t j = i;
            for (; j > 0 && name_less(t, terms[j - 1]); --j) terms[j] = terms[j - 1];
            terms[j] = t;
        }
        return;
    }
    // Longer lists sort small keys: the first eight name bytes as one big-endian number decide
    // most comparisons without touching the names; equal prefixes fall back to the full names,
    // and equal names keep their positions.
    struct Keyed {
        std::uint64_t prefix;
        std::size_t index;
    };
    std::vector<Keyed> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = Keyed{name_prefix(terms[i].name), i};
    std::stable_sort(keys.begin(), keys.end(), [&](const Keyed& a, const Keyed& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return name_less(terms[a.index], terms[b.index]);
    });
    const std::vector<NamedTerm> original(terms.begin(), terms.end());
    for (std::size_t i = 0; i < n; ++i) terms[i] = original[keys[i].index];
}

void sort_terms_by_name(std::vector<NamedTerm>& terms) { sort_terms_by_name(std::span<NamedTerm>(terms)); }

TermListLines term_list_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label) {
    PieceCollector collector;
    LpLineBuilder<PieceCollector> line(collector, label);
    write_term_list(line, sorted_terms);
    return std::move(collector.lines);
}

std::string affine_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label, bool include_constant,
                            double constant) {
    std::string s;
    write_affine_fragment(s, sorted_terms, label, include_constant, constant);
    return s;
}

std::string constraint_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label, Sense sense,
                                double rhs, bool no_terms) {
    std::string s;
    write_constraint_fragment(s, sorted_terms, label, sense, rhs, no_terms);
    return s;
}

std::string bounds_fragment(std::string_view name, double lb, double ub, Category category) {
    std::string s;
    write_bounds_fragment(s, name, lb, ub, category);
    return s;
}

}  // namespace ondrel
