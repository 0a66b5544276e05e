#include "io/safe_output.hpp"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "base/errors.hpp"
#include "model/names.hpp"

namespace ondrel::io {

namespace {

constexpr std::string_view kSymbols = "!\"#$%&()/,.;?@_`'{}|~";

// Words that start sections or stand for infinity or a bound in an LP file; with them, "min"
// and "max" and the words they begin up to "minimum", "minimize" (and the same of "max").
constexpr std::array<std::string_view, 30> kReservedWords = {
    "minimize", "maximize", "minimum", "maximum", "min",     "max",      "subject", "such",     "st",
    "s.t.",     "st.",      "bounds",  "bound",   "general", "generals", "gen",     "integer",  "integers",
    "binary",   "binaries", "bin",     "semi",    "semis",   "semi-continuous",     "sos",      "end",
    "free",     "inf",      "infinity", "nan"};
constexpr std::array<std::string_view, 6> kMinMaxWords = {"mini", "minim", "maxi", "maxim", "minimise", "maximise"};

bool letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool symbol(char c) noexcept { return kSymbols.find(c) != std::string_view::npos; }

// The character (a whole UTF-8 sequence) at `at`.
std::string_view character_at(std::string_view text, std::size_t at) noexcept {
    std::size_t end = at + 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    return text.substr(at, end - at);
}

}  // namespace

std::string lp_name_problem(std::string_view name) {
    if (name.empty()) return "is empty";
    if (has_line_break(name)) return "holds a line break or NUL character";
    if (name.size() > 255) return "is longer than 255 bytes";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (!letter(c) && !digit(c) && !symbol(c)) {
            return Msg() << "holds '" << character_at(name, i) << "'; LP names hold letters, digits and " << kSymbols;
        }
    }
    if (digit(name[0]) || name[0] == '.') return "starts with a digit or a period";
    std::string lower(name);
    for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    if (std::find(kReservedWords.begin(), kReservedWords.end(), lower) != kReservedWords.end() ||
        std::find(kMinMaxWords.begin(), kMinMaxWords.end(), lower) != kMinMaxWords.end()) {
        return "is a word LP files reserve";
    }
    return {};
}

std::string free_variable_name(const ModelCore& core, std::string_view base) {
    std::unordered_set<std::string_view> taken;
    for (const VariableRecord& v : core.variables) {
        if (std::string_view(v.name).starts_with(base)) taken.insert(v.name);
    }
    std::string name(base);
    for (std::size_t k = 2; taken.contains(name); ++k) name = Msg() << base << k;
    return name;
}

}  // namespace ondrel::io
