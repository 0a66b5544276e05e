// libFuzzer harness for the LP reader, built by the CMake target lp_reader_fuzz (configure with
// -DONDREL_FUZZ=ON and clang++; see fuzz/Makefile).
//
// Every input is loaded as a stream handed out in small pieces of varying size, twice with
// different piece sizes (gzip inflated when the input starts with its signature), reading
// ranges or not: the read fails only with the module's own error, of kind Runtime and with a
// message, and both reads end alike (the same model, or the same message). A model that loads
// is written by the LP writer and loaded back, twice: the counts must survive the first round,
// and the second must give back exactly the model of the first; without automatic names, which
// are numbered in file order, each round writes the bytes of the first write.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "io/lp_reader.hpp"
#include "io/lp_writer.hpp"
#include "io/mps_reader.hpp"
#include "model/store.hpp"

#include "fuzz_support.hpp"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

using fuzz_support::PieceSource;
using fuzz_support::same_bits;

struct Outcome {
    std::shared_ptr<ondrel::SharedModel> model;
    std::optional<std::string> error;
};

Outcome load(std::string_view text, std::uint32_t seed, std::uint32_t most, std::size_t piece, bool ranges) {
    PieceSource source(text, seed, most);
    ondrel::io::LpLoadOptions options;
    options.ranges = ranges;
    ondrel::io::LpLoadFacts facts;
    Outcome o;
    try {
        o.model = ondrel::io::load_lp_stream(source, piece, options, facts);
    } catch (const ondrel::Error& e) {
        if (e.kind() != ondrel::ErrorKind::Runtime) fail("a failure of another kind than Runtime");
        if (e.text().empty()) fail("a failure without message");
        o.error = std::string(e.text());
    }
    return o;
}


bool same_terms(const ondrel::TermMap& a, const ondrel::TermMap& b) {
    if (a.size() != b.size()) return false;
    auto j = b.begin();
    for (const ondrel::Term& t : a) {
        if (t.id != j->id || !same_bits(t.coeff, j->coeff)) return false;
        ++j;
    }
    return true;
}

// The two models hold the same records, bit for bit.
bool same_model(const ondrel::ModelCore& a, const ondrel::ModelCore& b) {
    if (a.name != b.name || a.variables.size() != b.variables.size() || a.constraints.size() != b.constraints.size() ||
        a.sos_groups.size() != b.sos_groups.size() || a.objective_sense != b.objective_sense)
        return false;
    for (std::size_t i = 0; i < a.variables.size(); ++i) {
        const auto& x = a.variables[i];
        const auto& y = b.variables[i];
        if (x.name != y.name || !same_bits(x.lb, y.lb) || !same_bits(x.ub, y.ub) || x.category != y.category) return false;
    }
    for (std::size_t i = 0; i < a.constraints.size(); ++i) {
        const auto& x = a.constraints[i];
        const auto& y = b.constraints[i];
        if (x.name != y.name || x.sense != y.sense || !same_bits(x.rhs, y.rhs) || !same_terms(x.terms, y.terms)) return false;
    }
    for (std::size_t i = 0; i < a.sos_groups.size(); ++i) {
        const auto& x = a.sos_groups[i];
        const auto& y = b.sos_groups[i];
        if (x.kind != y.kind || x.members.size() != y.members.size()) return false;
        for (std::size_t k = 0; k < x.members.size(); ++k) {
            if (x.members[k].id != y.members[k].id || !same_bits(x.members[k].weight, y.members[k].weight)) return false;
        }
    }
    if (a.objective.has_value() != b.objective.has_value()) return false;
    return !a.objective || same_terms(a.objective->terms, b.objective->terms);
}

// The same terms by variable name, coefficients bit for bit, in any order (the writer puts
// them in name order).
bool same_named_terms(const ondrel::ModelCore& a, const ondrel::TermMap& x, const ondrel::ModelCore& b,
                      const ondrel::TermMap& y) {
    if (x.size() != y.size()) return false;
    std::unordered_map<std::string_view, double> coeffs;
    for (const ondrel::Term& t : x) coeffs.emplace(a.variables[t.id].name, t.coeff);
    for (const ondrel::Term& t : y) {
        const auto it = coeffs.find(b.variables[t.id].name);
        if (it == coeffs.end() || !same_bits(it->second, t.coeff)) return false;
    }
    return true;
}

