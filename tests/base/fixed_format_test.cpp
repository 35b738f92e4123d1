#include "quelby/base/fixed_format.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace quelby {
namespace {

// Formats into a guarded buffer, so that a write past the field shows up as a failure.
template <typename Value>
std::string formatted(void (*format)(Value, char*) noexcept, const Value value, const int width) {
  std::string buffer(static_cast<std::size_t>(width) + 3, '#');
  format(value, buffer.data());
  EXPECT_EQ(buffer.substr(static_cast<std::size_t>(width)), "###") << "wrote past the field";
  return buffer.substr(0, static_cast<std::size_t>(width));
}

// The independent oracle: glibc's printf, laid out as the field.
std::string printf_e13_5(const double value) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%.5E", value);
  std::string body = text.data();
  if (body.find("NAN") != std::string::npos) {
    body = "NaN";
  } else if (body.find("INF") != std::string::npos) {
    body = body[0] == '-' ? "-Infinity" : "Infinity";
  } else if (const std::size_t letter = body.find('E'); body.size() - letter == 5) {
    body.erase(letter, 1);  // a three-digit exponent takes the letter's place
  }
  return std::string(static_cast<std::size_t>(e13_5_width) - body.size(), ' ') + body;
}

std::string hex(const double value) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%a", value);
  return text.data();
}

TEST(FixedFormat, WritesTheDocumentedFields) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double infinity = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* expected;
  } cases[] = {{123.456, "  1.23456E+02"},
               {-0.00123456, " -1.23456E-03"},
               {1.0, "  1.00000E+00"},
               {0.0, "  0.00000E+00"},
               {-0.0, " -0.00000E+00"},
               {1.0e-100, "  1.00000-100"},
               {-1.5e300, " -1.50000+300"},
               {1.0e99, "  1.00000E+99"},
               {9.999996e99, "  1.00000+100"},
               {4.9e-324, "  4.94066-324"},
               {-4.9e-324, " -4.94066-324"},
               {0x1p-1023, "  1.11254-308"},
               {0x1p-1022, "  2.22507-308"},  // the smallest normal double
               {std::numeric_limits<double>::max(), "  1.79769+308"},
               // Roundings that carry into the exponent.
               {9.999996, "  1.00000E+01"},
               {-9.999996e-5, " -1.00000E-04"},
               {999999.6, "  1.00000E+06"},
               // Exact ties at six digits go to the even digit, both ways.
               {1234565.0, "  1.23456E+06"},
               {1234575.0, "  1.23458E+06"},
               {0x1p-9, "  1.95312E-03"},
               {-123456.5, " -1.23456E+05"},
               {123457.5, "  1.23458E+05"},
               // Either side of the powers of ten that a double holds exactly.
               {1e22, "  1.00000E+22"},
               {1e23, "  1.00000E+23"},
               {1e-17, "  1.00000E-17"},
               {1e-18, "  1.00000E-18"},
               {nan, "          NaN"},
               {-nan, "          NaN"},
               {infinity, "     Infinity"},
               {-infinity, "    -Infinity"}};
  for (const auto& test_case : cases) {
    EXPECT_EQ(formatted(format_e13_5, test_case.value, e13_5_width), test_case.expected)
        << hex(test_case.value);
    EXPECT_EQ(formatted(format_e13_5_reference, test_case.value, e13_5_width), test_case.expected)
        << hex(test_case.value);
  }
}

TEST(FixedFormat, WritesIntegersInFiveColumns) {
  const struct {
    std::int32_t value;
    const char* expected;
  } cases[] = {{40, "   40"},
               {0, "    0"},
               {-12, "  -12"},
               {-1, "   -1"},
               {99999, "99999"},
               {-9999, "-9999"},
               {100000, "*****"},
               {-10000, "*****"},
               {std::numeric_limits<std::int32_t>::max(), "*****"},
               {std::numeric_limits<std::int32_t>::min(), "*****"}};
  for (const auto& test_case : cases) {
    EXPECT_EQ(formatted(format_i5, test_case.value, i5_width), test_case.expected)
        << test_case.value;
  }
}

// Counts of written files: the 5-column field while it holds them, else a blank and every digit.
TEST(FixedFormat, WritesCountsInFiveColumnsOrInFull) {
  const struct {
    std::int32_t value;
    std::string expected;
  } cases[] = {{3, "    3"},
               {99999, "99999"},
               {-9999, "-9999"},
               {100000, " 100000"},
               {-10000, " -10000"},
               {std::numeric_limits<std::int32_t>::max(), " 2147483647"},
               {std::numeric_limits<std::int32_t>::min(), " -2147483648"}};
  for (const auto& test_case : cases) {
    char out[count_max_width + 1] = {};
    const int width = format_count(test_case.value, out);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(width)), test_case.expected)
        << test_case.value;
  }
}

