#include "io/mps_reader.hpp"

#include "io/os_error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace ondrel::io {

// ---------------------------------------------------------------------------------------------
// UTF-8 validation with an ASCII fast path.

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p != end) {
        // Eight ASCII bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL) break;
            p += 8;
        }
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

// ---------------------------------------------------------------------------------------------
// Numbers.

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) noexcept {
    if (s.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[i]) return false;
    }
    return true;
}

// A small unsigned big integer (little-endian 32-bit limbs), just enough for the exact
// conversion of tiny decimals: build from digits, multiply by small numbers, shift, compare,
// subtract.
class BigUint {
public:
    void mul_add(std::uint32_t m, std::uint32_t a) {
        std::uint64_t carry = a;
        for (auto& limb : limbs_) {
            const std::uint64_t t = static_cast<std::uint64_t>(limb) * m + carry;
            limb = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
    }
    void shift_left(std::size_t bits) {
        if (limbs_.empty()) return;
        const std::size_t words = bits / 32;
        const unsigned rest = static_cast<unsigned>(bits % 32);
        if (rest != 0) {
            std::uint32_t carry = 0;
            for (auto& limb : limbs_) {
                const std::uint32_t next = limb >> (32 - rest);
                limb = (limb << rest) | carry;
                carry = next;
            }
            if (carry != 0) limbs_.push_back(carry);
        }
        limbs_.insert(limbs_.begin(), words, 0u);
    }
    bool is_zero() const noexcept { return limbs_.empty(); }
    // -1, 0 or 1 as *this is less than, equal to or greater than other.
    int compare(const BigUint& other) const noexcept {
        if (limbs_.size() != other.limbs_.size()) return limbs_.size() < other.limbs_.size() ? -1 : 1;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            if (limbs_[i] != other.limbs_[i]) return limbs_[i] < other.limbs_[i] ? -1 : 1;
        }
        return 0;
    }
    // *this -= other, where other <= *this.
    void subtract(const BigUint& other) noexcept {
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            std::int64_t t = static_cast<std::int64_t>(limbs_[i]) - borrow -
                             (i < other.limbs_.size() ? static_cast<std::int64_t>(other.limbs_[i]) : 0);
            borrow = t < 0 ? 1 : 0;
            if (t < 0) t += std::int64_t{1} << 32;
            limbs_[i] = static_cast<std::uint32_t>(t);
        }
        trim();
    }

private:
    void trim() noexcept {
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }
    std::vector<std::uint32_t> limbs_;
};

}  // namespace

