// Renders CPLEX LP fragments for requests read from stdin, one per line, fields separated by
// tabs, numbers as 16-hex-digit bit patterns; terms are given in stored order and sorted here
// by name as an expression would sort them. Writes one JSON value per request line:
//   T label n {name coeff}*                        -> [completed lines, current pieces]
//   A label include constant n {name coeff}*       -> affine fragment
//   C label sense rhs no_terms n {name coeff}*     -> constraint fragment
//   B name lb ub category                          -> bounds fragment
// Sense and category are their one-byte codes; flags are 0 or 1.
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "format/lp_fragments.hpp"

namespace {

using namespace ondrel;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fragment_probe: %s\n", what);
    std::exit(2);
}

struct Fields {
    std::vector<std::string_view> items;
    std::size_t next = 0;

    std::string_view text() {
        if (next >= items.size()) fail("missing field");
        return items[next++];
    }
    std::uint64_t integer() {
        const std::string_view s = text();
        std::uint64_t v = 0;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size()) fail("bad integer");
        return v;
    }
    double number() {
        const std::string_view s = text();
        std::uint64_t bits = 0;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), bits, 16);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size() || s.size() != 16) fail("bad number");
        return std::bit_cast<double>(bits);
    }
    std::vector<NamedTerm> terms() {
        std::vector<NamedTerm> out(integer());
        for (NamedTerm& t : out) {
            t.name = text();
            t.coeff = number();
        }
        sort_terms_by_name(out);
        return out;
    }
};

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            constexpr char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

void json_list(std::string& out, const std::vector<std::string>& items) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        json_string(out, items[i]);
    }
    out += ']';
}

}  // namespace

int main() {
    std::string line;
    std::string out;
    for (int ch; (ch = std::getchar()) != EOF;) {
        if (ch != '\n') {
            line += static_cast<char>(ch);
            continue;
        }
        Fields f;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            f.items.push_back(std::string_view(line).substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        const std::string_view kind = f.text();
        if (kind == "T") {
            const std::string_view label = f.text();
            const std::vector<NamedTerm> terms = f.terms();
            const TermListLines lines = term_list_fragment(terms, label);
            out += '[';
            json_list(out, lines.completed);
            out += ", ";
            json_list(out, lines.current);
            out += ']';
        } else if (kind == "A") {
            const std::string_view label = f.text();
            const bool include = f.integer() != 0;
            const double constant = f.number();
            const std::vector<NamedTerm> terms = f.terms();
            json_string(out, affine_fragment(terms, label, include, constant));
        } else if (kind == "C") {
            const std::string_view label = f.text();
            const auto sense = static_cast<Sense>(f.integer());
            const double rhs = f.number();
            const bool no_terms = f.integer() != 0;
            const std::vector<NamedTerm> terms = f.terms();
            json_string(out, constraint_fragment(terms, label, sense, rhs, no_terms));
        } else if (kind == "B") {
            const std::string_view name = f.text();
            const double lb = f.number();
            const double ub = f.number();
            const auto category = static_cast<Category>(f.integer());
            json_string(out, bounds_fragment(name, lb, ub, category));
        } else {
            fail("unknown request");
        }
        if (f.next != f.items.size()) fail("extra fields");
        out += '\n';
        line.clear();
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