// The families of doubles where a fast formatter goes wrong, drawn with a fixed seed.
std::vector<double> difficult_values() {
  std::mt19937_64 generator(20240611);
  std::vector<double> values;
  const auto add_signed = [&](const double value) {
    values.push_back((generator() & 1) != 0 ? -value : value);
  };
  const auto add_with_neighbours = [&](const double value, const int steps) {
    add_signed(value);
    double below = value;
    double above = value;
    for (int step = 0; step < steps; ++step) {
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, std::numeric_limits<double>::infinity());
      add_signed(below);
      add_signed(above);
    }
  };
  std::uniform_int_distribution<std::uint64_t> everyday_exponent(1023 - 70, 1023 + 95);
  std::normal_distribution<double> model_logarithm(4.6, 1.5);
  std::uniform_real_distribution<double> near_one(0.98, 1.02);
  std::uniform_int_distribution<int> decimal_exponent(-40, 40);
  for (int count = 0; count < 50000; ++count) {
    // Any bit pattern: every exponent, NaNs and infinities included.
    values.push_back(std::bit_cast<double>(generator()));
    // Subnormals and the binade just above them.
    values.push_back(std::bit_cast<double>((generator() >> 11) & ((std::uint64_t{1} << 53) - 1)));
    // Any fraction with the exponents of everyday magnitudes, where the fast path works.
    add_signed(std::bit_cast<double>((everyday_exponent(generator) << 52) | (generator() >> 12)));
    add_signed(std::exp(model_logarithm(generator)));
    add_signed(near_one(generator) * std::pow(10.0, decimal_exponent(generator)));
  }
  // Powers of ten and the carries just below them (9.999995e-5 and its kind), a few ulps each way.
  for (int power = -325; power <= 308; ++power) {
    for (const char* mantissa : {"1", "9.999995", "9.9999949999999", "9.99999500000001", "5"}) {
      const std::string text = std::string(mantissa) + "e" + std::to_string(power);
      add_with_neighbours(std::strtod(text.c_str(), nullptr), 4);
    }
  }
  // Exact ties at six significant digits: a seven-digit integer N ending in 5, times 10^j. For
  // j >= 0 that is N * 5^j * 2^j; for j < 0 it is a double only when N = c * 5^-j (c odd), and
  // then it is c * 2^j.
  std::uniform_int_distribution<std::uint64_t> six_digits(100000, 999999);
  for (int count = 0; count < 20000; ++count) {
    const int power = static_cast<int>(generator() % 23);
    std::uint64_t integer = six_digits(generator) * 10 + 5;
    for (int factor = 0; factor < power && integer < (std::uint64_t{1} << 53); ++factor) {
      integer *= 5;
    }
    if (integer < (std::uint64_t{1} << 53)) {
      add_with_neighbours(std::ldexp(static_cast<double>(integer), power), 1);
    }
  }
  for (int halvings = 1; halvings <= 10; ++halvings) {
    const auto five_power = static_cast<std::uint64_t>(std::pow(5.0, halvings));
    for (std::uint64_t odd = 1; odd * five_power < 10000000; odd += 2) {
      if (odd * five_power >= 1000000 && (odd % 97 == 1 || halvings > 6)) {
        add_with_neighbours(std::ldexp(static_cast<double>(odd), -halvings), 1);
      }
    }
  }
  return values;
}

// Compares with the oracle's strings, reporting the first few differences.
void expect_printf_fields(const std::vector<double>& values, const std::vector<std::string>& fields,
                          const std::vector<std::string>& expected, const char* how) {
  int mismatches = 0;
  for (std::size_t index = 0; index < values.size() && mismatches < 20; ++index) {
    if (fields[index] != expected[index]) {
      ++mismatches;
      ADD_FAILURE() << hex(values[index]) << " " << how << ": \"" << fields[index]
                    << "\", printf \"" << expected[index] << "\"";
    }
  }
}

std::vector<std::string> format_all(void (*format)(double, char*) noexcept,
                                    const std::vector<double>& values) {
  std::vector<std::string> fields(values.size(), std::string(e13_5_width, ' '));
  for (std::size_t index = 0; index < values.size(); ++index) {
    format(values[index], fields[index].data());
  }
  return fields;
}

TEST(FixedFormat, AgreesWithPrintfOnDifficultValues) {
  const std::vector<double> values = difficult_values();
  ASSERT_GT(values.size(), 300000u);
  std::vector<std::string> expected;
  for (const double value : values) {
    expected.push_back(printf_e13_5(value));
  }
  expect_printf_fields(values, format_all(format_e13_5, values), expected, "fast");
  expect_printf_fields(values, format_all(format_e13_5_reference, values), expected, "reference");
}

TEST(FixedFormat, IgnoresTheFloatingPointEnvironment) {
  std::vector<double> values;
  const std::vector<double> all_values = difficult_values();
  for (std::size_t index = 0; index < all_values.size(); index += 3) {
    values.push_back(all_values[index]);
  }
  // The oracle's strings are made before the environment changes: printf is not immune to it.
  std::vector<std::string> expected;
  for (const double value : values) {
    expected.push_back(printf_e13_5(value));
  }
#if defined(__x86_64__)
  const unsigned saved_control = _mm_getcsr();
  _mm_setcsr(saved_control | 0x8040);  // flush-to-zero and denormals-are-zero, as in the command
  // Volatile on both sides keeps the comparison between the two writes of the control word.
  volatile const double subnormal = 0x1p-1074;
  volatile const bool subnormals_read_as_zero = subnormal == 0.0;
  const std::vector<std::string> flushed = format_all(format_e13_5, values);
  const std::vector<std::string> flushed_reference = format_all(format_e13_5_reference, values);
  _mm_setcsr(saved_control);
  EXPECT_TRUE(subnormals_read_as_zero);
  expect_printf_fields(values, flushed, expected, "with subnormals flushed");
  expect_printf_fields(values, flushed_reference, expected, "reference, with subnormals flushed");
#endif
  const int saved_rounding = std::fegetround();
  for (const int rounding : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    std::fesetround(rounding);
    const std::vector<std::string> fields = format_all(format_e13_5, values);
    std::fesetround(saved_rounding);
    expect_printf_fields(values, fields, expected, "in a directed rounding mode");
  }
}

}  // namespace
}  // namespace quelby
