#include "format/number_parse.hpp"

#include "base/numeric.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace ondrel {

namespace {

// Exponent digits stop counting once the exponent reaches this value: 10^100000000 lies far
// beyond the double range either way, and sums with digit counts cannot overflow.
constexpr std::int64_t kExponentClamp = 100000000;

inline unsigned digit_value(char c) noexcept { return static_cast<unsigned char>(c) - unsigned{'0'}; }

// Reads the digits starting at p into m (m = m * 10 + digit, wrapping past 19 digits); returns
// the end of the digits.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& m) noexcept {
    for (unsigned d; p != end && (d = digit_value(*p)) < 10; ++p) m = m * 10 + d;
    return p;
}

// Checks the grammar of a token and gathers what every conversion path needs, in one pass.
inline detail::TokenKind scan_token(std::string_view token, detail::DecimalToken& out) noexcept {
    using detail::TokenKind;
    const char* p = token.data();
    const char* const end = p + token.size();
    out.negative = false;
    if (p != end && (*p == '+' || *p == '-')) out.negative = *p++ == '-';
    out.body = std::string_view(p, static_cast<std::size_t>(end - p));
    std::uint64_t m = 0;
    const char* const integer_begin = p;
    p = read_digits(p, end, m);
    out.integer = std::string_view(integer_begin, static_cast<std::size_t>(p - integer_begin));
    out.fraction = std::string_view();
    if (p != end && *p == '.') {
        const char* const fraction_begin = ++p;
        p = read_digits(p, end, m);
        out.fraction = std::string_view(fraction_begin, static_cast<std::size_t>(p - fraction_begin));
    }
    if (out.integer.empty() && out.fraction.empty()) return TokenKind::NoDigits;
    out.mantissa = m;
    out.exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative_exponent = false;
        if (p != end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
        const char* const exponent_begin = p;
        std::int64_t exponent = 0;
        for (unsigned d; p != end && (d = digit_value(*p)) < 10; ++p) {
            if (exponent < kExponentClamp) exponent = exponent * 10 + d;
        }
        if (p == exponent_begin) return TokenKind::Invalid;
        out.exponent = negative_exponent ? -exponent : exponent;
    }
    return p == end ? TokenKind::Decimal : TokenKind::Invalid;
}

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) noexcept {
    if (s.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[i]) return false;
    }
    return true;
}

bool word_value(std::string_view word, double& out) noexcept {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity")) {
        out = kInf;
    } else if (equals_ignoring_case(word, "nan")) {
        out = std::numeric_limits<double>::quiet_NaN();
    } else {
        return false;
    }
    return true;
}

// The significant digits of a scanned decimal (from the first non-zero one on, in two runs)
// and the position of the decimal point before them: value = 0.D x 10^point. D is empty for
// zero.
struct SignificantDigits {
    std::string_view integer, fraction;
    std::int64_t point = 0;
    bool empty() const noexcept { return integer.empty() && fraction.empty(); }
};

SignificantDigits significant_digits(const detail::DecimalToken& t) noexcept {
    SignificantDigits s;
    if (const std::size_t i = t.integer.find_first_not_of('0'); i != std::string_view::npos) {
        s.integer = t.integer.substr(i);
        s.fraction = t.fraction;
        s.point = static_cast<std::int64_t>(s.integer.size()) + t.exponent;
    } else if (const std::size_t f = t.fraction.find_first_not_of('0'); f != std::string_view::npos) {
        s.fraction = t.fraction.substr(f);
        s.point = t.exponent - static_cast<std::int64_t>(f);
    }
    return s;
}

// The magnitude of a scanned decimal whose digits are too many, or whose exponent too large,
// for the fast path of parse_mps_number. Takes the token by value and is kept out of line, so
// that the fast path can hold the scanned token in registers.
[[gnu::noinline]] bool slow_decimal_value(detail::DecimalToken t, double& out) noexcept {
    const char* const end = t.body.data() + t.body.size();
    double v = 0.0;
    const auto r = std::from_chars(t.body.data(), end, v);
    if (r.ec == std::errc::result_out_of_range) {
        // The library leaves v untouched here (and some versions say so for subnormal results
        // too): a value of at least 1 overflowed and becomes an infinity; a smaller one is
        // converted exactly, which gives a subnormal or a zero.
        v = detail::exact_small_decimal(t);
    } else if (r.ec != std::errc() || r.ptr != end) {
        return false;
    }
    out = v;
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
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }

private:
    std::vector<std::uint32_t> limbs_;
};

