#include "mesh/fixed_format.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace quelby {
namespace {

// Formats into a guarded buffer, so a write past the field's width shows up as a failure.
std::string formatted(void (*format)(double, char*) noexcept, const double value) {
  std::array<char, e13_5_width + 3> buffer{};
  buffer.fill('#');
  format(value, buffer.data());
  EXPECT_EQ(std::string(buffer.data() + e13_5_width, 3), "###") << "wrote past the field";
  return std::string(buffer.data(), e13_5_width);
}

std::string formatted_i5(const std::int32_t value) {
  std::array<char, i5_width + 3> buffer{};
  buffer.fill('#');
  format_i5(value, buffer.data());
  EXPECT_EQ(std::string(buffer.data() + i5_width, 3), "###") << "wrote past the field";
  return std::string(buffer.data(), i5_width);
}

// The independent oracle: glibc's printf, rewritten into the field's layout.
std::string printf_e13_5(const double value) {
  std::array<char, 64> text{};
  const int length = std::snprintf(text.data(), text.size(), "%.5E", value);
  std::string body(text.data(), static_cast<std::size_t>(length));
  if (body.find("NAN") != std::string::npos) {
    body = "NaN";
  } else if (body.find("INF") != std::string::npos) {
    body = body[0] == '-' ? "-Infinity" : "Infinity";
  } else {
    const std::size_t letter = body.find('E');
    if (body.size() - letter == 5) {  // E, the sign and three digits
      body.erase(letter, 1);
    }
  }
  return std::string(static_cast<std::size_t>(e13_5_width) - body.size(), ' ') + body;
}

std::string hex(const double value) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%a", value);
  return text.data();
}

TEST(FixedFormat, WritesTheDocumentedFields) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* expected;
  } cases[] = {
      {123.456, "  1.23456E+02"},
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
      {std::numeric_limits<double>::denorm_min() * 0x1p51, "  1.11254-308"},
      {std::numeric_limits<double>::min(), "  2.22507-308"},
      {std::numeric_limits<double>::max(), "  1.79769+308"},
      // The rounding carries into the exponent.
      {9.999996, "  1.00000E+01"},
      {-9.999996e-5, " -1.00000E-04"},
      {999999.6, "  1.00000E+06"},
      // Exact ties at six digits go to the even digit, both ways.
      {1234565.0, "  1.23456E+06"},
      {1234575.0, "  1.23458E+06"},
      {0.001953125, "  1.95312E-03"},
      {-123456.5, " -1.23456E+05"},
      {123457.5, "  1.23458E+05"},
      // Powers of ten at both ends of the exact ones, and just past them.
      {1e22, "  1.00000E+22"},
      {1e23, "  1.00000E+23"},
      {1e-17, "  1.00000E-17"},
      {1e-18, "  1.00000E-18"},
      {nan, "          NaN"},
      {-nan, "          NaN"},
      {infinity, "     Infinity"},
      {-infinity, "    -Infinity"},
  };
  for (const auto& test_case : cases) {
    EXPECT_EQ(formatted(format_e13_5, test_case.value), test_case.expected) << hex(test_case.value);
    EXPECT_EQ(formatted(format_e13_5_exact, test_case.value), test_case.expected)
        << hex(test_case.value);
  }
}

TEST(FixedFormat, WritesIntegersInFiveColumns) {
  const struct {
    std::int32_t value;
    const char* expected;
  } cases[] = {
      {40, "   40"},
      {20, "   20"},
      {0, "    0"},
      {7, "    7"},
      {-12, "  -12"},
      {-1, "   -1"},
      {99999, "99999"},
      {-9999, "-9999"},
      {100000, "*****"},
      {-10000, "*****"},
      {std::numeric_limits<std::int32_t>::max(), "*****"},
      {std::numeric_limits<std::int32_t>::min(), "*****"},
  };
  for (const auto& test_case : cases) {
    EXPECT_EQ(formatted_i5(test_case.value), test_case.expected) << test_case.value;
  }
}

