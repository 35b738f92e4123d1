#include "quelby/base/fixed_format.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace quelby {
namespace {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr int fraction_bits = 52;
constexpr std::uint64_t biased_exponent_all_ones = 0x7ff;
constexpr int exponent_bias = 1023;

// The six significant digits of a field, as an integer in [lowest_six_digits, past_six_digits).
constexpr std::uint32_t lowest_six_digits = 100000;
constexpr std::uint32_t past_six_digits = 1000000;

// Scaled values this close to a half are rounded by the exact path. Only a scaled value that
// lands exactly on a half is ambiguous: a single rounding is monotonic and a half below 2^21 is a
// double, so the value and its exact product lie on the same side of every other half, in any
// rounding mode. The margin is room to spare, far below the spacing of ordinary data.
constexpr double tie_margin = 1e-9;

constexpr std::array<char, 200> make_digit_pairs() {
  std::array<char, 200> pairs{};
  for (int value = 0; value < 100; ++value) {
    pairs[2 * value] = static_cast<char>('0' + value / 10);
    pairs[2 * value + 1] = static_cast<char>('0' + value % 10);
  }
  return pairs;
}
constexpr std::array<char, 200> digit_pairs = make_digit_pairs();

// Every power of ten that a double holds exactly, so that scaling by one of them is a single
// correctly rounded operation.
constexpr std::array<double, 23> exact_powers_of_ten = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int largest_exact_power = 22;

void write_pair(const std::uint32_t value, char* out) {
  std::memcpy(out, &digit_pairs[2 * value], 2);
}

void write_right_aligned(const char* word, const std::size_t length, char* out) {
  std::memset(out, ' ', e13_5_width - length);
  std::memcpy(out + e13_5_width - length, word, length);
}

// `digits` holds the six significant digits (0 for zero) and `exponent` the power of ten of the
// first.
void write_field(const bool negative, const std::uint32_t digits, const int exponent, char* out) {
  const std::uint32_t leading = digits / 10000;
  const std::uint32_t trailing = digits % 10000;
  out[0] = ' ';
  out[1] = negative ? '-' : ' ';
  out[2] = digit_pairs[2 * leading];
  out[3] = '.';
  out[4] = digit_pairs[2 * leading + 1];
  write_pair(trailing / 100, out + 5);
  write_pair(trailing % 100, out + 7);
  const char exponent_sign = exponent < 0 ? '-' : '+';
  const auto magnitude = static_cast<std::uint32_t>(exponent < 0 ? -exponent : exponent);
  if (magnitude < 100) {
    out[9] = 'E';
    out[10] = exponent_sign;
  } else {
    out[9] = exponent_sign;
    out[10] = static_cast<char>('0' + magnitude / 100);
  }
  write_pair(magnitude % 100, out + 11);
}

// The digits of a subnormal, f * 2^-1074, scaled by 10^(5 - exponent) = 5^power * 2^power: the
// integer f * 5^power (at most 820 bits here) shifted right by 1074 - power, rounded to nearest
// with ties to even. Integers only, since std::to_chars reads a subnormal as zero when the
// hardware treats denormals as zero.
std::uint32_t round_subnormal_digits(const std::uint64_t fraction, const int power) {
  constexpr std::uint32_t largest_limb_power_of_five = 1220703125;  // 5^13
  std::array<std::uint32_t, 27> limbs{};
  limbs[0] = static_cast<std::uint32_t>(fraction);
  limbs[1] = static_cast<std::uint32_t>(fraction >> 32);
  std::size_t n_limbs = 2;
  const auto multiply = [&](const std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::size_t index = 0; index < n_limbs; ++index) {
      const std::uint64_t product = std::uint64_t{limbs[index]} * factor + carry;
      limbs[index] = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0) {
      limbs[n_limbs++] = static_cast<std::uint32_t>(carry);
    }
  };
  int remaining = power;
  for (; remaining >= 13; remaining -= 13) {
    multiply(largest_limb_power_of_five);
  }
  std::uint32_t last_factor = 1;
  for (; remaining > 0; --remaining) {
    last_factor *= 5;
  }
  multiply(last_factor);

