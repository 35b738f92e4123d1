#pragma once

#include <cstdint>

// The fixed-width fields of written files: reals in 13 columns in exponent form with 5 decimals
// (a three-digit exponent takes the place of the letter E), integers in 5 columns. Every function
// is pure and gives the same bytes whatever the caller's floating-point environment.
namespace quelby {

inline constexpr int e13_5_width = 13;
inline constexpr int i5_width = 5;

// Writes `value` into exactly 13 characters at `out` (no terminator); several times faster than
// std::to_chars, falling back on it only near a rounding tie or far from everyday magnitudes.
void format_e13_5(double value, char* out) noexcept;

// The same 13 bytes as format_e13_5 without the fast scaling: std::to_chars for normal values.
void format_e13_5_reference(double value, char* out) noexcept;

// Writes `value` right-aligned into exactly 5 characters at `out`; "*****" when it does not fit.
void format_i5(std::int32_t value, char* out) noexcept;

// The longest field format_count writes: a blank, a sign and the ten digits of an int32.
inline constexpr int count_max_width = 12;

// A count of a written file: right-aligned in 5 characters as format_i5 writes it when it fits,
// otherwise one blank and all its digits, so that a free-format read gets it back even right after
// another field. Returns the characters written (5 to count_max_width).
int format_count(std::int32_t value, char* out) noexcept;

// Writes `value` right-aligned into exactly `width` characters at `out` in exponent form with one
// digit before the point and `decimals` after it, correctly rounded (ties to even): the letter E,
// the exponent's sign and two digits, or the sign and three digits in the letter's place. NaN and
// the infinities are written as words; a value that needs more than `width` characters is written
// as `width` asterisks. The run log's coefficient lines use widths 12 and 11.
void format_exponent(double value, int width, int decimals, char* out) noexcept;

// Writes `value` right-aligned into exactly `width` characters at `out`; asterisks when it does
// not fit.
void format_integer(std::int64_t value, int width, char* out) noexcept;

}  // namespace quelby
