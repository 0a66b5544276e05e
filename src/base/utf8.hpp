// UTF-8 text: validation, white space and decoding. White space is Unicode's White_Space
// property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000.
#pragma once

#include <cstddef>
#include <string_view>

namespace ondrel {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Length in bytes of the white-space character starting at p (p < end), or 0 when p starts
// anything else. Never reads at or past end.
std::size_t white_space_length(const unsigned char* p, const unsigned char* end) noexcept;

// `text` without its leading and trailing white space.
std::string_view trim_white_space(std::string_view text) noexcept;

// Decodes the character starting at s[i] and moves i past it. The text must be valid UTF-8;
// a sequence cut short by the end of s is returned as its first byte.
char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept;

}  // namespace ondrel