  const int shift = 1074 - power;
  const auto limb = static_cast<std::size_t>(shift / 32);
  const int offset = shift % 32;
  const std::uint64_t window = limbs[limb] | (std::uint64_t{limbs[limb + 1]} << 32);
  auto digits = static_cast<std::uint32_t>(window >> offset);
  const std::uint64_t below = window & ((std::uint64_t{1} << offset) - 1);
  bool half = false;
  bool sticky = false;
  if (offset > 0) {
    half = ((below >> (offset - 1)) & 1) != 0;
    sticky = (below & ((std::uint64_t{1} << (offset - 1)) - 1)) != 0;
  } else {
    half = (limbs[limb - 1] >> 31) != 0;
    sticky = (limbs[limb - 1] & 0x7fffffff) != 0;
  }
  for (std::size_t index = 0; index + 1 < limb && !sticky; ++index) {
    sticky = limbs[index] != 0;
  }
  if (half && (sticky || (digits & 1) != 0)) {
    ++digits;
  }
  return digits;
}

void write_subnormal(const bool negative, const std::uint64_t fraction, char* out) {
  const int binary_exponent = static_cast<int>(std::bit_width(fraction)) - 1 - 1074;
  int exponent = (binary_exponent * 78913) >> 18;
  std::uint32_t digits = round_subnormal_digits(fraction, 5 - exponent);
  if (digits >= past_six_digits) {
    ++exponent;
    digits = round_subnormal_digits(fraction, 5 - exponent);
  }
  if (digits == past_six_digits) {
    digits = lowest_six_digits;
    ++exponent;
  }
  write_field(negative, digits, exponent, out);
}

// For normal values std::to_chars rounds the exact binary value to nearest, ties to even, with
// integer arithmetic; its text d.ddddde+XX (or e+XXX) is taken apart and laid out again.
void write_finite_exact(const bool negative, const std::uint64_t magnitude_bits, char* out) {
  if ((magnitude_bits >> fraction_bits) == 0) {
    write_subnormal(negative, magnitude_bits, out);
    return;
  }
  std::array<char, 32> text{};
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), std::bit_cast<double>(magnitude_bits),
                    std::chars_format::scientific, 5);
  std::uint32_t digits = static_cast<std::uint32_t>(text[0] - '0');
  for (int position = 2; position < 7; ++position) {
    digits = digits * 10 + static_cast<std::uint32_t>(text[position] - '0');
  }
  int exponent = 0;
  for (const char* digit = text.data() + 9; digit < result.ptr; ++digit) {
    exponent = exponent * 10 + (*digit - '0');
  }
  write_field(negative, digits, text[8] == '-' ? -exponent : exponent, out);
}

// Handles NaN, the infinities and zero by their bits (a subnormal is no zero, even where the
// hardware would compare it equal to one). Returns false for any other finite value.
bool write_special(const bool negative, const std::uint64_t magnitude_bits, char* out) {
  const std::uint64_t biased_exponent = magnitude_bits >> fraction_bits;
  if (biased_exponent == biased_exponent_all_ones) {
    if (magnitude_bits != biased_exponent_all_ones << fraction_bits) {
      write_right_aligned("NaN", 3, out);
    } else if (negative) {
      write_right_aligned("-Infinity", 9, out);
    } else {
      write_right_aligned("Infinity", 8, out);
    }
    return true;
  }
  if (magnitude_bits == 0) {
    write_field(negative, 0, 0, out);
    return true;
  }
  return false;
}

}  // namespace

void format_e13_5(const double value, char* out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits & sign_bit) != 0;
  const std::uint64_t magnitude_bits = bits & ~sign_bit;
  if (write_special(negative, magnitude_bits, out)) {
    return;
  }
  const auto biased_exponent = static_cast<int>(magnitude_bits >> fraction_bits);
  // Subnormals never reach the arithmetic below: the hardware may read them as zero.
  if (biased_exponent == 0) {
    write_finite_exact(negative, magnitude_bits, out);
    return;
  }
  // floor(binary exponent * log10(2)), exact for every double's exponent: the decimal exponent
  // of the value is this estimate or one more.
  int exponent = ((biased_exponent - exponent_bias) * 78913) >> 18;
  const int power = 5 - exponent;
  // Beyond the powers of ten that a double holds exactly (the correction below may need one more
  // negative power than the estimate) the exact path takes over.
  if (power < 1 - largest_exact_power || power > largest_exact_power) {
    write_finite_exact(negative, magnitude_bits, out);
    return;
  }
  // Both candidate scalings are computed and one is selected: whether the estimate was one low
  // is a coin toss that a branch would mispredict. A rounding up to 10^6 of a value just below it
  // is taken as a carry too, and the smaller scaling then rounds to 100000, as it should.
  const double magnitude = std::bit_cast<double>(magnitude_bits);
  double scaled_by_estimate = 0;
  double scaled_by_next = 0;
  if (power > 0) {
    scaled_by_estimate = magnitude * exact_powers_of_ten[power];
    scaled_by_next = magnitude * exact_powers_of_ten[power - 1];
  } else {
    scaled_by_estimate = magnitude / exact_powers_of_ten[-power];
    scaled_by_next = magnitude / exact_powers_of_ten[1 - power];
  }
  const bool estimate_low = scaled_by_estimate >= past_six_digits;
  const double scaled = estimate_low ? scaled_by_next : scaled_by_estimate;
  exponent += estimate_low ? 1 : 0;
  // Truncation and the subtraction are exact, so neither depends on the rounding mode.
  auto digits = static_cast<std::uint32_t>(scaled);
  const double fraction = scaled - digits;
  // One comparison, not two: a branch on which side of a half the fraction lies would be
  // mispredicted every other value.
  if (std::fabs(fraction - 0.5) < tie_margin) {
    write_finite_exact(negative, magnitude_bits, out);
    return;
  }
  digits += fraction > 0.5 ? 1 : 0;
  if (digits == past_six_digits) {
    digits = lowest_six_digits;
    ++exponent;
  }
  write_field(negative, digits, exponent, out);
}