// The significant digits, cut after 800 of them; when a non-zero digit was cut, a final 1 is
// appended instead. That changes no rounding decision: a point halfway between two doubles
// below 1 has at most 767 significant decimal digits, so the cut value lies on the same side
// of every such point as the full value. Trailing zeros are dropped.
std::string kept_digits(const SignificantDigits& s) {
    constexpr std::size_t kMaxDigits = 800;
    std::string digits;
    bool cut_nonzero = false;
    for (const std::string_view part : {s.integer, s.fraction}) {
        const std::size_t room = kMaxDigits - digits.size();
        digits.append(part.substr(0, room));
        if (part.size() > room) {
            cut_nonzero = cut_nonzero || part.find_first_not_of('0', room) != std::string_view::npos;
        }
    }
    if (cut_nonzero) {
        digits.push_back('1');
    } else {
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    }
    return digits;
}

// q = floor(num / den) for a quotient known to fit in 64 bits, and the sign of 2r - den for the
// remainder r (-2 when r is zero), by shift-and-subtract division.
struct Quotient {
    std::uint64_t q = 0;
    int rest = 0;
};

Quotient divide(BigUint num, const BigUint& den) {
    Quotient out;
    for (int bit = 63; bit >= 0; --bit) {
        BigUint shifted = den;
        shifted.shift_left(static_cast<std::size_t>(bit));
        if (shifted.compare(num) <= 0) {
            num.subtract(shifted);
            out.q |= std::uint64_t{1} << bit;
        }
    }
    if (num.is_zero()) {
        out.rest = -2;
    } else {
        num.shift_left(1);
        out.rest = num.compare(den);
    }
    return out;
}

// The double nearest to (q + r/den) x 2^-e, ties to even: q is cut to 53 bits, and for
// subnormals (e = 1074) q already has fewer, its last bit weighing 2^-1074.
double round_scaled(const Quotient& d, std::int64_t e) noexcept {
    int shift = 0;
    while ((d.q >> shift) >= (std::uint64_t{1} << 53)) ++shift;
    std::uint64_t m = d.q >> shift;
    bool up;
    if (shift == 0) {
        up = d.rest > 0 || (d.rest == 0 && (m & 1));
    } else {
        const std::uint64_t dropped = d.q & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        up = dropped > half || (dropped == half && (d.rest != -2 || (m & 1)));
    }
    if (up) ++m;
    return std::ldexp(static_cast<double>(m), static_cast<int>(shift - e));
}

}  // namespace

namespace detail {

TokenKind scan_decimal(std::string_view token, DecimalToken& out) noexcept { return scan_token(token, out); }

// With N the integer of the kept digits and s their count minus point, value = N / 10^s. A
// binary scale e is chosen such that q = floor(value * 2^e) fits in 64 bits (and has at least
// 56 bits whenever the result is a normal double, e < 1074); q and the remainder come from a
// big-integer division, and q is rounded to the double.
double exact_small_decimal(const DecimalToken& t) noexcept {
    const SignificantDigits sig = significant_digits(t);
    if (sig.empty()) return 0.0;
    // Below 10^-330 the value is less than half the smallest subnormal (about 2.47e-324).
    if (sig.point < -330) return 0.0;
    if (sig.point > 0) return kInf;  // not below 1
    try {
        const std::string digits = kept_digits(sig);
        BigUint num;
        for (const char c : digits) num.mul_add(10, digit_value(c));
        BigUint den;
        den.mul_add(1, 1);
        const std::int64_t s = static_cast<std::int64_t>(digits.size()) - sig.point;  // > 0
        for (std::int64_t k = 0; k < s; ++k) den.mul_add(10, 0);
        // value < 10^point = 2^(point * log2(10)); keep value * 2^e below 2^60.
        const std::int64_t e = std::min<std::int64_t>(1074, 60 + (-sig.point * 33219) / 10000);
        num.shift_left(static_cast<std::size_t>(e));
        return round_scaled(divide(std::move(num), den), e);
    } catch (const std::bad_alloc&) {
        return 0.0;  // a few hundred limbs; cannot realistically fail
    }
}

}  // namespace detail

bool parse_mps_number(std::string_view token, double& out) noexcept {
    // An exact integer mantissa below 2^53 times an exact power of ten (at most 10^22) is one
    // correctly rounded IEEE multiplication or division.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    detail::DecimalToken t;
    double v;
    switch (scan_token(token, t)) {
        case detail::TokenKind::Invalid: return false;
        case detail::TokenKind::NoDigits:
            if (!word_value(t.body, v)) return false;
            break;
        case detail::TokenKind::Decimal: {
            const std::size_t digits = t.integer.size() + t.fraction.size();
            const std::int64_t e10 = t.exponent - static_cast<std::int64_t>(t.fraction.size());
            if (digits <= 19 && t.mantissa == 0) {
                v = 0.0;  // zeros only, whatever the exponent
            } else if (digits <= 19 && t.mantissa < (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
                const double m = static_cast<double>(t.mantissa);
                v = e10 < 0 ? m / kPow10[-e10] : m * kPow10[e10];
            } else if (!slow_decimal_value(t, v)) {
                return false;
            }
            break;
        }
    }
    out = t.negative ? -v : v;
    return true;
}

}  // namespace ondrel
