#include "format/lp_fragments.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ondrel {
namespace {

// Byte-wise comparison as unsigned values, a proper prefix before the longer name.
bool name_less(const NamedTerm& a, const NamedTerm& b) noexcept {
    const std::size_t n = std::min(a.name.size(), b.name.size());
    const int c = n == 0 ? 0 : std::memcmp(a.name.data(), b.name.data(), n);
    return c < 0 || (c == 0 && a.name.size() < b.name.size());
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
    if (terms.size() <= 16) {
        // Insertion sort: stable, and cheap for the short term lists of most constraints.
        for (std::size_t i = 1; i < terms.size(); ++i) {
            const NamedTerm t = terms[i];
            std::size_t j = i;
            for (; j > 0 && name_less(t, terms[j - 1]); --j) terms[j] = terms[j - 1];
            terms[j] = t;
        }
        return;
    }
    std::stable_sort(terms.begin(), terms.end(), name_less);
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
