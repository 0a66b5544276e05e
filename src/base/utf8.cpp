#include "base/utf8.hpp"

#include <cstdint>

#include "base/byte_words.hpp"

namespace ondrel {

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p != end) {
        // Eight ASCII bytes at a time.
        while (end - p >= 8 && (load8(p) & 0x8080808080808080ULL) == 0) p += 8;
        if (p == end) break;
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // no overlong forms
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
        }
        p += len;
    }
    return true;
}

std::size_t white_space_length(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned char b = p[0];
    if (b == ' ' || (b >= 0x09 && b <= 0x0D)) return 1;
    if (b < 0x80) return 0;
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (left < 2) return 0;
    if (b == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    if (b == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;  // U+1680
    if (b == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;  // U+3000
    if (b == 0xE2) {
        if (p[1] == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
            const unsigned c = p[2];
            return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
        }
        if (p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;  // U+205F
    }
    return 0;
}

namespace {

// Length of the white-space character that ends just before `end`, or 0.
std::size_t white_space_before(const unsigned char* begin, const unsigned char* end) noexcept {
    for (std::size_t len = 1; len <= 3 && static_cast<std::size_t>(end - begin) >= len; ++len) {
        const unsigned char* p = end - len;
        if ((*p & 0xC0) == 0x80) continue;  // inside a character: look further back
        return white_space_length(p, end) == len ? len : 0;
    }
    return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
    auto* b = reinterpret_cast<const unsigned char*>(text.data());
    auto* e = b + text.size();
    while (b < e) {
        const std::size_t n = white_space_length(b, e);
        if (n == 0) break;
        b += n;
    }
    while (e > b) {
        const std::size_t n = white_space_before(b, e);
        if (n == 0) break;
        e -= n;
    }
    return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
    const auto b = static_cast<unsigned char>(s[i]);
    const auto cont = [&](std::size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F);
    };
    char32_t cp;
    std::size_t len;
    if (b < 0x80) {
        cp = b;
        len = 1;
    } else if (b < 0xE0 && i + 1 < s.size()) {
        cp = (static_cast<char32_t>(b & 0x1F) << 6) | cont(1);
        len = 2;
    } else if (b < 0xF0 && i + 2 < s.size()) {
        cp = (static_cast<char32_t>(b & 0x0F) << 12) | (cont(1) << 6) | cont(2);
        len = 3;
    } else if (i + 3 < s.size()) {
        cp = (static_cast<char32_t>(b & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
        len = 4;
    } else {
        cp = b;
        len = 1;
    }
    i += len;
    return cp;
}

}  // namespace ondrel
