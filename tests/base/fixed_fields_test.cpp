#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "quelby/base/fixed_format.hpp"

namespace quelby {
namespace {

std::string exponent_field(const double value, const int width, const int decimals) {
  std::string buffer(static_cast<std::size_t>(width) + 2, '#');
  format_exponent(value, width, decimals, buffer.data());
  EXPECT_EQ(buffer.substr(static_cast<std::size_t>(width)), "##") << "wrote past the field";
  return buffer.substr(0, static_cast<std::size_t>(width));
}

std::string integer_field(const std::int64_t value, const int width) {
  std::string buffer(static_cast<std::size_t>(width) + 2, '#');
  format_integer(value, width, buffer.data());
  EXPECT_EQ(buffer.substr(static_cast<std::size_t>(width)), "##") << "wrote past the field";
  return buffer.substr(0, static_cast<std::size_t>(width));
}

// printf's %.*E laid out as the field: a three-digit exponent drops the letter.
std::string printf_field(const double value, const int width, const int decimals) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%.*E", decimals, value);
  std::string body = text.data();
  if (const std::size_t letter = body.find('E'); body.size() - letter == 5) body.erase(letter, 1);
  if (body.size() > static_cast<std::size_t>(width)) return std::string(width, '*');
  return std::string(static_cast<std::size_t>(width) - body.size(), ' ') + body;
}

TEST(FixedFields, WritesExponentFieldsOfAnyWidth) {
  constexpr double infinity = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    int width;
    int decimals;
    const char* expected;
  } cases[] = {
      {40, 12, 5, " 4.00000E+01"},
      {6.25E-4, 12, 5, " 6.25000E-04"},
      {1, 11, 4, " 1.0000E+00"},
      {0.25, 11, 4, " 2.5000E-01"},
      {-0.25, 11, 4, "-2.5000E-01"},
      {0, 12, 5, " 0.00000E+00"},
      {1E-120, 12, 5, " 1.00000-120"},
      {-1E+300, 12, 5, "-1.00000+300"},
      {1.5E+200, 11, 4, " 1.5000+200"},
      {9.99995E+99, 11, 4, " 1.0000+100"},  // rounding carries into a third exponent digit
      {123.456, 5, 5, "*****"},
      {infinity, 12, 5, "    Infinity"},
      {-infinity, 11, 4, "  -Infinity"},
      {infinity, 5, 2, "  Inf"},
      {std::numeric_limits<double>::quiet_NaN(), 11, 4, "        NaN"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exponent_field(c.value, c.width, c.decimals), c.expected) << c.value;
  }
}

TEST(FixedFields, ExponentFieldsAgreeWithPrintf) {
  std::mt19937_64 generator(8);
  std::uniform_int_distribution<int> exponent(-320, 320);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  for (int n = 0; n < 20000; ++n) {
    double value = mantissa(generator) * std::pow(10.0, exponent(generator));
    if (!std::isfinite(value)) continue;
    if ((generator() & 1) != 0) value = -value;
    for (const auto& [width, decimals] : {std::pair{12, 5}, std::pair{11, 4}, std::pair{13, 5}}) {
      ASSERT_EQ(exponent_field(value, width, decimals), printf_field(value, width, decimals))
          << value;
    }
  }
}

TEST(FixedFields, WritesIntegersOfAnyWidth) {
  const struct {
    std::int64_t value;
    int width;
    const char* expected;
  } cases[] = {{6, 6, "     6"},      {1000000, 6, "******"}, {999999, 6, "999999"},
               {-99999, 6, "-99999"}, {-100000, 6, "******"}, {0, 1, "0"},
               {12, 5, "   12"},      {100000, 5, "*****"}};
  for (const auto& c : cases) EXPECT_EQ(integer_field(c.value, c.width), c.expected);
}

}  // namespace
}  // namespace quelby