// The families of doubles where a fast formatter goes wrong, drawn with a fixed seed.
std::vector<double> difficult_values() {
  std::mt19937_64 generator(20240611);
  std::vector<double> values;
  const auto add_with_sign = [&](const double value) {
    values.push_back((generator() & 1) != 0 ? -value : value);
  };
  const auto add_with_neighbours = [&](const double value, const int steps) {
    double below = value;
    double above = value;
    add_with_sign(value);
    for (int step = 0; step < steps; ++step) {
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, std::numeric_limits<double>::infinity());
      add_with_sign(below);
      add_with_sign(above);
    }
  };
  // Every bit pattern: all exponents, subnormals, NaNs and infinities included.
  for (int count = 0; count < 60000; ++count) {
    values.push_back(std::bit_cast<double>(generator()));
  }
  // Subnormals alone, and the binade just above them.
  for (int count = 0; count < 10000; ++count) {
    const std::uint64_t fraction = generator() >> 12;
    values.push_back(std::bit_cast<double>(fraction | ((generator() & 1) << 52)));
  }
  // Any fraction with the exponents of everyday magnitudes, where the fast path works.
  std::uniform_int_distribution<std::uint64_t> exponent(1023 - 70, 1023 + 95);
  for (int count = 0; count < 100000; ++count) {
    add_with_sign(std::bit_cast<double>((exponent(generator) << 52) | (generator() >> 12)));
  }
  // Model values: log-normal around 100.
  std::normal_distribution<double> logarithm(4.6, 1.5);
  for (int count = 0; count < 50000; ++count) {
    values.push_back(std::exp(logarithm(generator)));
  }
  // Powers of ten and the carries just below them (9.999995e-5 and its kind), a few ulps each way.
  for (int power = -325; power <= 308; ++power) {
    for (const char* mantissa : {"1", "9.999995", "9.9999949999999", "9.99999500000001", "5"}) {
      const std::string text = std::string(mantissa) + "e" + std::to_string(power);
      add_with_neighbours(std::strtod(text.c_str(), nullptr), 4);
    }
  }
  // Random values near powers of ten.
  std::uniform_real_distribution<double> near_one(0.98, 1.02);
  std::uniform_int_distribution<int> power(-40, 40);
  for (int count = 0; count < 20000; ++count) {
    add_with_sign(near_one(generator) * std::pow(10.0, power(generator)));
  }
  // Exact ties at six significant digits: a seven-digit integer N ending in 5, times 10^j. For
  // j >= 0 the value is N * 5^j * 2^j; for j < 0 it is representable only when N = c * 5^-j, and
  // then equals c * 2^j with c odd.
  std::uniform_int_distribution<std::uint64_t> six_digits(100000, 999999);
  for (int count = 0; count < 20000; ++count) {
    const int decimal_power = static_cast<int>(generator() % 23);
    const std::uint64_t tie = six_digits(generator) * 10 + 5;
    std::uint64_t integer = tie;
    for (int factor = 0; factor < decimal_power && integer < (std::uint64_t{1} << 50); ++factor) {
      integer *= 5;
    }
    if (integer < (std::uint64_t{1} << 53)) {
      add_with_neighbours(std::ldexp(static_cast<double>(integer), decimal_power), 1);
    }
  }
  for (int halvings = 1; halvings <= 10; ++halvings) {
    const std::uint64_t five_power = static_cast<std::uint64_t>(std::pow(5.0, halvings));
    for (std::uint64_t odd = 1; odd * five_power < 10000000; odd += 2) {
      if (odd * five_power >= 1000000 && (odd % 97 == 1 || halvings > 6)) {
        add_with_neighbours(std::ldexp(static_cast<double>(odd), -halvings), 1);
      }
    }
  }
  return values;
}

TEST(FixedFormat, AgreesWithPrintfOnDifficultValues) {
  const std::vector<double> values = difficult_values();
  ASSERT_GT(values.size(), 250000u);
  int mismatches = 0;
  for (const double value : values) {
    const std::string expected = printf_e13_5(value);
    const std::string fast = formatted(format_e13_5, value);
    const std::string exact = formatted(format_e13_5_exact, value);
    if (fast != expected || exact != expected) {
      ADD_FAILURE() << hex(value) << ": printf \"" << expected << "\", fast \"" << fast
                    << "\", exact \"" << exact << "\"";
      if (++mismatches == 20) {
        return;
      }
    }
  }
}

// Sets flush-to-zero and denormals-are-zero for its lifetime; false where the target has no such
// control.
class FlushingSubnormals {
 public:
#if defined(__x86_64__) || defined(__i386__)
  FlushingSubnormals() : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | 0x8040);
  }
  ~FlushingSubnormals() {
    _mm_setcsr(saved_);
  }
  static constexpr bool available = true;

 private:
  unsigned saved_;
#elif defined(__aarch64__)
  FlushingSubnormals() : saved_(__builtin_aarch64_get_fpcr64()) {
    __builtin_aarch64_set_fpcr64(saved_ | (std::uint64_t{1} << 24));
  }
  ~FlushingSubnormals() {
    __builtin_aarch64_set_fpcr64(saved_);
  }
  static constexpr bool available = true;

 private:
  std::uint64_t saved_;
#else
  static constexpr bool available = false;
#endif
};

TEST(FixedFormat, IgnoresTheFloatingPointEnvironment) {
  std::vector<double> values = difficult_values();
  values.resize(120000);
  std::vector<std::string> expected;
  expected.reserve(values.size());
  for (const double value : values) {
    expected.push_back(printf_e13_5(value));
  }
  std::vector<std::string> flushed(values.size(), std::string(e13_5_width, ' '));
  if constexpr (FlushingSubnormals::available) {
    const FlushingSubnormals flushing;
    // A subnormal compares equal to zero only while the flags are set.
    volatile double subnormal = 4.9e-324;
    EXPECT_TRUE(subnormal == 0.0);
    for (std::size_t index = 0; index < values.size(); ++index) {
      format_e13_5(values[index], flushed[index].data());
    }
  }
  const int saved_rounding = std::fegetround();
  std::vector<std::vector<std::string>> rounded;
  for (const int rounding : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    std::fesetround(rounding);
    auto& results = rounded.emplace_back(values.size(), std::string(e13_5_width, ' '));
    for (std::size_t index = 0; index < values.size(); ++index) {
      format_e13_5(values[index], results[index].data());
    }
  }
  std::fesetround(saved_rounding);

  int mismatches = 0;
  for (std::size_t index = 0; index < values.size() && mismatches < 20; ++index) {
    if (FlushingSubnormals::available && flushed[index] != expected[index]) {
      ++mismatches;
      ADD_FAILURE() << hex(values[index]) << " with subnormals flushed: \"" << flushed[index]
                    << "\", printf \"" << expected[index] << "\"";
    }
    for (const auto& results : rounded) {
      if (results[index] != expected[index]) {
        ++mismatches;
        ADD_FAILURE() << hex(values[index]) << " in a directed rounding mode: \"" << results[index]
                      << "\", printf \"" << expected[index] << "\"";
      }
    }
  }
}

}  // namespace
}  // namespace quelby
