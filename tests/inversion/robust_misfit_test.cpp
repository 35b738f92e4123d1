// The robust data misfit against independent computations: the expectation of the capped square
// by quadrature, the weights and threshold from their definition, and the reported misfit of
// Gaussian residuals, which must average the number of data as the least-squares misfit does.
#include "quelby/inversion/robust_misfit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace quelby {
namespace {

TEST(RobustMisfit, CappedSquareExpectationMatchesQuadrature) {
  for (const double c : {0.5, 1.0, 1.345, 2.0, 3.0, 6.0}) {
    // Midpoint rule of 2 * int_0^8 min(r^2, c^2) phi(r) dr.
    double sum = 0;
    const int steps = 400000;
    const double h = 8.0 / steps;
    for (int k = 0; k < steps; ++k) {
      const double r = (k + 0.5) * h;
      sum += std::min(r * r, c * c) * std::exp(-r * r / 2) / std::sqrt(2 * std::numbers::pi);
    }
    EXPECT_NEAR(capped_square_expectation(c), 2 * sum * h, 1e-9) << c;
  }
  EXPECT_NEAR(capped_square_expectation(30), 1, 1e-12);
}

TEST(RobustMisfit, WeightsThresholdAndMeasures) {
  // Residuals: a bulk about their median 0.5 and two that stand far out.
  const std::vector<double> r = {0.5, -1, 1.5, 0.2, -0.7, 40, -300, 1.1, 0.9};
  const DataWeights least = data_weights(r, false, 2);
  EXPECT_TRUE(std::isinf(least.threshold));
  EXPECT_EQ(least.down_weighted, 0u);
  double squares = 0;
  for (const double value : r) squares += value * value;
  EXPECT_EQ(reported_misfit(r, least, 2), squares);
  EXPECT_EQ(weighted_misfit(r, least), squares);

  const DataWeights robust = data_weights(r, true, 2);
  EXPECT_EQ(robust.centre, 0.5);  // the median
  EXPECT_EQ(robust.threshold, 2);
  EXPECT_EQ(robust.down_weighted, 2u);
  double capped = 0, weighted = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const double distance = std::abs(r[i] - 0.5);
    const double w = distance > 2 ? 2 / distance : 1.0;
    EXPECT_DOUBLE_EQ(robust.weights[i], w) << i;
    capped += std::min(r[i] * r[i], 4.0);
    weighted += w * r[i] * r[i];
  }
  EXPECT_DOUBLE_EQ(reported_misfit(r, robust, 2), capped / capped_square_expectation(2));
  EXPECT_DOUBLE_EQ(weighted_misfit(r, robust), weighted);
  // A model too high everywhere: the readings are weighed alike about their median.
  const std::vector<double> offset = {30.2, 29.5, 30.9, 31, 29.8};
  EXPECT_EQ(data_weights(offset, true, 2).down_weighted, 0u);
}

TEST(RobustMisfit, GaussianResidualsAverageTheirCountAndSpoiledOnesCountAtTheThreshold) {
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal(0, 1);
  for (const double c : {1.5, 2.0, 3.0}) {
    std::vector<double> r(200000);
    for (double& value : r) value = normal(random);
    const DataWeights weights = data_weights(r, true, c);
    EXPECT_NEAR(weights.centre, 0, 0.01);
    const double n = static_cast<double>(r.size());
    EXPECT_NEAR(reported_misfit(r, weights, c) / n, 1, 0.01) << c;
    // Ten spoiled readings add at most ten thresholds squared, whatever their size.
    const double before = reported_misfit(r, weights, c);
    for (int k = 0; k < 10; ++k) r[static_cast<std::size_t>(k)] = 1e6 * (k % 2 ? 1 : -1);
    const DataWeights spoiled = data_weights(r, true, c);
    EXPECT_LE(reported_misfit(r, spoiled, c) - before,
              10 * spoiled.threshold * spoiled.threshold / capped_square_expectation(c));
  }
}

}  // namespace
}  // namespace quelby
