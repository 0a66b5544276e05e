#include "format/number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace ondrel {
namespace {

char* put(char* out, const char* text, std::size_t n) noexcept {
    std::memcpy(out, text, n);
    return out + n;
}

// "NaN", "inf" or "-inf" for a non-finite x.
char* put_non_finite(double x, char* out) noexcept {
    if (std::isnan(x)) return put(out, "NaN", 3);
    return x > 0 ? put(out, "inf", 3) : put(out, "-inf", 4);
}

char* put_unsigned(std::uint64_t n, char* out) noexcept {
    return std::to_chars(out, out + 20, n).ptr;
}

// Thirteen significant digits in exponent form, with the exponent written without "+" and
// without leading zeros ("e20", "e-5", "e0"). With `trim`, trailing zeros of the mantissa are
// removed, then a trailing ".". x must be finite.
char* put_scientific13(double x, char* out, char* last, bool trim) noexcept {
    const std::to_chars_result r = std::to_chars(out, last, x, std::chars_format::scientific, 12);
    // The mantissa is an optional "-", one digit, "." and twelve digits.
    char* e = out + (std::signbit(x) ? 1 : 0) + 14;
    const bool negative_exponent = e[1] == '-';
    const char* digits = e + 2;
    while (digits + 1 < r.ptr && *digits == '0') ++digits;
    const std::size_t ndigits = static_cast<std::size_t>(r.ptr - digits);

    char* w = e;
    if (trim) {
        while (w[-1] == '0') --w;
        if (w[-1] == '.') --w;
    }
    *w++ = 'e';
    if (negative_exponent) *w++ = '-';
    std::memmove(w, digits, ndigits);  // w never passes `digits`
    return w + ndigits;
}

// Powers of ten 1e-5 .. 1e13, index k + 5 for 10^k.
constexpr double kPow10[] = {1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3, 1e4,
                             1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13};

// floor(log10(a)) as the C library's log10 gives it, for a finite a > 0, exact inside the
// positional window [-4, 11]; outside it, some value outside the window.
//
// log10 is only called where its rounding can matter: within a relative 1e-9 of a power of
// ten. Elsewhere log10(a) lies at least 4e-10 from any integer, far more than the library's
// error of an ulp or two, so comparing against the powers of ten gives the same floor.
int decimal_exponent(double a) noexcept {
    constexpr double kNear = 1e-9;
    if (a < 1e-4 * (1 - kNear)) return -5;
    if (a > 1e12 * (1 + kNear)) return 12;
    if (a >= 1e-4 * (1 + kNear) && a <= 1e12 * (1 - kNear)) {
        // a is a normal number here: 2^b <= a < 2^(b+1) puts the exponent at
        // floor(b * log10(2)) or one above it.
        const int b = static_cast<int>((std::bit_cast<std::uint64_t>(a) >> 52) & 0x7ff) - 1023;
        int k = (b * 78913) >> 18;  // floor(b * log10(2)) for |b| < 2^11
        if (a >= kPow10[k + 6]) ++k;
        if (a > kPow10[k + 5] * (1 + kNear) && a < kPow10[k + 6] * (1 - kNear)) return k;
    }
    return static_cast<int>(std::floor(std::log10(a)));
}

// The shortest round-trip digits of a finite, non-zero x: the digits without sign, point or
// trailing zeros, and the decimal exponent of the first one.
constexpr double kSmallestNormal = std::numeric_limits<double>::min();

struct ShortestDigits {
    char digits[17];
    int count;
    int exponent;
};

ShortestDigits shortest_digits(double x) noexcept {
    // Shortest digits in exponent form, for example "-1.2345e+02", "5e-324", "1e+23".
    char sci[32];
    const char* const end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') ++p;
    ShortestDigits d;
    d.count = 0;
    d.digits[d.count++] = *p++;
    if (*p == '.') {
        ++p;
        while (*p != 'e') d.digits[d.count++] = *p++;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p++ == '-';
    d.exponent = 0;
    std::from_chars(p, end, d.exponent);
    if (negative_exponent) d.exponent = -d.exponent;
    return d;
}

// Digits of x taken from a short decimal: when r / 10^k == x for an integer r below 10^15 and
// k in 1..4 (IEEE division rounds correctly, so the decimal r * 10^-k rounds to x), the
// digits of r are those of a decimal that rounds to x. Cheaper than the shortest digits for
// the short decimals most coefficients are; false when there is no such decimal. x > 0.
bool short_decimal_digits(double x, ShortestDigits& d) noexcept {
    static constexpr double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4};
    for (int k = 1; k <= 4; ++k) {
        const double y = x * kScale[k];
        if (!(y < 1e15)) return false;
        const double r = std::nearbyint(y);
        if (r / kScale[k] != x) continue;
        auto n = static_cast<std::uint64_t>(r);
        char buf[20];
        const auto len = static_cast<int>(put_unsigned(n, buf) - buf);
        int count = len;
        while (count > 1 && buf[count - 1] == '0') --count;
        std::memcpy(d.digits, buf, static_cast<std::size_t>(count));
        d.count = count;
        d.exponent = len - 1 - k;
        return true;
    }
    return false;
}

// The digits written positionally: "0.00ddd", "ddd000" or "dd.ddd".
char* put_positional(const ShortestDigits& d, char* out) noexcept {
    const int int_digits = d.exponent + 1;  // digits before the point
    const auto n = static_cast<std::size_t>(d.count);
    if (int_digits <= 0) {
        out = put(out, "0.", 2);
        std::memset(out, '0', static_cast<std::size_t>(-int_digits));
        out += -int_digits;
        return put(out, d.digits, n);
    }
    const auto whole = static_cast<std::size_t>(int_digits);
    if (whole >= n) {
        out = put(out, d.digits, n);
        std::memset(out, '0', whole - n);
        return out + (whole - n);
    }
    out = put(out, d.digits, whole);
    *out++ = '.';
    return put(out, d.digits + whole, n - whole);
}

// "d.ddd" followed by zeros up to `fraction` fraction digits (none: trailing zeros trimmed),
// then "e" and the exponent without "+" or leading zeros.
char* put_exponent_form(const ShortestDigits& d, int fraction, char* out) noexcept {
    *out++ = d.digits[0];
    const auto rest = static_cast<std::size_t>(d.count - 1);
    if (rest > 0 || fraction > 0) *out++ = '.';
    out = put(out, d.digits + 1, rest);
    if (fraction > d.count - 1) {
        const auto zeros = static_cast<std::size_t>(fraction - (d.count - 1));
        std::memset(out, '0', zeros);
        out += zeros;
    }
    *out++ = 'e';
    if (d.exponent < 0) *out++ = '-';
    return put_unsigned(static_cast<std::uint64_t>(d.exponent < 0 ? -d.exponent : d.exponent), out);
}

}  // namespace