namespace detail {

// value = 0.d1 d2 d3 ... x 10^point with d1 != 0 and point <= 0, so value < 1.
//
// The digits are cut after 800 significant ones; when a non-zero digit was cut, a final 1 is
// appended instead. That changes no rounding decision: a point halfway between two doubles
// below 1 has at most 767 significant decimal digits, so the cut value lies on the same side
// of every such point as the full value.
//
// With N the integer of the kept digits and s their count minus point, value = N / 10^s. We
// choose a binary scale e such that q = floor(value * 2^e) fits in 64 bits (and has at least
// 56 bits whenever the result is a normal double, e < 1074), compute q and the remainder by
// shift-and-subtract division, and round q to 53 bits (fewer for subnormals, whose last bit
// has weight 2^-1074) with ties to even.
double exact_small_decimal(std::string_view text) noexcept {
    // Collect significant digits and the decimal point position.
    constexpr std::size_t kMaxDigits = 800;
    std::string digits;
    bool sticky = false;
    std::int64_t point = 0;  // value = 0.digits x 10^point
    bool seen_nonzero = false;
    bool after_point = false;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!is_digit(c)) break;
        if (!seen_nonzero) {
            if (c == '0') {
                if (after_point) --point;
                continue;
            }
            seen_nonzero = true;
        }
        if (!after_point) ++point;
        if (digits.size() < kMaxDigits) {
            digits.push_back(c);
        } else if (c != '0') {
            sticky = true;
        }
    }
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        for (; i < text.size() && is_digit(text[i]); ++i) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    if (!seen_nonzero) return 0.0;
    point += exponent;
    // Below 10^-330 the value is less than half the smallest subnormal (about 2.47e-324).
    if (point < -330) return 0.0;
    if (point > 0) return std::numeric_limits<double>::infinity();  // not below 1: not our case
    while (digits.size() > 1 && digits.back() == '0' && !sticky) digits.pop_back();
    if (sticky) digits.push_back('1');

    try {
        BigUint num;
        for (const char c : digits) num.mul_add(10, static_cast<std::uint32_t>(c - '0'));
        const std::int64_t s = static_cast<std::int64_t>(digits.size()) - point;  // > 0
        BigUint den;
        den.mul_add(1, 1);
        for (std::int64_t k = 0; k < s; ++k) den.mul_add(10, 0);

        // value < 10^point = 2^(point * log2(10)); keep value * 2^e below 2^60.
        const std::int64_t e = std::min<std::int64_t>(1074, 60 + (-point * 33219) / 10000);
        num.shift_left(static_cast<std::size_t>(e));

        std::uint64_t q = 0;
        for (int bit = 63; bit >= 0; --bit) {
            BigUint shifted = den;
            shifted.shift_left(static_cast<std::size_t>(bit));
            if (shifted.compare(num) <= 0) {
                num.subtract(shifted);
                q |= std::uint64_t{1} << bit;
            }
        }
        // num now holds the remainder r < den; compare 2r with den for the rounding.
        int rest = 0;  // sign of (2r - den), or -2 when r is zero
        if (num.is_zero()) {
            rest = -2;
        } else {
            num.shift_left(1);
            rest = num.compare(den);
        }

        int shift = 0;
        while ((q >> shift) >= (std::uint64_t{1} << 53)) ++shift;
        std::uint64_t m = q >> shift;
        bool up;
        if (shift == 0) {
            up = rest > 0 || (rest == 0 && (m & 1));
        } else {
            const std::uint64_t dropped = q & ((std::uint64_t{1} << shift) - 1);
            const std::uint64_t half = std::uint64_t{1} << (shift - 1);
            up = dropped > half || (dropped == half && (rest != -2 || (m & 1)));
        }
        if (up) ++m;
        return std::ldexp(static_cast<double>(m), static_cast<int>(shift - e));
    } catch (const std::bad_alloc&) {
        return 0.0;  // a few hundred limbs; cannot realistically fail
    }
}

}  // namespace detail

bool parse_mps_number(std::string_view token, double& out) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const body = p;
    // Validate the grammar and, on the way, gather the digits and the decimal exponent for the
    // fast path below. With at most 19 digits in all, the mantissa is exact in 64 bits.
    std::uint64_t mantissa = 0;
    std::int64_t scale = 0;  // value = mantissa x 10^(scale + exponent)
    const char* const int_begin = p;
    for (unsigned d; p != end && (d = static_cast<unsigned char>(*p) - unsigned{'0'}) < 10; ++p) {
        mantissa = mantissa * 10 + d;
    }
    std::size_t ndigits = static_cast<std::size_t>(p - int_begin);
    if (p != end && *p == '.') {
        ++p;
        const char* const frac_begin = p;
        for (unsigned d; p != end && (d = static_cast<unsigned char>(*p) - unsigned{'0'}) < 10; ++p) {
            mantissa = mantissa * 10 + d;
        }
        scale = frac_begin - p;
        ndigits += static_cast<std::size_t>(p - frac_begin);
    }
    const bool truncated = ndigits > 19;  // mantissa wrapped around: not usable
    if (ndigits == 0) {
        const std::string_view word(body, static_cast<std::size_t>(end - body));
        double v;
        if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
            v = std::numeric_limits<double>::infinity();
        } else if (equals_ignoring_case(word, "nan")) {
            v = std::numeric_limits<double>::quiet_NaN();
        } else {
            return false;
        }
        out = negative ? -v : v;
        return true;
    }
    std::int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        const char* exp_digits = p;
        while (p != end && is_digit(*p)) {
            if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (p == exp_digits) return false;
        if (exponent_negative) exponent = -exponent;
    }
    if (p != end) return false;

    // Fast path: an exact integer mantissa below 2^53 times an exact power of ten (at most
    // 10^22) is one correctly rounded IEEE multiplication or division.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const std::int64_t e10 = scale + exponent;
    if (!truncated && mantissa < (std::uint64_t{1} << 53)) {
        if (mantissa == 0) {
            out = negative ? -0.0 : 0.0;
            return true;
        }
        if (e10 >= -22 && e10 <= 22) {
            const double m = static_cast<double>(mantissa);
            const double v = e10 < 0 ? m / kPow10[-e10] : m * kPow10[e10];
            out = negative ? -v : v;
            return true;
        }
    }

    double v = 0.0;
    const auto r = std::from_chars(body, end, v);
    if (r.ec == std::errc::result_out_of_range) {
        // The library leaves v untouched here (and some versions say so for subnormal results
        // too). Find the decimal position of the first significant digit: a value of at least
        // 1 overflowed and becomes an infinity; a smaller one is converted exactly, which gives
        // a subnormal or a zero of the right sign.
        std::int64_t point = 0;
        bool seen = false;
        bool after = false;
        const char* c = body;
        for (; c != end && *c != 'e' && *c != 'E'; ++c) {
            if (*c == '.') {
                after = true;
            } else if (seen || *c != '0') {
                seen = true;
                if (!after) ++point;
            } else if (after) {
                --point;
            }
        }
        if (c != end) {
            ++c;
            bool neg = false;
            if (*c == '+' || *c == '-') neg = *c++ == '-';
            std::int64_t exp_value = 0;
            for (; c != end; ++c) {
                if (exp_value < 100000000) exp_value = exp_value * 10 + (*c - '0');
            }
            point += neg ? -exp_value : exp_value;
        }
        if (seen && point > 0) {
            v = std::numeric_limits<double>::infinity();
        } else {
            v = detail::exact_small_decimal(std::string_view(body, static_cast<std::size_t>(end - body)));
        }
    } else if (r.ec != std::errc() || r.ptr != end) {
        return false;
    }
    out = negative ? -v : v;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Tokens.

