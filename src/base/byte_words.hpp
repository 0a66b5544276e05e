// Unaligned loads of bytes as little-endian words, for code that scans text or compares names
// a word at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ondrel {

// Bytes p[0..7] as a word whose lowest byte is p[0].
inline std::uint64_t load8(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// Bytes p[0..3] as a word whose lowest byte is p[0].
inline std::uint32_t load4(const unsigned char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w;
}

// Bytes p[0..n-1] (n <= 8) as a word whose lowest byte is p[0], the rest zero; reads no byte
// at or past p + n.
inline std::uint64_t load_upto8(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 8) return load8(p);
    if (n >= 4) {
        // Two overlapping 4-byte loads; the second one shifted so that it adds bytes 4..n-1.
        const std::uint64_t hi = load4(p + n - 4);
        return load4(p) | ((hi >> (8 * (8 - n))) << 32);
    }
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; ++i) w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return w;
}

}  // namespace ondrel
