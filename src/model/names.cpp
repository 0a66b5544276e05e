#include "model/names.hpp"

#include "base/name_table.hpp"
#include "base/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace ondrel {

namespace {

template <class Records>
void check_duplicates(const Records& records, std::string_view prefix) {
    // This runs before every MPS write on models of millions of names, almost always to find
    // none: the exact count below only runs to report what the table found.
    if (!has_repeated_name(records.size(), [&](std::size_t i) { return std::string_view(records[i].name); })) return;
    std::unordered_map<std::string_view, std::size_t> counts;
    counts.reserve(records.size());
    std::vector<std::string_view> order;  // names in order of first occurrence
    for (const auto& r : records) {
        auto [it, fresh] = counts.try_emplace(r.name, 0);
        if (fresh) order.push_back(it->first);
        ++it->second;
    }
    Msg msg;
    bool any = false;
    for (std::string_view name : order) {
        const std::size_t count = counts[name];
        if (count < 2) continue;
        msg << (any ? ", " : "") << "('" << name << "', " << count << ")";
        any = true;
    }
    if (any) raise_runtime(Msg() << prefix << msg.str() << "}");
}

// Characters a reader cannot see: controls, format characters, surrogates, private use,
// unassigned code points, and separators other than the ASCII blank.
struct CodeRange {
    char32_t first;
    char32_t last;
};
constexpr CodeRange kNonPrintable[] = {
#include "model/nonprintable_ranges.inc"
};

bool printable(char32_t c) {
    const auto* it = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), c,
                                      [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it == std::begin(kNonPrintable) || c > std::prev(it)->last;
}

}  // namespace

void check_duplicate_variable_names(const ModelCore& core) {
    check_duplicates(core.variables, "Repeated variable names: {");
}

void check_duplicate_constraint_names(const ModelCore& core) {
    check_duplicates(core.constraints, "Repeated constraint names: {");
}

std::string quoted_for_message(std::string_view text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const char32_t c = decode_utf8(text, i);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (printable(c)) {
                    out.append(text.substr(start, i - start));
                } else {
                    char buf[16];
                    auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16);
                    out += "\\u{";
                    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
                    out += "}";
                }
        }
    }
    out += "\"";
    return out;
}

bool has_line_break(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    for (; p != end; ++p) {
        const unsigned char c = *p;
        if (c >= 0x20 && c != 0xC2 && c != 0xE2) continue;  // nearly every byte of a name
        if (c == 0 || (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E)) return true;
        if (c == 0xC2 && end - p >= 2 && p[1] == 0x85) return true;
        if (c == 0xE2 && end - p >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) return true;
    }
    return false;
}

void raise_line_break(std::string_view what, std::string_view text) {
    raise_runtime(Msg() << what << " " << quoted_for_message(text)
                        << " contains a line break or NUL character and cannot be written to a file");
}

void check_variable_name_lengths(const ModelCore& core, std::uint64_t max_length) {
    std::string list;
    bool any = false;
    for (const VariableRecord& v : core.variables) {
        if (v.name.size() <= max_length) continue;
        if (any) list += ", ";
        list += quoted_for_message(v.name);
        any = true;
    }
    if (any) raise_runtime("Variable names too long for Lp format: [" + list + "]");
}

void check_duplicate_variable_names(SharedModel& model) {
    with_core(model, [](const ModelCore& core) { check_duplicate_variable_names(core); });
}

void check_duplicate_constraint_names(SharedModel& model) {
    with_core(model, [](const ModelCore& core) { check_duplicate_constraint_names(core); });
}

void check_variable_name_lengths(SharedModel& model, std::uint64_t max_length) {
    with_core(model, [&](const ModelCore& core) { check_variable_name_lengths(core, max_length); });
}

}  // namespace ondrel
