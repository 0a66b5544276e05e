// Value tokens of MPS files: the accepted grammar and the conversion to the nearest double.
#pragma once

#include <cstdint>
#include <string_view>

namespace ondrel {

// Parses one value token: an optional sign, digits with an optional decimal point (at least
// one digit in all), an optional exponent ("e" or "E", an optional sign, digits), or inf,
// infinity or nan in any letter case, also signed. The result is the nearest double, ties to
// even: beyond the double range an infinity, below half the smallest subnormal a zero, both of
// the number's sign. False for any other text, and `out` is then left as it was.
bool parse_mps_number(std::string_view token, double& out) noexcept;

namespace detail {

// What the one pass over a decimal token finds: the digit runs before and after the decimal
// point and the exponent, so value = integer.fraction x 10^exponent.
struct DecimalToken {
    bool negative = false;
    std::string_view body;        // the token without its sign
    std::string_view integer;     // the digits before the decimal point
    std::string_view fraction;    // the digits after it
    std::int64_t exponent = 0;    // clamped far outside the double range
    std::uint64_t mantissa = 0;   // all digits as one integer; exact when there are at most 19
};

enum class TokenKind { Decimal, NoDigits, Invalid };

// Checks the grammar of a token and, in the same pass, fills `out`. NoDigits: the token has no
// digit (it may still be one of the words); `out.body` and `out.negative` are set.
TokenKind scan_decimal(std::string_view token, DecimalToken& out) noexcept;

// The correctly rounded magnitude of a scanned decimal whose value lies below 1, computed
// exactly with big integers (an infinity for a value of 1 or more). It serves the
// values the library conversion reports out of range (subnormals and values that round to
// zero); exposed so that the fuzzer can compare it with that conversion on ordinary inputs.
double exact_small_decimal(const DecimalToken& t) noexcept;

}  // namespace detail

}  // namespace ondrel
