// CPLEX LP text fragments: term lists wrapped at 78 bytes, affine expressions, constraints
// and variable bounds.
//
// Every fragment is written by one template over a sink, any type with
// `append(const char*, std::size_t)` (std::string qualifies), so the LP file writer can stream
// them straight into its output buffer. The string-returning functions at the end are the
// same templates writing into a std::string.
#pragma once

#include <cmath>
#include <concepts>
#include <cstring>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/enums.hpp"
#include "base/numeric.hpp"
#include "format/number.hpp"

namespace ondrel {

struct NamedTerm {
    std::string_view name;  // UTF-8; empty for an id the model does not have
    double coeff;
};

// Byte-wise order of names, bytes compared as unsigned values, a proper prefix first.
bool name_bytes_less(std::string_view a, std::string_view b) noexcept;
// Stable sort of terms by name in that order.
void sort_terms_by_name(std::vector<NamedTerm>& terms);
void sort_terms_by_name(std::span<NamedTerm> terms);

// A piece joins the current line while the line stays within this many bytes.
inline constexpr std::size_t kLpLineLimit = 78;

template <class S>
concept TextSink = requires(S& s, const char* p, std::size_t n) { s.append(p, n); };

// A sink that wants the structure rather than the bytes of a line break: it receives
// end_piece() after the text of every piece and break_line() instead of "\n".
template <class S>
concept PieceSink = TextSink<S> && requires(S& s) {
    s.end_piece();
    s.break_line();
};

// A byte sink that lends room to write into directly (see io/OutputFile): `room(n)` returns
// space for n bytes (n at most kRoomMax), `commit(end)` keeps what was written up to end.
template <class S>
concept RoomSink = TextSink<S> && requires(S& s, std::size_t n, const char* end) {
    { s.room(n) } -> std::same_as<char*>;
    s.commit(end);
};
inline constexpr std::size_t kRoomMax = std::size_t{1} << 16;

// Assembles the lines of one fragment from pieces, applying the line rule: a piece is added
// to the current line when the line's bytes plus the piece's bytes are at most 78, otherwise
// it starts a new line; a longer piece is never split.
template <TextSink Sink>
class LpLineBuilder {
public:
    // Starts the first line with the piece `label` ":".
    LpLineBuilder(Sink& sink, std::string_view label) : sink_(sink) {
        unruled(label, std::string_view(":", 1));
    }

    // One piece made of `parts`, under the line rule.
    template <std::convertible_to<std::string_view>... Parts>
    void piece(const Parts&... parts) {
        const std::size_t n = (std::string_view(parts).size() + ...);
        if (line_bytes_ + n > kLpLineLimit) {
            if constexpr (PieceSink<Sink>) {
                sink_.break_line();
            } else {
                sink_.append("\n", 1);
            }
            line_bytes_ = 0;
        }
        unruled(parts...);
    }

    // One piece added to the current line whatever its length.
    template <std::convertible_to<std::string_view>... Parts>
    void unruled(const Parts&... parts) {
        (put(std::string_view(parts)), ...);
        if constexpr (PieceSink<Sink>) sink_.end_piece();
    }

    // The piece of one term: the sign (" -" below zero, " +" after the first term, nothing
    // for a first term not below zero), a blank, the number text of |coeff| and a blank
    // unless |coeff| is 1, and the name. NaN and negative zero are not below zero.
    void term(std::string_view name, double coeff, bool first) {
        const std::string_view sign = coeff < 0 ? " -" : (first ? "" : " +");
        const double magnitude = std::fabs(coeff);
        char buf[kNumberTextMax];
        std::string_view number;
        if (magnitude != 1.0) number = std::string_view(buf, static_cast<std::size_t>(format_number(magnitude, buf) - buf));
        if constexpr (RoomSink<Sink> && !PieceSink<Sink>) {
            // Written straight into the sink's buffer: the writers' hot path, one term per
            // coefficient of the model.
            const std::size_t n = sign.size() + 1 + (number.empty() ? 0 : number.size() + 1) + name.size();
            if (n <= kRoomMax) {
                if (line_bytes_ + n > kLpLineLimit) {
                    sink_.append("\n", 1);
                    line_bytes_ = 0;
                }
                char* p = sink_.room(n);
                if (!sign.empty()) {
                    p[0] = sign[0];
                    p[1] = sign[1];
                    p += 2;
                }
                *p++ = ' ';
                if (!number.empty()) {
                    std::memcpy(p, number.data(), number.size());
                    p += number.size();
                    *p++ = ' ';
                }
                if (!name.empty()) std::memcpy(p, name.data(), name.size());
                sink_.commit(p + name.size());
                line_bytes_ += n;
                return;
            }
        }
        if (number.empty()) {
            piece(sign, " ", name);
        } else {
            piece(sign, " ", number, " ", name);
        }
    }