namespace {

// Byte classes: 0 part of a token, 1 ASCII white space, 2 first byte of a possible non-ASCII
// white space character, 3 line feed.
constexpr unsigned char kToken = 0, kSpace = 1, kMaybeSpace = 2, kNewline = 3;

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
constexpr ByteClasses kClasses;

// Length of the Unicode white space character starting at p, or 0.
std::size_t unicode_space_length(const unsigned char* p, const unsigned char* end) noexcept {
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (left < 2) return 0;
    if (p[0] == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    if (p[0] == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
    if (p[0] == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
    if (p[0] == 0xE2) {
        if (p[1] == 0x80) {
            const unsigned c = p[2];
            return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
        }
        if (p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;
    }
    return 0;
}

inline std::uint64_t load8(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

inline std::uint32_t load4(const unsigned char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w;
}

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Splits the text into lines at line feeds and each line into tokens. The common bytes are
// handled eight at a time: runs of blanks, and token bytes (anything above the blank and below
// 0x80); every other byte goes through the class table.
class Lines {
public:
    Lines(std::string_view text, std::size_t lines_before)
        : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()), line_(lines_before) {}

    // Reads the next line into `tokens`; false at the end of the text. Lines without tokens
    // are returned too (the caller skips them), so that every line is counted. A final line
    // feed ends the last line; it does not start an empty one.
    bool next(std::vector<std::string_view>& tokens) {
        if (p_ == end_) return false;
        ++line_;
        tokens.clear();
        const unsigned char* p = p_;
        const unsigned char* const end = end_;
        while (p != end) {
            // Skip blanks.
            while (end - p >= 8) {
                const std::uint64_t x = load8(p) ^ (kOnes * ' ');
                if (x != 0) {
                    p += __builtin_ctzll(x) >> 3;
                    break;
                }
                p += 8;
            }
            if (p == end) break;
            unsigned cls = kClasses.c[*p];
            if (cls == kSpace) {
                ++p;
                continue;
            }
            if (cls == kNewline) {
                p_ = p + 1;
                return true;
            }
            if (cls == kMaybeSpace) {
                const std::size_t w = unicode_space_length(p, end);
                if (w != 0) {
                    p += w;
                    continue;
                }
            }
            // A token: up to the next white space or line feed.
            const unsigned char* start = p;
            ++p;
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
                if (p == end) break;
                cls = kClasses.c[*p];
                if (cls == kToken || (cls == kMaybeSpace && unicode_space_length(p, end) == 0)) {
                    ++p;
                    continue;
                }
                break;
            }
            tokens.emplace_back(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        }
        p_ = end;
        return true;
    }

    std::size_t line_number() const noexcept { return line_; }

private:
    const unsigned char* p_;
    const unsigned char* end_;
    std::size_t line_;
};

// ---------------------------------------------------------------------------------------------
// Short keys. The first 16 bytes of a name, zero-padded, as two words: two names of at most 16
// bytes are equal exactly when their lengths and key words are equal.

struct Key {
    std::uint64_t a = 0, b = 0;
};

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

inline Key make_key(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    Key k;
    if (n > 8) {
        k.a = load8(p);
        if (n >= 16) {
            k.b = load8(p + 8);
        } else {
            k.b = load8(p + n - 8) >> (8 * (16 - n));  // bytes 8..n-1
        }
    } else {
        k.a = load_upto8(p, n);
    }
    return k;
}

inline std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    return h;
}

inline std::uint64_t hash_name(std::string_view s, const Key& k) noexcept {
    std::uint64_t h = mix(k.a ^ (s.size() * 0x9E3779B97F4A7C15ULL)) ^ (k.b * 0xBF58476D1CE4E5B9ULL);
    const char* p = s.data() + 16;
    std::size_t n = s.size() > 16 ? s.size() - 16 : 0;
    while (n >= 8) {
        h = mix(h ^ load8(reinterpret_cast<const unsigned char*>(p)));
        p += 8;
        n -= 8;
    }
    if (n != 0) h ^= load_upto8(reinterpret_cast<const unsigned char*>(p), n) * 0x94D049BB133111EBULL;
    return mix(h);
}

// Equality of two names without a library call for the usual short ones.
inline bool same_name(std::string_view x, std::string_view y) noexcept {
    if (x.size() != y.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(x.data());
    const auto* q = reinterpret_cast<const unsigned char*>(y.data());
    const std::size_t n = x.size();
    if (n >= 8 && n <= 16) return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
    if (n < 8) return load_upto8(p, n) == load_upto8(q, n);
    return std::memcmp(p, q, n) == 0;
}

// ---------------------------------------------------------------------------------------------
// Name index: open addressing from a name to a dense id (0, 1, 2, ... in order of insertion).
// A slot holds a name's first eight bytes, its length and its id: 16 bytes, so that the table
// of a hundred thousand names stays a few megabytes (the lookups are random, and on large
// files their cache and TLB misses are what the reader waits for). Bytes 8 to 15 and the
// name's address are kept by id, consulted only for names longer than eight bytes.

class NameIndex {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    NameIndex() {
        slots_.resize(64);
        mask_ = 63;
    }

    // A name with its key words and hash, computed once for a prefetch and a later find.
    struct Lookup {
        std::string_view name;
        Key key;
        std::uint64_t hash;
    };
    static Lookup prepare(std::string_view name) noexcept {
        const Key k = make_key(name);
        return Lookup{name, k, hash_name(name, k)};
    }
    void prefetch(const Lookup& l) const noexcept { __builtin_prefetch(&slots_[l.hash & mask_]); }

    std::uint32_t find(const Lookup& l) const noexcept {
        const std::size_t n = l.name.size();
        for (std::size_t i = l.hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.id == kNone) return kNone;
            if (s.key_a == l.key.a && s.len == n &&
                (n <= 8 || (key_b_[s.id] == l.key.b &&
                            (n <= 16 || std::memcmp(names_[s.id] + 16, l.name.data() + 16, n - 16) == 0)))) {
                return s.id;
            }
        }
    }
    std::uint32_t find(std::string_view name) const noexcept { return find(prepare(name)); }

    // Adds a name known to be absent, under the next id (the number of names so far). The
    // name's bytes must stay where they are while the index lives.
    void insert(const Lookup& l) {
        if ((names_.size() + 1) * 2 > slots_.size()) grow();
        const std::uint32_t id = static_cast<std::uint32_t>(names_.size());
        key_b_.push_back(l.key.b);
        names_.push_back(l.name.data());
        place(Slot{l.key.a, id, static_cast<std::uint32_t>(std::min<std::size_t>(l.name.size(), kNone))}, l.hash);
    }

private:
    struct Slot {
        std::uint64_t key_a = 0;
        std::uint32_t id = kNone;
        std::uint32_t len = 0;  // names of 4 GiB or more never match; they cannot occur in practice
    };
    void place(const Slot& s, std::uint64_t h) noexcept {
        std::size_t i = h & mask_;
        while (slots_[i].id != kNone) i = (i + 1) & mask_;
        slots_[i] = s;
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.id != kNone) {
                const std::string_view name(names_[s.id], s.len);
                place(s, hash_name(name, make_key(name)));
            }
        }
    }
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::vector<std::uint64_t> key_b_;  // by id
    std::vector<const char*> names_;    // by id
};

// ---------------------------------------------------------------------------------------------
// The parser.

enum class Section { None, Rows, Columns, Rhs, Bounds };

struct Row {
    std::string_view name;
    std::int32_t sense;
    double constant;
    // Coefficients recorded before this position of the entry list belong to an earlier
    // definition of the row and are dropped.
    std::size_t valid_from;
};


std::string with_line(std::string_view what, std::size_t line, std::string_view detail) {
    std::string s(what);
    s += " line ";
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, line);
    s.append(buf, r.ptr);
    s += ": ";
    s += detail;
    return s;
}

// Stable storage for the names the maps keep: blocks that are never moved or freed while the
// parser lives, so views into them stay valid.
class NameArena {
public:
    std::string_view keep(std::string_view name) {
        if (name.size() > left_) {
            const std::size_t size = std::max<std::size_t>(kBlock, name.size());
            blocks_.emplace_back(new char[size]);
            next_ = blocks_.back().get();
            left_ = size;
        }
        if (!name.empty()) std::memcpy(next_, name.data(), name.size());
        const std::string_view kept(next_, name.size());
        next_ += name.size();
        left_ -= name.size();
        return kept;
    }

private:
    static constexpr std::size_t kBlock = 1 << 16;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

class Parser {
public:
    // Reads complete lines (the last one may lack its line feed only at the end of the text).
    // Views into `text` are not kept past the call: names that must live on are copied.
    bool feed(std::string_view text, std::string& error) {
        if (stopped_) return true;
        Lines lines(text, lines_before_);
        std::vector<std::string_view>& t = tokens_;
        bool ok = read_lines(lines, t, error);
        lines_before_ = lines.line_number();
        if (ok) ok = flush(error);
        // The column of the last line stays known across pieces, as a copy.
        if (ok && has_last_column_) last_column_name_ = column_names_[column_];
        return ok;
    }

