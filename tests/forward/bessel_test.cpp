// K0 and K1 against values derived here, in long double, by other means than the module's: the
// power series of K0, K1, I0 and I1 (A&S 9.6.10-13) up to x = 8, the Wronskian
// I0 K1 + I1 K0 = 1/x with I0 and I1 from their series of positive terms up to x = 700, and the
// asymptotic series (A&S 9.7.2) from x = 20 to the largest double; tabulated values besides.
#include "quelby/forward/bessel.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace quelby {
namespace {

using Long = long double;

struct Series {
  Long i0 = 0, i1 = 0, k0 = 0, k1 = 0;
};

// I0, I1, K0, K1 by their power series about 0, in long double (K0 and K1 cancel e^(2x) here, so
// they are good to about 1e-12 up to x = 8).
Series power_series(Long x) {
  const Long y = x * x / 4;
  Long term0 = 1, term1 = 1, harmonic = 0;
  Series s;
  Long k0_sum = 0, k1_sum = 0;
  for (int k = 0; k < 5000; ++k) {
    const Long next = harmonic + Long{1} / (k + 1);
    s.i0 += term0;
    s.i1 += term1;
    k0_sum += harmonic * term0;
    k1_sum += (harmonic + next) * term1;
    harmonic = next;
    term0 *= y / ((k + Long{1}) * (k + 1));
    term1 *= y / ((k + Long{1}) * (k + 2));
    if (term0 < 1e-22L * s.i0 && k > 2 * x) break;
  }
  s.i1 *= x / 2;
  const Long logarithm = std::log(x / 2) + Long{0.577215664901532860606512090082402431L};
  s.k0 = -logarithm * s.i0 + k0_sum;
  s.k1 = 1 / x + logarithm * s.i1 - x / 4 * k1_sum;
  return s;
}

// e^x K0 and e^x K1 by the asymptotic series, summed to the smallest term.
std::pair<Long, Long> asymptotic(Long x) {
  const Long scale = std::sqrt(std::numbers::pi_v<Long> / 2) / std::sqrt(x);
  Long k0 = 1, k1 = 1, term0 = 1, term1 = 1;
  for (int k = 1; k < 400; ++k) {
    const Long odd = 2 * k - 1;
    const Long next0 = term0 * (-odd * odd) / (8 * k * x);
    const Long next1 = term1 * (4 - odd * odd) / (8 * k * x);
    if (std::abs(next0) > std::abs(term0)) break;
    term0 = next0;
    term1 = next1;
    k0 += term0;
    k1 += term1;
  }
  return {scale * k0, scale * k1};
}

TEST(Bessel, MatchesTheirPowerSeriesUpToEight) {
  for (double lx = -8; lx <= std::log10(8.0); lx += 0.01) {
    const double x = std::pow(10.0, lx);
    const Series s = power_series(x);
    const ScaledBesselK k = scaled_bessel_k(x);
    const Long grow = std::exp(Long{x});
    EXPECT_NEAR(k.k0 / static_cast<double>(s.k0 * grow), 1, 2e-12) << "x = " << x;
    EXPECT_NEAR(k.k1 / static_cast<double>(s.k1 * grow), 1, 2e-12) << "x = " << x;
    EXPECT_NEAR(bessel_k0(x) / static_cast<double>(s.k0), 1, 2e-12) << "x = " << x;
    EXPECT_NEAR(bessel_k1_over_k0(x) / static_cast<double>(s.k1 / s.k0), 1, 2e-12) << "x = " << x;
  }
}

TEST(Bessel, SatisfyTheWronskianWithTheFunctionsOfTheFirstKind) {
  // I0 K1 + I1 K0 = 1/x, the I's from sums of positive terms, scaled by e^-x against e^x K.
  for (double lx = -6; lx <= std::log10(700.0); lx += 0.005) {
    const double x = std::pow(10.0, lx);
    const Series s = power_series(x);
    const ScaledBesselK k = scaled_bessel_k(x);
    const Long shrink = std::exp(-Long{x});
    const Long wronskian = s.i0 * shrink * k.k1 + s.i1 * shrink * k.k0;
    EXPECT_NEAR(static_cast<double>(wronskian * x), 1, 1e-14) << "x = " << x;
  }
}

TEST(Bessel, MatchTheAsymptoticSeriesFromTwentyToTheLargestDouble) {
  for (double lx = std::log10(20.0); lx <= 308; lx += 0.01) {
    const double x = std::pow(10.0, lx);
    const auto [k0, k1] = asymptotic(x);
    const ScaledBesselK k = scaled_bessel_k(x);
    EXPECT_NEAR(k.k0 / static_cast<double>(k0), 1, 1e-14) << "x = " << x;
    EXPECT_NEAR(k.k1 / static_cast<double>(k1), 1, 1e-14) << "x = " << x;
    EXPECT_NEAR(bessel_k1_over_k0(x) / static_cast<double>(k1 / k0), 1, 1e-14) << "x = " << x;
  }
}

TEST(Bessel, MatchTablesNeverThrowAndStayFiniteFarOut) {
  // Abramowitz and Stegun, table 9.8, to 10 digits.
  EXPECT_NEAR(bessel_k0(0.1), 2.4270690247, 1e-9);
  EXPECT_NEAR(bessel_k0(1.0), 0.4210244382, 1e-10);
  EXPECT_NEAR(bessel_k0(5.0), 0.003691098334, 1e-12);
  EXPECT_NEAR(bessel_k1_over_k0(1.0), 0.6019072302 / 0.4210244382, 1e-9);
  EXPECT_NEAR(bessel_k1_over_k0(5.0), 0.004044613445 / 0.003691098334, 1e-9);
  // Where K0 underflows it is 0, and the ratio follows its own asymptotic series in t = 1/x.
  for (const double x : {746.0, 1e4, 3e6, 1e12, 1e200, std::numeric_limits<double>::max()}) {
    EXPECT_EQ(bessel_k0(x), 0.0) << x;
    const double t = 1 / x;
    EXPECT_NEAR(bessel_k1_over_k0(x), 1 + t * (0.5 + t * (-0.125 + t * (0.125 - t * 25 / 128))),
                5e-15)
        << x;
  }
  // Near 0: K0 ~ -ln(x/2) - gamma, K1 ~ 1/x.
  EXPECT_NEAR(bessel_k0(1e-300), -std::log(0.5e-300) - std::numbers::egamma, 1e-12);
  EXPECT_NEAR(scaled_bessel_k(1e-300).k1 * 1e-300, 1, 1e-15);
  EXPECT_TRUE(std::isnan(scaled_bessel_k(0).k0));
  EXPECT_TRUE(std::isnan(scaled_bessel_k(-1).k1));
}

}  // namespace
}  // namespace quelby