    // Ends the current line with "\n" (for byte sinks only).
    void end_line() { sink_.append("\n", 1); }

private:
    void put(std::string_view s) {
        sink_.append(s.data(), s.size());
        line_bytes_ += s.size();
    }

    Sink& sink_;
    std::size_t line_bytes_ = 0;
};

// The term pieces of `sorted_terms`, after the label the builder started with; the current line
// is left open.
template <TextSink Sink>
void write_term_list(LpLineBuilder<Sink>& line, std::span<const NamedTerm> sorted_terms) {
    bool first = true;
    for (const NamedTerm& t : sorted_terms) {
        line.term(t.name, t.coeff, first);
        first = false;
    }
}

// Affine expression: the term list, then with `include_constant` the constant text outside
// the line rule (" - " number text of -k, " + " shortest text of k, or " 0" for zero and NaN);
// every line ends with "\n".
template <TextSink Sink>
void write_affine_fragment(Sink& sink, std::span<const NamedTerm> sorted_terms, std::string_view label,
                           bool include_constant, double constant) {
    LpLineBuilder<Sink> line(sink, label);
    write_term_list(line, sorted_terms);
    if (include_constant) {
        if (constant < 0) {
            char buf[kNumberTextMax];
            line.unruled(" - ", std::string_view(buf, static_cast<std::size_t>(format_number(-constant, buf) - buf)));
        } else if (constant > 0) {
            char buf[kShortestTextMax];
            line.unruled(" + ", std::string_view(buf, static_cast<std::size_t>(format_shortest(constant, buf) - buf)));
        } else {
            line.unruled(" 0");
        }
    }
    line.end_line();
}

// Constraint: the term list, "0" right after the label when there are no terms (outside the
// line rule), then the piece " " sense " " number text of rhs; every line ends with "\n".
template <TextSink Sink>
void write_constraint_fragment(Sink& sink, std::span<const NamedTerm> sorted_terms, std::string_view label,
                               Sense sense, double rhs, bool no_terms) {
    LpLineBuilder<Sink> line(sink, label);
    write_term_list(line, sorted_terms);
    if (no_terms) line.unruled("0");
    char buf[kNumberTextMax];
    line.piece(" ", sense_symbol(sense), " ", std::string_view(buf, static_cast<std::size_t>(format_number(rhs, buf) - buf)));
    line.end_line();
}

// Bounds of one variable, without a line end: "x free", "x = 3", "-inf <= x <= 10",
// "0 <= x" (not Continuous), "x" (Continuous, 0 to +inf), "2.5 <= x <= 4".
template <TextSink Sink>
void write_bounds_fragment(Sink& sink, std::string_view name, double lb, double ub, Category category) {
    const auto put = [&sink](std::string_view s) { sink.append(s.data(), s.size()); };
    const auto put_number = [&sink](double x) {
        char buf[kNumberTextMax];
        sink.append(buf, static_cast<std::size_t>(format_number(x, buf) - buf));
    };
    if (lb == -kInf && ub == kInf) {
        put(name);
        put(" free");
        return;
    }
    if (std::isfinite(lb) && lb == ub) {
        put(name);
        put(" = ");
        put_number(lb);
        return;
    }
    if (!std::isfinite(lb)) {
        put("-inf <= ");
    } else if (!(lb == 0 && category == Category::Continuous)) {
        put_number(lb);
        put(" <= ");
    }
    put(name);
    if (std::isfinite(ub)) {
        put(" <= ");
        put_number(ub);
    }
}

// The lines of a term list: the completed lines and the pieces of the still open current line.
struct TermListLines {
    std::vector<std::string> completed;
    std::vector<std::string> current;
};

TermListLines term_list_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label);

// One string ending with "\n".
std::string affine_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label, bool include_constant,
                            double constant);

// One string ending with "\n".
std::string constraint_fragment(std::span<const NamedTerm> sorted_terms, std::string_view label, Sense sense,
                                double rhs, bool no_terms);

// One string without a line end.
std::string bounds_fragment(std::string_view name, double lb, double ub, Category category);

}  // namespace ondrel
