// The error models fitted to reciprocal pairs (exact data of each model give it back and keep it),
// the pairing of normal and reciprocal data in either polarity, and the averaging of duplicates.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "quelby/fielddata/reciprocal_errors.hpp"

namespace quelby {
namespace {

FieldDatum datum(double a, double b, double m, double n, double resistance, std::size_t line) {
  FieldDatum d;
  d.a = a, d.b = b, d.m = m, d.n = n, d.resistance = resistance, d.line = line;
  return d;
}

// |R| from 0.01 to 100 ohms, 200 pairs, log-spaced.
std::vector<double> magnitudes() {
  std::vector<double> values;
  for (int k = 0; k < 200; ++k) values.push_back(0.01 * std::pow(10.0, 4.0 * k / 199));
  return values;
}

TEST(ErrorModels, ExactErrorsOfEitherModelGiveItBackAndKeepIt) {
  const auto r = magnitudes();
  std::vector<double> linear, power;
  for (const double value : r) {
    linear.push_back(0.002 + 0.03 * value);
    power.push_back(0.05 * std::pow(value, 0.8));
  }
  const ErrorFit straight = fit_error_models(r, linear, r);
  ASSERT_TRUE(straight.kept.usable);
  EXPECT_EQ(straight.kept.kind, ErrorModel::Kind::linear);
  EXPECT_NEAR(straight.kept.a, 0.002, 1e-12);
  EXPECT_NEAR(straight.kept.b, 0.03, 1e-12);
  EXPECT_LT(straight.linear.misfit, 1e-10);
  EXPECT_EQ(straight.bin_magnitude.size(), 20u);
  EXPECT_EQ(straight.per_bin, 10u);

  const ErrorFit curved = fit_error_models(r, power, r);
  ASSERT_TRUE(curved.kept.usable);
  EXPECT_EQ(curved.kept.kind, ErrorModel::Kind::power);
  // Bins average a curved law: the fit is close, not exact.
  EXPECT_NEAR(curved.kept.b, 0.8, 0.01);
  EXPECT_NEAR(curved.kept.a, 0.05, 0.002);
  EXPECT_LT(curved.power.misfit, curved.linear.misfit);
  // The kept model is evaluated as its formula says.
  EXPECT_DOUBLE_EQ(curved.kept(4.0), curved.kept.a * std::pow(4.0, curved.kept.b));
}

TEST(ErrorModels, AModelThatGivesADatumNoPositiveDeviationIsNotKept) {
  // Errors falling with |R| (as chargeability errors do): a straight line reaches 0 before the
  // largest datum, the power law stays positive.
  const auto r = magnitudes();
  std::vector<double> falling;
  for (const double value : r) falling.push_back(2.0 * std::pow(value, -0.3));
  const ErrorFit fit = fit_error_models(r, falling, r);
  EXPECT_FALSE(fit.linear.usable);
  ASSERT_TRUE(fit.power.usable);
  EXPECT_EQ(fit.kept.kind, ErrorModel::Kind::power);
  EXPECT_NEAR(fit.kept.b, -0.3, 0.01);

  // Errors whose straight line would cross zero above the smallest datum: the line through the
  // origin instead, still usable.
  std::vector<double> offset;
  for (const double value : r) offset.push_back(0.03 * value - 0.0002);
  const ErrorFit through = fit_error_models(r, offset, r);
  ASSERT_TRUE(through.linear.usable);
  EXPECT_EQ(through.linear.a, 0.0);
  EXPECT_NEAR(through.linear.b, 0.03, 1e-4);

  // Too few pairs, or errors that are all zero: nothing to keep.
  EXPECT_FALSE(fit_error_models(std::vector<double>{1, 2, 3}, std::vector<double>{1, 1, 1},
                                std::vector<double>{1, 2, 3})
                   .kept.usable);
  const std::vector<double> zeros(r.size(), 0.0);
  EXPECT_FALSE(fit_error_models(r, zeros, r).kept.usable);
}

TEST(ReciprocalPairs, PairsEitherPolarityTakesTheMeanAndKeepsTheUnpaired) {
  std::vector<FieldDatum> data = {
      datum(0, 1, 3, 4, -2.0, 2),   // normal
      datum(1, 2, 4, 5, -3.0, 3),   // normal, reciprocal below with both pairs reversed
      datum(3, 4, 0, 1, -2.2, 4),   // reciprocal of line 2
      datum(2, 3, 5, 6, 1.5, 5),    // no reciprocal
      datum(5, 4, 2, 1, -3.4, 6),   // reciprocal of line 3: (4,5) reversed, (1,2) reversed
      datum(7, 6, 9, 10, 0.5, 7),   // current pair reversed...
      datum(10, 9, 6, 7, 0.7, 8)};  // ...reciprocal with the potential pair reversed: R = -0.7
  pair_reciprocals(data);
  ASSERT_EQ(data.size(), 4u);
  EXPECT_DOUBLE_EQ(data[0].resistance, -2.1);
  EXPECT_NEAR(data[0].reciprocal_error, 0.2, 1e-15);
  EXPECT_EQ(data[0].reciprocal_line, 4u);
  EXPECT_EQ(data[0].readings, 2u);
  EXPECT_DOUBLE_EQ(data[1].resistance, -3.2);
  EXPECT_NEAR(data[1].reciprocal_error, 0.4, 1e-15);
  EXPECT_EQ(data[1].reciprocal_line, 6u);
  EXPECT_EQ(data[2].line, 5u);
  EXPECT_EQ(data[2].reciprocal_line, 0u);
  EXPECT_TRUE(std::isnan(data[2].reciprocal_error));
  // (7,6 | 9,10) oriented is -(6,7 | 9,10) = -0.5; (10,9 | 6,7) oriented is -(9,10 | 6,7) = -0.7:
  // the mean -0.6 in line 7's own polarity is 0.6.
  EXPECT_DOUBLE_EQ(data[3].resistance, 0.6);
  EXPECT_NEAR(data[3].reciprocal_error, 0.2, 1e-15);
}

TEST(Duplicates, AveragesTheSameElectrodesInEitherPolarity) {
  std::vector<FieldDatum> data = {datum(0, 1, 3, 4, 1.0, 2), datum(2, 3, 5, 6, 4.0, 3),
                                  datum(1, 0, 3, 4, -1.2, 4), datum(0, 1, 4, 3, -1.1, 5)};
  data[0].std = 0.3, data[2].std = 0.4, data[3].std = 1.2;
  data[0].chargeability = 5, data[2].chargeability = 7;
  data[0].current = 0.1, data[2].current = 0.2, data[3].current = 0.3;
  EXPECT_EQ(average_duplicates(data), 2u);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_DOUBLE_EQ(data[0].resistance, (1.0 + 1.2 + 1.1) / 3);
  EXPECT_EQ(data[0].readings, 3u);
  EXPECT_DOUBLE_EQ(data[0].std, std::sqrt(0.09 + 0.16 + 1.44) / 3);
  EXPECT_DOUBLE_EQ(data[0].chargeability, 6);
  EXPECT_DOUBLE_EQ(data[0].current, 0.2);
  EXPECT_EQ(data[0].line, 2u);
  EXPECT_EQ(data[1].resistance, 4.0);
  EXPECT_EQ(data[1].readings, 1u);
}

}  // namespace
}  // namespace quelby