    bool stopped() const noexcept { return stopped_; }
    void tokens_reserve() { tokens_.reserve(16); }

private:
    bool read_lines(Lines& lines, std::vector<std::string_view>& t, std::string& error) {
        while (lines.next(t)) {
            if (t.empty()) continue;
            const std::string_view first = t[0];
            // Keyword lines, in every section.
            if (first == "*") continue;
            if (queued_ != 0 && is_keyword(first, t.size()) && !flush(error)) return false;
            if (first == "NAME") {
                problem_name_.assign(t.size() >= 2 ? t[1] : std::string_view());
                continue;
            }
            if (first == "ROWS") {
                section_ = Section::Rows;
                continue;
            }
            if (first == "COLUMNS") {
                section_ = Section::Columns;
                continue;
            }
            if (first == "RHS" && t.size() <= 2) {
                section_ = Section::Rhs;
                rhs_named_ = t.size() == 2;
                if (rhs_named_) rhs_name_.assign(t[1]);
                continue;
            }
            if (first == "BOUNDS" && t.size() <= 2) {
                section_ = Section::Bounds;
                bounds_named_ = t.size() == 2;
                if (bounds_named_) bounds_name_.assign(t[1]);
                continue;
            }
            if (first == "ENDATA") {
                stopped_ = true;
                return true;
            }

            bool ok = true;
            switch (section_) {
                case Section::None: break;
                case Section::Rows: ok = rows_line(t, lines.line_number(), error); break;
                case Section::Columns: ok = columns_line(t, error); break;
                case Section::Rhs: ok = rhs_line(t, error); break;
                case Section::Bounds: ok = bounds_line(t, lines.line_number(), error); break;
            }
            if (!ok) return false;
        }
        return true;
    }

