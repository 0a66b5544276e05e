// Discrete choices of a model, stored as one-byte codes in the store and in expressions.
#pragma once

#include <cstdint>
#include <string_view>

namespace ondrel {

enum class Sense : std::uint8_t { LessEqual = 0, Equal = 1, GreaterEqual = 2 };
enum class ObjSense : std::uint8_t { Minimize = 0, Maximize = 1 };
enum class Category : std::uint8_t { Continuous = 0, Integer = 1, Binary = 2 };
enum class SosKind : std::uint8_t { Sos1 = 0, Sos2 = 1 };

// Relation symbol as written in constraint texts ("=" for equality, a single character).
constexpr std::string_view sense_symbol(Sense s) noexcept {
    switch (s) {
        case Sense::LessEqual: return "<=";
        case Sense::Equal: return "=";
        case Sense::GreaterEqual: return ">=";
    }
    return "";
}

constexpr std::string_view obj_sense_text(ObjSense s) noexcept {
    return s == ObjSense::Maximize ? "Maximize" : "Minimize";
}

constexpr std::string_view sos_kind_text(SosKind k) noexcept {
    return k == SosKind::Sos2 ? "S2::" : "S1::";
}

}  // namespace ondrel