// A note on the shortest digits used below: when the shortest round-trip digits of a normal
// (not subnormal) x have at most k significant digits, rounding x to k significant digits gives exactly those digits
// (padded with zeros). x lies within half an ulp of that decimal, and an ulp (about 2^-52 of
// x) is far below the spacing of k-digit decimals for k <= 15, so no other k-digit decimal is
// as close and no tie can arise. The shortest digits are much cheaper to find than a
// correctly rounded fixed-count conversion, which is kept for the remaining numbers.

char* format_number(double x, char* out) noexcept {
    if (x == 0) {
        *out = '0';
        return out + 1;
    }
    if (!std::isfinite(x)) return put_non_finite(x, out);
    const double a = std::fabs(x);

    // Integers of up to twelve digits print as themselves in the positional form.
    if (a >= 1.0 && a < 1e12) {
        const auto n = static_cast<std::uint64_t>(a);
        if (static_cast<double>(n) == a) {
            if (x < 0) *out++ = '-';
            return put_unsigned(n, out);
        }
    }

    const int e = decimal_exponent(a);
    if (a < kSmallestNormal) return put_scientific13(x, out, out + kNumberTextMax, true);
    ShortestDigits d;
    if (!short_decimal_digits(a, d)) d = shortest_digits(x);
    if (e < -4 || e > 11) {
        if (d.count > 13) return put_scientific13(x, out, out + kNumberTextMax, true);
        if (x < 0) *out++ = '-';
        return put_exponent_form(d, 0, out);
    }
    if (d.count <= 12) {
        if (x < 0) *out++ = '-';
        return put_positional(d, out);
    }

    // Positional with 11 - e fraction digits. Rounding may carry into one more integer digit
    // (999999999999.5 gives 1000000000000); that text stands.
    const int fraction_digits = 11 - e;
    char* end = std::to_chars(out, out + kNumberTextMax, x, std::chars_format::fixed, fraction_digits).ptr;
    if (fraction_digits > 0) {
        while (end[-1] == '0') --end;
        if (end[-1] == '.') --end;
    }
    return end;
}

