// Text renderings of 64-bit floats used by expression texts, LP fragments and the file writers.
//
// Each rendering writes into a caller-provided buffer and returns one past the last byte
// written (no terminating NUL). None of them allocates or fails.
#pragma once

#include <cstddef>
#include <string>

namespace ondrel {

// Longest text of format_number ("-1.234567890123e-308", 20 bytes) and of
// format_mps_number (" 1.234567890123e-308", 20 bytes), with room to spare.
inline constexpr std::size_t kNumberTextMax = 32;

// Longest positional shortest text, and of the texts built on it: a sign, "0.", at most 323
// zeros before the first digit (5e-324 has its digit 324 places after the point) and at most
// 17 digits. The largest integral text (309 digits of 1.7976931348623157e308, a sign and the
// ".0" of format_repr) is much shorter.
inline constexpr std::size_t kShortestTextMax = 1 + 2 + 323 + 17;

// Number text: twelve significant digits, trailing zeros removed, positional when the
// decimal exponent floor(log10(|x|)) lies in [-4, 11], otherwise exponent form with
// thirteen significant digits ("1.5e20", "1e-5"). Zero of either sign is "0".
char* format_number(double x, char* out) noexcept;  // out: kNumberTextMax bytes

// Shortest round-trip digits, always written positionally ("100000000000000000000",
// "0.0000001", "-0").
char* format_shortest(double x, char* out) noexcept;  // out: kShortestTextMax bytes

// The truncated 64-bit integer when x is within 1e-15 of it, else the shortest text.
char* format_coefficient(double x, char* out) noexcept;  // out: kShortestTextMax bytes

// The shortest text, with ".0" appended when it would read as an integer.
char* format_repr(double x, char* out) noexcept;  // out: kShortestTextMax bytes

// MPS number text: a leading blank unless x < 0, then thirteen significant digits in
// exponent form with all twelve fraction digits kept (" 1.000000000000e0",
// "-1.250000000000e-3"); " inf", "-inf", " NaN".
char* format_mps_number(double x, char* out) noexcept;  // out: kNumberTextMax bytes

void append_shortest(std::string& s, double x);
void append_coefficient(std::string& s, double x);
void append_repr(std::string& s, double x);

}  // namespace ondrel
