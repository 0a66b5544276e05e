// libFuzzer harness for the plain MPS reader, built by the CMake target mps_reader_fuzz
// (configure with -DONDREL_FUZZ=ON and clang++; see fuzz/Makefile).
//
// Every input is checked for UTF-8 and parsed in one piece (the parser must be safe on any
// bytes, valid UTF-8 or not); a successful parse must give consistent data. The same input is
// then read as a stream in small pieces of varying size, which must give exactly the same
// outcome (the data, or the message). Tokens of the input are also fed to the number parser,
// and for values below 1 its exact fallback conversion is compared with the library
// conversion, so that the rarely used fallback is exercised on every input. The tokens are
// also put into a name table, whose ids must agree with a standard map's. Finally the loader
// reads the same bytes into a store (see below).
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/errors.hpp"
#include "base/name_table.hpp"
#include "base/utf8.hpp"
#include "format/number_parse.hpp"
#include "io/mps_loader.hpp"
#include "io/mps_reader.hpp"
#include "model/store.hpp"

#include "fuzz_support.hpp"

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

using fuzz_support::PieceSource;
using fuzz_support::same_bits;


void compare_data(const ondrel::io::MpsData& a, const ondrel::io::MpsData& b) {
    if (a.problem_name != b.problem_name) fail("stream: problem name");
    if (a.names.size() != b.names.size()) fail("stream: name count");
    for (std::size_t i = 0; i < a.names.size(); ++i) {
        if (a.names[i] != b.names[i]) fail("stream: name");
    }
    if (a.columns.size() != b.columns.size() || a.rows.size() != b.rows.size() ||
        a.entries.size() != b.entries.size() || a.objective.size() != b.objective.size())
        fail("stream: sizes");
    for (std::size_t i = 0; i < a.columns.size(); ++i) {
        const auto& x = a.columns[i];
        const auto& y = b.columns[i];
        if (x.integer != y.integer || x.lower.has_value() != y.lower.has_value() ||
            x.upper.has_value() != y.upper.has_value() || (x.lower && !same_bits(*x.lower, *y.lower)) ||
            (x.upper && !same_bits(*x.upper, *y.upper)))
            fail("stream: column");
    }
    for (std::size_t i = 0; i < a.rows.size(); ++i) {
        if (a.rows[i].sense != b.rows[i].sense || a.rows[i].entries != b.rows[i].entries ||
            !same_bits(a.rows[i].constant, b.rows[i].constant))
            fail("stream: row");
    }
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const auto& x = a.entries[i];
        const auto& y = b.entries[i];
        if (x.row != y.row || x.column != y.column || !same_bits(x.value, y.value)) fail("stream: entry");
    }
    for (std::size_t i = 0; i < a.objective.size(); ++i) {
        if (a.objective[i].column != b.objective[i].column || !same_bits(a.objective[i].value, b.objective[i].value))
            fail("stream: objective");
    }
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// The first 64 white-space separated tokens of the text (white space taken as bytes up to the
// blank, which is enough to find number-like tokens).
std::vector<std::string_view> rough_tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size() && tokens.size() < 64) {
        while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
        const std::size_t start = i;
        while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ') ++i;
        if (i == start) break;
        tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

void check_number(std::string_view token) {
    double v;
    if (!ondrel::parse_mps_number(token, v)) return;
    ondrel::detail::DecimalToken t;
    if (ondrel::detail::scan_decimal(token, t) != ondrel::detail::TokenKind::Decimal) return;
    const std::string_view body = t.body;
    double lib = 0.0;
    const auto r = std::from_chars(body.data(), body.data() + body.size(), lib);
    if (r.ec != std::errc() || r.ptr != body.data() + body.size()) return;
    if (!same(t.negative ? -lib : lib, v)) fail("parse_mps_number differs from from_chars");
    if (lib < 1.0) {
        const double exact = ondrel::detail::exact_small_decimal(t);
        if (!same(exact, lib)) {
            std::fprintf(stderr, "token %.*s: exact %a, library %a\n", static_cast<int>(body.size()),
                         body.data(), exact, lib);
            fail("exact conversion differs from from_chars");
        }
    }
}

// Ids of the name table against a standard map's: one table filled by insert_if_absent (sized
// up front), one by find and insert (as the reader does), both with every token of the input;
// and has_repeated_name over the tokens.
void check_name_table(const std::vector<std::string_view>& tokens) {
    ondrel::NameTable once, twice;
    once.reserve(tokens.size());
    std::unordered_map<std::string_view, std::uint32_t> reference;
    for (const std::string_view name : tokens) {
        const auto lookup = ondrel::NameTable::prepare(name);
        const auto [it, fresh] = reference.try_emplace(name, static_cast<std::uint32_t>(reference.size()));
        const auto inserted = once.insert_if_absent(lookup);
        if (inserted.was_present == fresh || inserted.id != it->second) fail("name table: insert_if_absent");
        const std::uint32_t found = twice.find(lookup);
        if (found != (fresh ? ondrel::NameTable::kAbsent : it->second)) fail("name table: find");
        if (fresh && twice.insert(lookup) != it->second) fail("name table: insert");
    }
    if (once.size() != reference.size() || twice.size() != reference.size()) fail("name table: size");
    const bool repeated = ondrel::has_repeated_name(tokens.size(), [&](std::size_t i) { return tokens[i]; });
    if (repeated != (reference.size() < tokens.size())) fail("has_repeated_name");
    for (const auto& [name, id] : reference) {
        if (once.find(name) != id || twice.find(name) != id) fail("name table: find after inserts");
    }
}

// The outcome of one read: the data, or the message of the failure.
struct Outcome {
    ondrel::io::MpsData data;
    std::optional<std::string> error;
};

template <class Read>
Outcome outcome_of(Read&& read) {
    Outcome o;
    try {
        o.data = read();
    } catch (const ondrel::Error& e) {
        if (e.kind() != ondrel::ErrorKind::Runtime) fail("failure of another kind than Runtime");
        o.error = std::string(e.text());
    }
    return o;
}

void check_consistent(const ondrel::io::MpsData& out) {
    const std::size_t ncols = out.columns.size();
    const std::size_t nrows = out.rows.size();
    if (out.names.size() != ncols + nrows + 1) fail("name table size");
    std::size_t total = 0;
    for (const auto& r : out.rows) {
        total += r.entries;
        if (r.sense < -1 || r.sense > 1) fail("row sense");
    }
    if (total != out.entries.size()) fail("row entry counts");
    out.entries.for_each([&](const ondrel::io::MpsEntry& e) {
        if (e.row >= nrows || e.column >= ncols) fail("entry index");
    });
    for (const auto& e : out.objective) {
        if (e.column >= ncols) fail("objective index");
    }
    for (std::size_t k = 0; k + 1 < out.names.size(); ++k) {
        if (out.names[k].empty()) fail("empty name");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool valid = ondrel::is_valid_utf8(text);
    if (valid != reference_utf8(text)) fail("UTF-8 validator disagrees");

    const Outcome whole = outcome_of([&] { return ondrel::io::parse_mps(text); });

    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size && i < 64; ++i) seed = (seed ^ data[i]) * 16777619u;
    PieceSource source(text, seed, 97);
    const Outcome streamed = outcome_of([&] { return ondrel::io::read_mps_stream(source, 1 + seed % 64); });
    if (!valid) {
        if (streamed.error != "Cannot read file: stream did not contain valid UTF-8")
            fail("stream: invalid UTF-8 not reported");
    } else if (streamed.error != whole.error) {
        fail("stream: different outcome or message");
    } else if (!whole.error) {
        compare_data(whole.data, streamed.data);
    }

    if (!whole.error) {
        check_consistent(whole.data);
    } else if (whole.error->empty()) {
        fail("failure without message");
    }
    // The loader over the same bytes, in pieces (gzip inflated when the input starts with its
    // signature), strict or lenient, reading ranges or not, describing or not: it fails with
    // the module's own error or gives a store whose sizes are the parse's. The two parse alike but for what only the loader reads (OBJSENSE and the
    // "*SENSE:" line before ROWS), so only sizes are compared, when both succeed.
    {
        PieceSource pieces(text, seed ^ 0x9e3779b9u, 97);
        ondrel::io::MpsLoadOptions options;
        options.lenient = (seed & 1) != 0;
        options.ranges = (seed & 2) != 0;
        options.describe = (seed & 4) != 0;
        ondrel::io::MpsLoadFacts facts;
        try {
            const auto model = ondrel::io::load_mps_stream(pieces, 1 + seed % 64, options, facts);
            const auto sizes = ondrel::with_core(*model, [](const ondrel::ModelCore& core) {
                return std::pair(core.variables.size(), core.constraints.size());
            });
            if (!whole.error && !facts.compressed &&
                sizes != std::pair(whole.data.columns.size() + facts.range_variables, whole.data.rows.size()))
                fail("loader: sizes differ from the parse");
            if (facts.entries > whole.data.entries.size() && !whole.error && !facts.compressed)
                fail("loader: more entries than the parse");
        } catch (const ondrel::Error&) {
        }
    }
    const std::vector<std::string_view> tokens = rough_tokens(text);
    for (const std::string_view token : tokens) check_number(token);
    check_name_table(tokens);
    return 0;
}