void format_e13_5_reference(const double value, char* out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits & sign_bit) != 0;
  const std::uint64_t magnitude_bits = bits & ~sign_bit;
  if (!write_special(negative, magnitude_bits, out)) {
    write_finite_exact(negative, magnitude_bits, out);
  }
}

void format_i5(const std::int32_t value, char* out) noexcept {
  if (value > 99999 || value < -9999) {
    std::memset(out, '*', i5_width);
    return;
  }
  std::memset(out, ' ', i5_width);
  auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
  int position = i5_width;
  do {
    out[--position] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    out[--position] = '-';
  }
}

int format_count(const std::int32_t value, char* out) noexcept {
  if (value <= 99999 && value >= -9999) {
    format_i5(value, out);
    return i5_width;
  }
  out[0] = ' ';
  const auto result = std::to_chars(out + 1, out + count_max_width, value);
  return static_cast<int>(result.ptr - out);
}

namespace {

// `length` characters of `text`, right-aligned in the field, or asterisks when they do not fit.
void write_in_field(const char* text, const std::size_t length, const int width, char* out) {
  const auto field = static_cast<std::size_t>(width);
  if (length > field) {
    std::memset(out, '*', field);
    return;
  }
  std::memset(out, ' ', field - length);
  std::memcpy(out + field - length, text, length);
}

}  // namespace

void format_exponent(const double value, const int width, const int decimals, char* out) noexcept {
  if (width <= 0) return;
  if (std::isnan(value)) {
    write_in_field("NaN", 3, width, out);
    return;
  }
  if (std::isinf(value)) {
    const bool negative = value < 0;
    const bool long_form = width >= (negative ? 9 : 8);
    const char* const word =
        negative ? (long_form ? "-Infinity" : "-Inf") : (long_form ? "Infinity" : "Inf");
    write_in_field(word, std::strlen(word), width, out);
    return;
  }
  // std::to_chars rounds the exact binary value to nearest, ties to even: d.ddde+XX or e+XXX.
  std::array<char, 64> text{};
  const int precision = decimals < 0 ? 0 : decimals > 40 ? 40 : decimals;
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value,
                                    std::chars_format::scientific, precision);
  const char* const letter =
      static_cast<const char*>(std::memchr(text.data(), 'e', result.ptr - text.data()));
  std::array<char, 64> field{};
  std::size_t length = static_cast<std::size_t>(letter - text.data());
  std::memcpy(field.data(), text.data(), length);
  // A mantissa without a point (no decimals) is written with one, as the exponent form has it.
  if (precision == 0) field[length++] = '.';
  const char* exponent_digits = letter + 2;
  const auto exponent_length = static_cast<std::size_t>(result.ptr - exponent_digits);
  if (exponent_length <= 2) {
    field[length++] = 'E';
    field[length++] = letter[1];
    if (exponent_length == 1) field[length++] = '0';
  } else {
    field[length++] = letter[1];
  }
  std::memcpy(field.data() + length, exponent_digits, exponent_length);
  length += exponent_length;
  write_in_field(field.data(), length, width, out);
}

void format_integer(const std::int64_t value, const int width, char* out) noexcept {
  if (width <= 0) return;
  std::array<char, 24> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  write_in_field(text.data(), static_cast<std::size_t>(result.ptr - text.data()), width, out);
}

}  // namespace quelby