// The two models hold the same variables (by name), constraints and objective, bit for bit,
// whatever the variables' order.
bool same_but_numbering(const ondrel::ModelCore& a, const ondrel::ModelCore& b) {
    if (a.variables.size() != b.variables.size() || a.constraints.size() != b.constraints.size() ||
        a.sos_groups.size() != b.sos_groups.size() || a.objective.has_value() != b.objective.has_value())
        return false;
    std::unordered_map<std::string_view, const ondrel::VariableRecord*> by_name;
    for (const auto& v : a.variables) by_name.emplace(v.name, &v);
    for (const auto& y : b.variables) {
        const auto it = by_name.find(y.name);
        if (it == by_name.end()) return false;
        const auto& x = *it->second;
        if (!same_bits(x.lb, y.lb) || !same_bits(x.ub, y.ub) || x.category != y.category) return false;
    }
    for (std::size_t i = 0; i < a.constraints.size(); ++i) {
        const auto& x = a.constraints[i];
        const auto& y = b.constraints[i];
        if (x.name != y.name || x.sense != y.sense || !same_bits(x.rhs, y.rhs) || !same_named_terms(a, x.terms, b, y.terms))
            return false;
    }
    return !a.objective || (same_bits(a.objective->constant, b.objective->constant) &&
                            same_named_terms(a, a.objective->terms, b, b.objective->terms));
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the model as an LP file; nothing when the writer refuses it (a name longer than it
// writes, say).
std::optional<std::string> written(ondrel::SharedModel& model, const std::string& path) {
    ondrel::io::LpWriteOptions options;
    options.mip = true;
    options.max_length = 255;
    options.obj_name = "obj";
    options.dummy_var_name = "__dummy";
    try {
        ondrel::io::write_lp_file(model, path, options);
    } catch (const ondrel::Error&) {
        return std::nullopt;
    }
    return read_all(path);
}

std::shared_ptr<ondrel::SharedModel> reload(const std::string& text) {
    Outcome o = load(text, 7, 4096, 1 << 16, false);
    if (o.error) {
        std::fprintf(stderr, "%s\n--- written ---\n%s\n", o.error->c_str(), text.c_str());
        fail("a written file does not load back");
    }
    return o.model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size && i < 64; ++i) seed = (seed ^ data[i]) * 16777619u;
    const bool ranges = (seed & 1) != 0;
    const Outcome first = load(text, seed, 97, 1 + seed % 64, ranges);
    const Outcome second = load(text, seed ^ 0x9e3779b9u, 4096, 4096, ranges);
    if (first.error != second.error) {
        std::fprintf(stderr, "%s\n---\n%s\n", first.error.value_or("(loaded)").c_str(), second.error.value_or("(loaded)").c_str());
        fail("two reads of the same bytes end differently");
    }
    if (first.error) return 0;
    const bool alike = ondrel::with_core(*first.model, [&](const ondrel::ModelCore& a) {
        return ondrel::with_core(*second.model, [&](const ondrel::ModelCore& b) { return same_model(a, b); });
    });
    if (!alike) fail("two reads of the same bytes give different models");

    // A variable named like the writer's stand-in of empty constraints makes its file
    // ambiguous: such a model is not written.
    const bool stand_in = ondrel::with_core(*first.model, [](const ondrel::ModelCore& c) {
        for (const auto& v : c.variables) {
            if (v.name == "__dummy") return true;
        }
        return false;
    });
    if (stand_in) return 0;
    static const std::string path = "/tmp/lp_reader_fuzz_" + std::to_string(::getpid()) + ".lp";
    const std::optional<std::string> a = written(*first.model, path);
    if (!a) return 0;
    const auto again = reload(*a);
    const auto counts = [](ondrel::SharedModel& m) {
        return ondrel::with_core(m, [](const ondrel::ModelCore& c) {
            return std::pair(c.constraints.size(), c.sos_groups.size());
        });
    };
    if (counts(*again) != counts(*first.model)) fail("a written model loads back with other counts");
    const std::optional<std::string> b = written(*again, path);
    if (!b) fail("a model loaded from a written file cannot be written");
    const auto third = reload(*b);
    const bool same = ondrel::with_core(*again, [&](const ondrel::ModelCore& x) {
        return ondrel::with_core(*third, [&](const ondrel::ModelCore& y) { return same_model(x, y); });
    });
    const bool automatic = ondrel::with_core(*again, [](const ondrel::ModelCore& c) { return c.auto_name_counter != 0; });
    if (!automatic) {
        // A model that reads back as it was, but for the numbering of its variables, writes
        // the same bytes again: the reader restores the order the writer lists variables in.
        const bool read_back = ondrel::with_core(*first.model, [&](const ondrel::ModelCore& x) {
            return ondrel::with_core(*again, [&](const ondrel::ModelCore& y) { return same_but_numbering(x, y); });
        });
        if (read_back && b != a) fail("a model read back as written writes other bytes");
        if (!same) fail("the second round trip changes the model");
        if (written(*third, path) != b) fail("the second round trip changes the bytes");
    }
    return 0;
}