    static bool is_keyword(std::string_view first, std::size_t tokens) noexcept {
        return first == "NAME" || first == "ROWS" || first == "COLUMNS" || first == "ENDATA" ||
               ((first == "RHS" || first == "BOUNDS") && tokens <= 2);
    }

    // ROWS: type and name. A line with a valid type but no name is rejected (the format has
    // no meaning for it); the type is checked first, so a lone unknown word reports its type.
    bool rows_line(const std::vector<std::string_view>& t, std::size_t line, std::string& error) {
        const std::string_view type = t[0];
        std::int32_t sense = 0;
        bool objective = false;
        if (type == "N") {
            objective = true;
        } else if (type == "E") {
            sense = 0;
        } else if (type == "G") {
            sense = 1;
        } else if (type == "L") {
            sense = -1;
        } else {
            error = "Unknown row type: ";
            error += type;
            return false;
        }
        if (t.size() < 2) {
            error = with_line("ROWS", line, "missing row name");
            return false;
        }
        const std::string_view name = t[1];
        if (objective) {
            objective_name_.assign(name);
            return true;
        }
        const std::uint32_t id = row_index_.find(name);
        if (id != NameIndex::kNone) {
            Row& r = rows_[id];
            r.sense = sense;
            r.constant = 0.0;
            r.valid_from = entries_.size();
            redefined_rows_ = true;
            return true;
        }
        if (rows_.size() >= NameIndex::kNone - 1) {
            error = "Too many rows";
            return false;
        }
        NameIndex::Lookup kept = NameIndex::prepare(name);
        kept.name = names_.keep(name);
        row_index_.insert(kept);
        rows_.push_back(Row{kept.name, sense, 0.0, entries_.size()});
        return true;
    }

