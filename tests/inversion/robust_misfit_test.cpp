// The robust data misfit against its definition: the weights and threshold, the readings left
// out; the reported misfit of Gaussian residuals, which must average the number of data as the
// least-squares misfit does, stay far above it for residuals ten times too large whatever the
// threshold, and not count spoiled readings; and the threshold's range.
#include "quelby/inversion/robust_misfit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace quelby {
namespace {

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
  double weighted = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const double distance = std::abs(r[i] - 0.5);
    const double w = distance > 2 ? 2 / distance : 1.0;
    EXPECT_DOUBLE_EQ(robust.weights[i], w) << i;
    weighted += w * r[i] * r[i];
  }
  EXPECT_DOUBLE_EQ(weighted_misfit(r, robust), weighted);
  // A twentieth of 9 readings is none: 40 and -300 count.
  EXPECT_EQ(reported_misfit(r, robust, 2), squares);
  // A model too high everywhere: the readings are weighed alike about their median.
  const std::vector<double> offset = {30.2, 29.5, 30.9, 31, 29.8};
  EXPECT_EQ(data_weights(offset, true, 2).down_weighted, 0u);

  // Of 40 readings at most two are left out: the farthest beyond max(t, 4), the earlier of a tie;
  // the sum of the others counts for all 40.
  struct Case {
    double threshold;
    std::vector<std::pair<std::size_t, double>> far;  // positions and residuals; the rest 0.5
    std::vector<std::size_t> left_out;
  };
  const std::vector<std::pair<std::size_t, double>> five = {
      {3, 5}, {7, -9}, {11, 9}, {20, 4}, {30, 3.5}};
  for (const Case& c : {Case{1.5, five, {7, 11}}, Case{0.1, five, {7, 11}},
                        Case{8.9, five, {7, 11}}, Case{9, five, {}}, Case{4.5, five, {7, 11}},
                        Case{1.5, {{3, 5}, {11, 6}}, {3, 11}}, Case{1.5, {{3, 5}}, {3}},
                        Case{1.5, {{3, 9}, {7, -9}, {11, 9}}, {3, 7}}, Case{1.5, {}, {}}}) {
    std::vector<double> many(40, 0.5);
    for (const auto& [position, value] : c.far) many[position] = value;
    double kept = 0, count = 0;
    for (std::size_t i = 0; i < many.size(); ++i) {
      if (std::find(c.left_out.begin(), c.left_out.end(), i) != c.left_out.end()) continue;
      kept += many[i] * many[i];
      ++count;
    }
    EXPECT_DOUBLE_EQ(reported_misfit(many, data_weights(many, true, c.threshold), c.threshold),
                     kept * 40 / count)
        << c.threshold << " " << c.far.size();
  }
}

TEST(RobustMisfit, GaussianResidualsCountAsTheirNumberUnderFittedOnesFarMoreSpoiledOnesNothing) {
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal(0, 1);
  for (const double t : {0.1, 0.5, 1.5, 3.0, 100.0}) {
    std::vector<double> r(200000);
    for (double& value : r) value = normal(random);
    const double n = static_cast<double>(r.size());
    const double fitted = reported_misfit(r, data_weights(r, true, t), t);
    EXPECT_NEAR(fitted / n, 1, 0.01) << t;
    // An under-fitted model, residuals ten times too large: far from the target, whatever the
    // threshold (least squares of its best 95 %: 76 per datum).
    std::vector<double> larger(r);
    for (double& value : larger) value *= 10;
    EXPECT_GT(reported_misfit(larger, data_weights(larger, true, t), t), 50 * n) << t;
    // Ten spoiled readings count nothing, whatever their size.
    const auto spoil = [&](double size) {
      std::vector<double> spoiled(r);
      for (int k = 0; k < 10; ++k) spoiled[static_cast<std::size_t>(k)] = size * (k % 2 ? 1 : -1);
      return reported_misfit(spoiled, data_weights(spoiled, true, t), t);
    };
    EXPECT_NEAR(spoil(1e6) / fitted, 1, 1e-3) << t;
    EXPECT_EQ(spoil(1e6), spoil(1e3)) << t;
  }
}

TEST(RobustMisfit, TheThresholdsRange) {
  EXPECT_EQ(robust_threshold_range(), "from 0.1 to 100 standard deviations");
  struct Case {
    double t;
    bool sound;
  };
  for (const Case c :
       {Case{0.1, true}, Case{1.5, true}, Case{100, true}, Case{0.0999, false}, Case{100.5, false},
        Case{0.001, false}, Case{1e-9, false}, Case{0, false}, Case{-1.5, false},
        Case{1e154, false}, Case{std::numeric_limits<double>::infinity(), false},
        Case{std::numeric_limits<double>::quiet_NaN(), false}}) {
    EXPECT_EQ(sound_robust_threshold(c.t), c.sound) << c.t;
  }
}

}  // namespace
}  // namespace quelby
