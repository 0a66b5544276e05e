// libFuzzer harness for the plain MPS reader.
//
// Every input is checked for UTF-8 and parsed (the parser must be safe on any bytes, valid
// UTF-8 or not); a successful parse must give consistent data. Tokens of the input are also
// fed to the number parser, and for values below 1 its exact fallback conversion is compared
// with the library conversion, so that the rarely used fallback is exercised on every input.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "io/mps_reader.hpp"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Straightforward UTF-8 decoder used as a reference for the validator.
bool reference_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        const std::uint32_t min = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

void check_numbers(std::string_view text) {
    std::size_t i = 0;
    int count = 0;
    while (i < text.size() && count < 64) {
        while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
        const std::size_t start = i;
        while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ') ++i;
        if (i == start) break;
        ++count;
        const std::string_view token = text.substr(start, i - start);
        double v;
        if (!ondrel::io::parse_mps_number(token, v)) continue;
        std::string_view body = token;
        const bool negative = !body.empty() && body[0] == '-';
        if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
        if (body.empty() || !(body[0] == '.' || (body[0] >= '0' && body[0] <= '9'))) continue;
        double lib = 0.0;
        const auto r = std::from_chars(body.data(), body.data() + body.size(), lib);
        if (r.ec != std::errc() || r.ptr != body.data() + body.size()) continue;
        if (!same(negative ? -lib : lib, v)) fail("parse_mps_number differs from from_chars");
        if (lib < 1.0) {
            const double exact = ondrel::io::detail::exact_small_decimal(body);
            if (!same(exact, lib)) {
                std::fprintf(stderr, "token %.*s: exact %a, library %a\n", static_cast<int>(body.size()),
                             body.data(), exact, lib);
                fail("exact conversion differs from from_chars");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (ondrel::io::is_valid_utf8(text) != reference_utf8(text)) fail("UTF-8 validator disagrees");

    ondrel::io::MpsData out;
    std::string error;
    if (ondrel::io::parse_mps(text, out, error)) {
        const std::size_t ncols = out.columns.size();
        const std::size_t nrows = out.rows.size();
        if (out.names.size() != ncols + nrows + 1) fail("name table size");
        std::size_t total = 0;
        for (const auto& r : out.rows) {
            total += r.entries;
            if (r.sense < -1 || r.sense > 1) fail("row sense");
        }
        if (total != out.entries.size()) fail("row entry counts");
        for (const auto& e : out.entries) {
            if (e.row >= nrows || e.column >= ncols) fail("entry index");
        }
        for (const auto& e : out.objective) {
            if (e.column >= ncols) fail("objective index");
        }
        for (std::size_t k = 0; k + 1 < out.names.size(); ++k) {
            if (out.names[k].empty()) fail("empty name");
        }
    } else if (error.empty()) {
        fail("failure without message");
    }
    check_numbers(text);
    return 0;
}