    // COLUMNS lines are turned into a queue of work items (a new column run, an objective
    // coefficient, a row coefficient) whose hash slots are prefetched when queued; the queue is
    // worked off in order when it is full and before every keyword line. With the row index
    // far larger than the caches, this overlaps the memory latency of many lookups instead of
    // paying it once per coefficient. Nothing but these items can change the row and column
    // maps while COLUMNS lines are read, so the order of effects is the order of the file.
    bool columns_line(const std::vector<std::string_view>& t, std::string& error) {
        if (t.size() >= 2 && t[1] == "'MARKER'") {
            if (t.size() >= 3) {
                if (t[2] == "'INTORG'") {
                    integer_ = true;
                } else if (t[2] == "'INTEND'") {
                    integer_ = false;
                }
            }
            return true;
        }
        const std::string_view name = t[0];
        if (!has_last_column_ || !same_name(name, last_column_name_)) {
            if (queued_ + 1 > kQueue && !flush(error)) return false;
            Pending& p = queue_[queued_++];
            p.kind = integer_ ? Pending::IntegerColumn : Pending::Column;
            p.lookup = NameIndex::prepare(name);
            column_index_.prefetch(p.lookup);
            last_column_name_ = name;
            has_last_column_ = true;
        }
        for (std::size_t k = 1; k + 1 < t.size(); k += 2) {
            double value;
            if (!parse_mps_number(t[k + 1], value)) {
                if (!flush(error)) return false;  // an earlier failure comes first
                error = "Parse error: invalid float literal";
                return false;
            }
            if (queued_ == kQueue && !flush(error)) return false;
            Pending& p = queue_[queued_++];
            p.value = value;
            const std::string_view row = t[k];
            if (same_name(row, objective_name_)) {
                p.kind = Pending::Objective;
            } else {
                p.kind = Pending::Row;
                p.lookup = NameIndex::prepare(row);
                row_index_.prefetch(p.lookup);
            }
        }
        return true;
    }

    bool flush(std::string& error) {
        for (std::size_t i = 0; i < queued_; ++i) {
            const Pending& p = queue_[i];
            switch (p.kind) {
                case Pending::Column:
                case Pending::IntegerColumn: {
                    std::uint32_t col = column_index_.find(p.lookup);
                    if (col == NameIndex::kNone) {
                        if (columns_.size() >= NameIndex::kNone - 1) {
                            error = "Too many columns";
                            queued_ = 0;
                            return false;
                        }
                        col = static_cast<std::uint32_t>(columns_.size());
                        NameIndex::Lookup kept = p.lookup;
                        kept.name = names_.keep(p.lookup.name);
                        column_index_.insert(kept);
                        column_names_.push_back(kept.name);
                        MpsColumnData c;
                        c.integer = p.kind == Pending::IntegerColumn;
                        columns_.push_back(c);
                    }
                    column_ = col;
                    break;
                }
                case Pending::Objective:
                    objective_.push_back(MpsObjectiveEntry{column_, p.value});
                    break;
                case Pending::Row: {
                    const std::uint32_t r = row_index_.find(p.lookup);
                    if (r != NameIndex::kNone) entries_.push_back(MpsEntry{r, column_, p.value});
                    break;
                }
            }
        }
        queued_ = 0;
        return true;
    }

    bool rhs_value(std::string_view row, std::string_view text, std::string& error) {
        const std::uint32_t r = row_index_.find(row);
        if (r == NameIndex::kNone) return true;  // unknown rows and the objective row: skipped
        double value;
        if (!parse_mps_number(text, value)) {
            error = "Parse error: invalid float literal";
            return false;
        }
        rows_[r].constant = -value;
        return true;
    }

