// Reads doubles from stdin, one per line as a 16-hex-digit bit pattern, and writes one line per
// input: format_number, format_shortest, format_coefficient, format_repr and format_mps_number,
// separated by tabs. The bit pattern keeps NaN, negative zero and subnormals exact.
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>

#include "format/number.hpp"

int main() {
    using namespace ondrel;
    char line[64];
    std::string out;
    char buf[kShortestTextMax];
    while (std::fgets(line, sizeof line, stdin)) {
        std::uint64_t bits = 0;
        const auto r = std::from_chars(line, line + 16, bits, 16);
        if (r.ec != std::errc() || r.ptr != line + 16) {
            std::fputs("bad input line\n", stderr);
            return 2;
        }
        const double x = std::bit_cast<double>(bits);
        out.append(buf, static_cast<std::size_t>(format_number(x, buf) - buf));
        out += '\t';
        out.append(buf, static_cast<std::size_t>(format_shortest(x, buf) - buf));
        out += '\t';
        out.append(buf, static_cast<std::size_t>(format_coefficient(x, buf) - buf));
        out += '\t';
        out.append(buf, static_cast<std::size_t>(format_repr(x, buf) - buf));
        out += '\t';
        out.append(buf, static_cast<std::size_t>(format_mps_number(x, buf) - buf));
        out += '\n';
        if (out.size() > (1u << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