char* format_shortest(double x, char* out) noexcept {
    if (!std::isfinite(x)) return put_non_finite(x, out);
    const double a = std::fabs(x);

    // Below 2^53 an integral value needs all its integer digits to read back.
    if (a < 9007199254740992.0) {
        const auto n = static_cast<std::uint64_t>(a);
        if (static_cast<double>(n) == a) {
            if (std::signbit(x)) *out++ = '-';
            return put_unsigned(n, out);
        }
    }

    if (std::signbit(x)) *out++ = '-';
    return put_positional(shortest_digits(x), out);
}

char* format_coefficient(double x, char* out) noexcept {
    // Truncate toward zero, saturating at the ends of the signed 64-bit range.
    std::int64_t g;
    if (std::isnan(x)) {
        g = 0;
    } else if (x > 9223372036854774784.0) {  // largest double below 2^63
        g = std::numeric_limits<std::int64_t>::max();
    } else if (x < -9223372036854775808.0) {
        g = std::numeric_limits<std::int64_t>::min();
    } else {
        g = static_cast<std::int64_t>(x);
    }
    if (std::fabs(x - static_cast<double>(g)) < 1e-15) return std::to_chars(out, out + 20, g).ptr;
    return format_shortest(x, out);
}

char* format_repr(double x, char* out) noexcept {
    char* end = format_shortest(x, out);
    const std::string_view s(out, static_cast<std::size_t>(end - out));
    if (s.find_first_of(".eE") != std::string_view::npos || s == "inf" || s == "NaN" || s == "-inf") {
        return end;
    }
    return put(end, ".0", 2);
}

char* format_mps_number(double x, char* out) noexcept {
    char* const last = out + kNumberTextMax;
    if (!(x < 0)) *out++ = ' ';
    if (!std::isfinite(x)) return put_non_finite(x, out);

    // An integer of up to thirteen digits is its own digits followed by zeros.
    const double a = std::fabs(x);
    if (a >= 1.0 && a < 1e13) {
        const auto n = static_cast<std::uint64_t>(a);
        if (static_cast<double>(n) == a) {
            char digits[20];
            const auto k = static_cast<std::size_t>(put_unsigned(n, digits) - digits);
            if (x < 0) *out++ = '-';
            *out++ = digits[0];
            *out++ = '.';
            out = put(out, digits + 1, k - 1);
            std::memset(out, '0', 13 - k);
            out += 13 - k;
            *out++ = 'e';
            return put_unsigned(k - 1, out);
        }
    }
    if (a < kSmallestNormal) return put_scientific13(x, out, last, false);
    ShortestDigits d;
    if (!short_decimal_digits(a, d)) d = shortest_digits(x);
    if (d.count > 13) return put_scientific13(x, out, last, false);
    if (std::signbit(x)) *out++ = '-';  // "-0.000000000000e0" after the blank for negative zero
    return put_exponent_form(d, 12, out);
}

void append_shortest(std::string& s, double x) {
    char buf[kShortestTextMax];
    s.append(buf, static_cast<std::size_t>(format_shortest(x, buf) - buf));
}

void append_coefficient(std::string& s, double x) {
    char buf[kShortestTextMax];
    s.append(buf, static_cast<std::size_t>(format_coefficient(x, buf) - buf));
}

void append_repr(std::string& s, double x) {
    char buf[kShortestTextMax];
    s.append(buf, static_cast<std::size_t>(format_repr(x, buf) - buf));
}

}  // namespace ondrel