    bool rhs_line(const std::vector<std::string_view>& t, std::string& error) {
        if (rhs_named_ && t[0] != rhs_name_) {
            error = "Other RHS name was given even though name was set after RHS tag.";
            return false;
        }
        if (t.size() >= 3 && !rhs_value(t[1], t[2], error)) return false;
        if (t.size() >= 5 && !rhs_value(t[3], t[4], error)) return false;
        return true;
    }

    // BOUNDS: type, set name, column, value. A line with fewer than three tokens names no
    // column; it is rejected before anything else is checked, in named and unnamed sections.
    bool bounds_line(const std::vector<std::string_view>& t, std::size_t line, std::string& error) {
        if (t.size() < 3) {
            error = with_line("BOUNDS", line,
                              t.size() == 1 ? "missing bound set name and column name"
                                            : "missing column name");
            return false;
        }
        if (bounds_named_ && t[1] != bounds_name_) {
            error = "Other BOUNDS name was given even though name was set after BOUNDS tag.";
            return false;
        }
        const std::uint32_t col = column_index_.find(t[2]);
        if (col == NameIndex::kNone) return true;
        MpsColumnData& c = columns_[col];
        const std::string_view type = t[0];
        const char* value_name = nullptr;  // set for types that take a value
        enum class Kind { Fr, Bv, Pl, Mi, Lo, Up, Fx, Li, Ui } kind;
        if (type == "FR") {
            kind = Kind::Fr;
        } else if (type == "BV") {
            kind = Kind::Bv;
        } else if (type == "PL") {
            kind = Kind::Pl;
        } else if (type == "MI") {
            kind = Kind::Mi;
        } else if (type == "LO") {
            kind = Kind::Lo, value_name = "Lo";
        } else if (type == "UP") {
            kind = Kind::Up, value_name = "Up";
        } else if (type == "FX") {
            kind = Kind::Fx, value_name = "Fx";
        } else if (type == "LI") {
            kind = Kind::Li, value_name = "Li";
        } else if (type == "UI") {
            kind = Kind::Ui, value_name = "Ui";
        } else {
            error = "Unknown bound type: ";
            error += type;
            return false;
        }
        double v = 0.0;
        if (value_name != nullptr) {
            if (t.size() < 4) {
                error = "Missing value for bound type ";
                error += value_name;
                return false;
            }
            if (!parse_mps_number(t[3], v)) {
                error = "Parse error: invalid float literal";
                return false;
            }
        }
        switch (kind) {
            case Kind::Fr: c.lower.reset(); c.upper.reset(); break;
            case Kind::Bv: c.integer = true; c.lower = 0.0; c.upper = 1.0; break;
            case Kind::Pl: c.lower = 0.0; c.upper.reset(); break;
            case Kind::Mi: c.lower.reset(); break;
            case Kind::Lo: c.lower = v; break;
            case Kind::Up: c.upper = v; break;
            case Kind::Fx: c.lower = v; c.upper = v; break;
            case Kind::Li: c.integer = true; c.lower = v; break;
            case Kind::Ui: c.integer = true; c.upper = v; break;
        }
        return true;
    }

public:
    // Moves everything into plain owned data: names copied into one table, coefficients of
    // redefined rows dropped, per-row counts filled in.
    void finish(MpsData& out) {
        out.problem_name = problem_name_;
        std::size_t chars = objective_name_.size();
        for (const std::string_view n : column_names_) chars += n.size();
        for (const Row& r : rows_) chars += r.name.size();
        out.names = MpsNames();
        out.names.reserve(column_names_.size() + rows_.size() + 1, chars);
        for (const std::string_view n : column_names_) out.names.add(n);
        for (const Row& r : rows_) out.names.add(r.name);
        out.names.add(objective_name_);
        out.columns = std::move(columns_);

        out.rows.assign(rows_.size(), MpsRowData{});
        if (redefined_rows_) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < entries_.size(); ++i) {
                const MpsEntry e = entries_[i];
                if (i < rows_[e.row].valid_from) continue;
                entries_[kept++] = e;
            }
            entries_.shrink(kept);
        }
        entries_.for_each([&](const MpsEntry& e) { ++out.rows[e.row].entries; });
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            out.rows[r].sense = rows_[r].sense;
            out.rows[r].constant = rows_[r].constant;
        }
        out.entries = std::move(entries_);
        out.objective = std::move(objective_);
    }

