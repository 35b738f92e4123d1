// The transform rule against the integral it stands for: sum_j w_j K0(k_j r) = pi / (2 r), checked
// at distances the fit never saw, and the Bessel functions against tabulated values.
#include "quelby/forward/wavenumbers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace quelby {
namespace {

TEST(Wavenumbers, BesselFunctionsMatchTablesAndTheRatioStaysFiniteFarOut) {
  // K0 and K1 at 0.1, 1 and 5 (Abramowitz and Stegun, table 9.8, to 10 digits).
  EXPECT_NEAR(bessel_k0(0.1), 2.4270690247, 1e-9);
  EXPECT_NEAR(bessel_k0(1.0), 0.4210244382, 1e-10);
  EXPECT_NEAR(bessel_k0(5.0), 0.003691098334, 1e-12);
  EXPECT_NEAR(bessel_k1_over_k0(1.0), 0.6019072302 / 0.4210244382, 1e-9);
  EXPECT_NEAR(bessel_k1_over_k0(5.0), 0.004044613445 / 0.003691098334, 1e-9);
  // The series takes over at 500: both sides agree, and it tends to 1 + 1 / (2x).
  EXPECT_NEAR(
      bessel_k1_over_k0(500.0) / (std::cyl_bessel_k(1.0, 500.0) / std::cyl_bessel_k(0.0, 500.0)), 1,
      1e-12);
  EXPECT_NEAR(bessel_k1_over_k0(1e6), 1 + 0.5e-6, 1e-12);
  EXPECT_TRUE(std::isfinite(bessel_k1_over_k0(1e5)));
}

double worst_pole_error(const WavenumberRule& rule, double r_min, double r_max) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> log_r(std::log(r_min), std::log(r_max));
  double worst = 0;
  for (int sample = 0; sample < 3000; ++sample) {
    const double r = std::exp(log_r(random));
    double sum = 0;
    for (std::size_t j = 0; j < rule.k.size(); ++j)
      sum += rule.weight[j] * bessel_k0(rule.k[j] * r);
    worst = std::max(worst, std::abs(sum / (std::numbers::pi / (2 * r)) - 1));
  }
  return worst;
}

TEST(Wavenumbers, TheAutomaticRuleMeetsItsToleranceOverEveryRange) {
  for (const double ratio : {10.0, 100.0, 1000.0, 30000.0}) {
    const WavenumberRule rule = design_wavenumber_rule(0.5, 0.5 * ratio, {});
    const double worst = worst_pole_error(rule, 0.5, 0.5 * ratio);
    EXPECT_LE(worst, rule_pole_tolerance * 1.05) << "range " << ratio;
    EXPECT_NEAR(worst, rule.pole_error, 0.2 * rule.pole_error + 1e-6) << "range " << ratio;
    EXPECT_LE(rule.k.size(), 30u);
    EXPECT_TRUE(std::is_sorted(rule.k.begin(), rule.k.end()));
  }
}

TEST(Wavenumbers, DataKernelsAreFittedToTheirTolerance) {
  // Dipole-dipole, a = 5 m, n = 1..8: four pole terms each, nearly cancelling at large n.
  std::vector<DatumKernel> data;
  for (int n = 1; n <= 8; ++n) {
    const double a = 5;
    data.push_back({{1, n * a}, {-1, (n + 1) * a}, {-1, (n + 1) * a}, {1, (n + 2) * a}});
  }
  const WavenumberRule rule = design_wavenumber_rule(1.25, 2000, data);
  EXPECT_LE(rule.data_error, rule_data_tolerance);
  EXPECT_LE(rule.pole_error, rule_pole_tolerance * 1.05);
  for (const DatumKernel& kernel : data) {
    double sum = 0, exact = 0;
    for (const TransformTerm& term : kernel) {
      for (std::size_t j = 0; j < rule.k.size(); ++j)
        sum += term.coefficient * rule.weight[j] * bessel_k0(rule.k[j] * term.distance);
      exact += term.coefficient * std::numbers::pi / (2 * term.distance);
    }
    EXPECT_NEAR(sum / exact, 1, rule_data_tolerance * 1.001);
  }
  // A fixed count is kept, and more wavenumbers fit better.
  const WavenumberRule few = design_wavenumber_rule(1.25, 2000, data, 8);
  EXPECT_EQ(few.k.size(), 8u);
  EXPECT_GT(few.data_error, rule.data_error);
}

// The transform of a Wenner datum over two layers (h thick, reflection coefficient k) by images:
// each term c K0(k r) of the datum gains 2 sum_n k^n c K0(k sqrt(r^2 + (2nh)^2)); its exact value
// puts pi / (2 distance) for each K0.
double layered_wenner_error(const WavenumberRule& rule, double a, double h, double reflection) {
  const TransformTerm terms[4] = {{2, a}, {-2, 2 * a}, {-2, 2 * a}, {2, a}};
  double transformed = 0, exact = 0;
  for (const TransformTerm& term : terms) {
    double power = 1;
    for (int n = 0; n < 400; ++n) {
      const double factor = (n == 0 ? 1 : 2) * power * term.coefficient;
      const double r = std::hypot(term.distance, 2 * n * h);
      for (std::size_t j = 0; j < rule.k.size(); ++j)
        transformed += factor * rule.weight[j] * bessel_k0(rule.k[j] * r);
      exact += factor * std::numbers::pi / (2 * r);
      power *= reflection;
    }
  }
  return std::abs(transformed / exact - 1);
}

TEST(Wavenumbers, LayeredDataAreTransformedAsWellAsTheirOwnKernels) {
  // The rule sees only the survey's own distances; the data over layers combine the same terms at
  // the distances of their images, and must come out to the data tolerance too.
  std::vector<DatumKernel> data;
  const std::vector<double> spacings = {1, 2, 4, 8, 16, 32};
  for (const double a : spacings) data.push_back({{2, a}, {-2, 2 * a}, {-2, 2 * a}, {2, a}});
  const WavenumberRule rule = design_wavenumber_rule(0.25, 1700, data);
  for (const double a : spacings) {
    for (const double h : {0.5, 2.0, 5.0, 20.0}) {
      for (const double reflection : {-0.818, -0.5, 0.5, 0.818}) {
        EXPECT_LT(layered_wenner_error(rule, a, h, reflection), 4 * rule_data_tolerance)
            << "a " << a << " h " << h << " k " << reflection;
      }
    }
  }
}

TEST(Wavenumbers, ARuleOverTenDecadesOfDistanceIsBuiltAndMeasured) {
  // Electrodes 1 mm apart on a mesh reaching 3000 km: K0 of arguments up to 1e10 and beyond.
  const WavenumberRule rule = design_wavenumber_rule(2.5e-4, 3e6, {});
  ASSERT_FALSE(rule.k.empty());
  for (std::size_t j = 0; j < rule.k.size(); ++j) {
    EXPECT_TRUE(std::isfinite(rule.k[j]) && std::isfinite(rule.weight[j])) << j;
  }
  EXPECT_TRUE(std::isfinite(rule.pole_error));
  EXPECT_NEAR(worst_pole_error(rule, 2.5e-4, 3e6), rule.pole_error, 0.2 * rule.pole_error + 1e-6);
  EXPECT_LT(rule.pole_error, 1e-3);
}

}  // namespace
}  // namespace quelby
