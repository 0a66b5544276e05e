// The line tokenizer of the MPS reader (header only: it runs once per line, inlined into the
// section parser's loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/byte_words.hpp"
#include "base/utf8.hpp"

namespace ondrel::io {

// Splits text into lines at line feeds and each line into tokens: maximal runs of characters
// that are not white space (Unicode's White_Space, see base/utf8.hpp). A carriage return is
// white space, so one before a line feed ends the line's last token like a blank. Tokens are
// views into the text. Any bytes are read safely, valid UTF-8 or not.
class LineTokenizer {
public:
    // `lines_before` is the number of lines that came before `text`, for line numbers.
    LineTokenizer(std::string_view text, std::size_t lines_before) noexcept
        : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()), line_(lines_before) {}

    // Reads the next line's tokens into `tokens`; false at the end of the text. Lines without
    // tokens are returned too (the caller skips them), so that every line is counted. A final
    // line feed ends the last line; it does not start an empty one.
    bool next(std::vector<std::string_view>& tokens);

    // The number of the line `next` returned last, counting from 1 at the start of the input.
    std::size_t line_number() const noexcept { return line_; }

private:
    const unsigned char* p_;
    const unsigned char* end_;
    std::size_t line_;
};

// The tokenizer runs once per line of every file read, so its code is here, to be inlined
// into the section parser's loop.

namespace detail {

// Byte classes: part of a token, ASCII white space, first byte of a possible non-ASCII white
// space character, line feed.
inline constexpr unsigned char kToken = 0, kSpace = 1, kMaybeSpace = 2, kNewline = 3;

struct ByteClasses {
    unsigned char c[256];
    constexpr ByteClasses() : c{} {
        c[static_cast<unsigned char>('\t')] = kSpace;
        c[static_cast<unsigned char>('\v')] = kSpace;
        c[static_cast<unsigned char>('\f')] = kSpace;
        c[static_cast<unsigned char>('\r')] = kSpace;
        c[static_cast<unsigned char>(' ')] = kSpace;
        c[static_cast<unsigned char>('\n')] = kNewline;
        c[0xC2] = kMaybeSpace;  // U+0085, U+00A0
        c[0xE1] = kMaybeSpace;  // U+1680
        c[0xE2] = kMaybeSpace;  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
        c[0xE3] = kMaybeSpace;  // U+3000
    }
};
inline constexpr ByteClasses kClasses;

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Skips blanks (0x20) eight at a time; stops at the first other byte, or where fewer than
// eight bytes are left.
inline const unsigned char* skip_blank_words(const unsigned char* p, const unsigned char* end) noexcept {
    while (end - p >= 8) {
        const std::uint64_t x = load8(p) ^ (kOnes * ' ');
        if (x != 0) return p + (__builtin_ctzll(x) >> 3);
        p += 8;
    }
    return p;
}

// The end of the token whose bytes continue at p: the next white space, line feed or the end
// of the text. Bytes above the blank and below 0x80 are passed eight at a time; every other
// byte goes through the class table.
inline const unsigned char* token_end(const unsigned char* p, const unsigned char* end) noexcept {
    for (;;) {
        while (end - p >= 8) {
            // Flags bytes below 0x21 and bytes of 0x80 and above; the lowest flag is exact.
            const std::uint64_t w = load8(p);
            const std::uint64_t special = (((w - kOnes * 0x21) & ~w) | w) & kHighs;
            if (special != 0) {
                p += __builtin_ctzll(special) >> 3;
                break;
            }
            p += 8;
        }
        if (p == end) return p;
        const unsigned cls = kClasses.c[*p];
        if (cls == kToken || (cls == kMaybeSpace && white_space_length(p, end) == 0)) {
            ++p;
            continue;
        }
        return p;
    }
}

}  // namespace detail

inline bool LineTokenizer::next(std::vector<std::string_view>& tokens) {
    if (p_ == end_) return false;
    ++line_;
    tokens.clear();
    const unsigned char* p = p_;
    const unsigned char* const end = end_;
    while (p != end) {
        p = detail::skip_blank_words(p, end);
        if (p == end) break;
        const unsigned cls = detail::kClasses.c[*p];
        if (cls == detail::kSpace) {
            ++p;
            continue;
        }
        if (cls == detail::kNewline) {
            p_ = p + 1;
            return true;
        }
        if (cls == detail::kMaybeSpace) {
            const std::size_t w = white_space_length(p, end);
            if (w != 0) {
                p += w;
                continue;
            }
        }
        const unsigned char* const start = p;
        p = detail::token_end(p + 1, end);
        tokens.emplace_back(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
    }
    p_ = end;
    return true;
}

}  // namespace ondrel::io