private:
    Section section_ = Section::None;
    std::string problem_name_;
    std::string objective_name_;
    bool integer_ = false;
    bool rhs_named_ = false;
    bool bounds_named_ = false;
    bool stopped_ = false;
    std::string rhs_name_;
    std::string bounds_name_;
    std::size_t lines_before_ = 0;
    std::vector<std::string_view> tokens_;
    NameArena names_;  // the names of rows and columns, which the maps key by

    std::vector<Row> rows_;
    NameIndex row_index_;
    bool redefined_rows_ = false;
    std::vector<MpsColumnData> columns_;
    std::vector<std::string_view> column_names_;
    NameIndex column_index_;
    // Queue of COLUMNS work. last_column_name_ is the column of the last queued line; column_
    // the column of the last worked-off item.
    struct Pending {
        enum Kind : std::uint8_t { Column, IntegerColumn, Objective, Row } kind;
        double value;
        NameIndex::Lookup lookup;
    };
    static constexpr std::size_t kQueue = 32;
    Pending queue_[kQueue];
    std::size_t queued_ = 0;
    std::string_view last_column_name_;
    bool has_last_column_ = false;
    std::uint32_t column_ = 0;

    MpsEntries entries_;
    std::vector<MpsObjectiveEntry> objective_;
};

}  // namespace

bool parse_mps(std::string_view text, MpsData& out, std::string& error) {
    Parser parser;
    parser.tokens_reserve();
    if (!parser.feed(text, error)) return false;
    parser.finish(out);
    return true;
}

bool read_mps_stream(ByteSource& source, MpsData& out, std::string& error, std::size_t piece) {
    // The text goes through one buffer in pieces of whole lines; a line that does not fit
    // makes the buffer grow. Reading and validating continue after a parse error or ENDATA,
    // so that the outcome is the one of reading the whole file first: an operating system
    // error wins over invalid UTF-8, which wins over a parse error.
    std::size_t capacity = std::max<std::size_t>(piece, 16);
    std::unique_ptr<char[]> buf(new char[capacity]);
    std::size_t have = 0;  // bytes in buf: the start of a line not yet complete
    Parser parser;
    parser.tokens_reserve();
    bool parse_failed = false;
    bool invalid_text = false;
    std::string parse_error;

    const auto take = [&](std::string_view lines) {
        if (invalid_text) return;
        if (!is_valid_utf8(lines)) {
            invalid_text = true;
            return;
        }
        if (!parse_failed && !parser.feed(lines, parse_error)) parse_failed = true;
    };

    for (;;) {
        if (have == capacity) {
            std::unique_ptr<char[]> grown(new char[capacity * 2]);
            std::memcpy(grown.get(), buf.get(), have);
            buf = std::move(grown);
            capacity *= 2;
        }
        const long n = source.read(buf.get() + have, capacity - have);
        if (n < 0) {
            error = "Cannot read file: " + source.error_text();
            return false;
        }
        if (n == 0) break;
        const std::size_t old = have;
        have += static_cast<std::size_t>(n);
        // Complete lines end at the last line feed of the buffer; only new bytes can hold it.
        const void* nl = memrchr(buf.get() + old, '\n', have - old);
        if (nl == nullptr) continue;
        const std::size_t complete = static_cast<std::size_t>(static_cast<const char*>(nl) - buf.get()) + 1;
        take(std::string_view(buf.get(), complete));
        std::memmove(buf.get(), buf.get() + complete, have - complete);
        have -= complete;
    }
    if (have != 0) take(std::string_view(buf.get(), have));
    buf.reset();

    if (invalid_text) {
        error = "Cannot read file: stream did not contain valid UTF-8";
        return false;
    }
    if (parse_failed) {
        error = std::move(parse_error);
        return false;
    }
    parser.finish(out);
    return true;
}

namespace {

class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    long read(char* buf, std::size_t n) override {
        for (;;) {
            const ssize_t r = ::read(fd_, buf, n);
            if (r >= 0) return static_cast<long>(r);
            if (errno != EINTR) {
                errno_ = errno;
                return -1;
            }
        }
    }
    std::string error_text() const override { return os_error_text(errno_); }

private:
    int fd_;
    int errno_ = 0;
};

}  // namespace

bool read_mps_file(const char* path, MpsData& out, std::string& error) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = "Cannot read file: " + os_error_text(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Pieces of 1 MiB, or less for a smaller file (one piece then holds it whole).
    std::size_t piece = std::size_t{1} << 20;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) < piece) {
        piece = std::max<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 4096);
    }
    FileSource source(fd);
    return read_mps_stream(source, out, error, piece);
}

}  // namespace ondrel::io
