// The plausibility checks of imported data: Edwards' median depths of the common arrays, the local
// median test on synthetic surveys over a half-space (clean, with spoiled readings, with a faulty
// electrode), and the checks of standard deviations, negative values and geometric factors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "quelby/fielddata/field_checks.hpp"
#include "quelby/fielddata/import_log.hpp"

namespace quelby {
namespace {

// K of four surface electrodes, a pole's missing electrode (B = A, N = M) left out.
double flat_factor(double a, double b, double m, double n) {
  double sum = 1 / std::abs(a - m);
  if (n != m) sum -= 1 / std::abs(a - n);
  if (b != a) sum -= 1 / std::abs(b - m);
  if (b != a && n != m) sum += 1 / std::abs(b - n);
  return 2 * std::numbers::pi / sum;
}

FieldDatum datum(double a, double b, double m, double n, double rho, std::size_t line) {
  FieldDatum d;
  d.a = a, d.b = b, d.m = m, d.n = n, d.line = line;
  d.geometric_factor = flat_factor(a, b, m, n);
  d.resistance = rho / d.geometric_factor;
  return d;
}

// Deviates uniform in [-1, 1] from the raw output of a fixed mt19937 (whose sequence the standard
// fixes): noise with a bound, so that no reading of a clean survey is an outlier by chance.
struct Noise {
  std::mt19937 engine{20240517};
  double deviate() { return (static_cast<double>(engine()) + 0.5) / 2147483648.0 - 1; }
};

// Dipole-dipole (a = 1 spacing, n = 1..6), Wenner (a = 1..8 spacings) and pole-dipole (n = 1..4)
// over a 100 ohm m half-space, 48 electrodes 2 m apart, R off by up to `noise` (relative).
std::vector<FieldDatum> half_space_survey(double noise) {
  constexpr double s = 2;
  constexpr int electrodes = 48;
  std::vector<FieldDatum> data;
  Noise random;
  const auto add = [&](double a, double b, double m, double n) {
    data.push_back(datum(a, b, m, n, 100, data.size() + 2));
    data.back().resistance *= 1 + noise * random.deviate();
  };
  for (int i = 0; i + 3 < electrodes; ++i) {
    for (int n = 1; n <= 6 && i + n + 2 < electrodes; ++n) {
      add(i * s, (i + 1) * s, (i + 1 + n) * s, (i + 2 + n) * s);
    }
  }
  for (int a = 1; a <= 8; ++a) {
    for (int i = 0; i + 3 * a < electrodes; ++i)
      add(i * s, (i + 3 * a) * s, (i + a) * s, (i + 2 * a) * s);
  }
  for (int i = 0; i + 5 < electrodes; ++i) {
    for (int n = 1; n <= 4 && i + n + 1 < electrodes; ++n) {
      add(i * s, i * s, (i + n) * s, (i + n + 1) * s);
    }
  }
  return data;
}

bool uses(const FieldDatum& d, double x) {
  return d.a == x || d.b == x || d.m == x || d.n == x;
}

TEST(PseudoDepths, EdwardsMedianDepthsOfTheCommonArrays) {
  // Median depths / a of Edwards (1977) as Loke's tutorial tabulates them.
  struct Array {
    const char* name;
    double a, b, m, n;  // in units of a
    double depth;
  };
  const Array arrays[] = {
      {"Wenner", 0, 3, 1, 2, 0.519},
      {"dipole-dipole n=1", 0, 1, 2, 3, 0.416},
      {"dipole-dipole n=2", 0, 1, 3, 4, 0.697},
      {"dipole-dipole n=3", 0, 1, 4, 5, 0.962},
      {"dipole-dipole n=4", 0, 1, 5, 6, 1.220},
      {"dipole-dipole n=6", 0, 1, 7, 8, 1.730},
      {"Schlumberger n=2", 0, 5, 2, 3, 0.925},
      {"Schlumberger n=4", 0, 9, 4, 5, 1.707},
      {"Schlumberger n=6", 0, 13, 6, 7, 2.479},
      {"pole-pole", 0, 0, 1, 1, 0.867},
      {"pole-dipole n=1", 0, 0, 1, 2, 0.519},
      {"pole-dipole n=3", 0, 0, 3, 4, 1.318},
  };
  for (const Array& array : arrays) {
    // Any spacing, any origin, either direction, either polarity of either pair.
    for (const double a : {1.0, 2.5}) {
      for (const double sign : {1.0, -1.0}) {
        SCOPED_TRACE(std::string(array.name) + " a=" + std::to_string(a) +
                     (sign < 0 ? " mirrored" : ""));
        const auto at = [&](double x) { return 37 + sign * a * x; };
        FieldDatum d = datum(at(array.a), at(array.b), at(array.m), at(array.n), 1, 1);
        EXPECT_NEAR(median_depth(d), array.depth * a, 0.002 * a);
        if (array.b != array.a) std::swap(d.a, d.b);
        if (array.n != array.m) std::swap(d.m, d.n);
        EXPECT_NEAR(median_depth(d), array.depth * a, 0.002 * a);
      }
    }
  }
}

TEST(PseudoDepths, MatchANumericIntegralAndHaveNoneWhereTheArrayMeasuresNothing) {
  // Irregular arrays against the characteristic summed on a fine grid: the depth where the
  // running integral reaches half of the whole.
  const double irregular[][4] = {{0, 7, 2, 3}, {0, 1, 9, 2.5}, {-3, 4, 0.5, 1.5}, {0, 0, 5, 7}};
  for (const auto& x : irregular) {
    const FieldDatum d = datum(x[0], x[1], x[2], x[3], 1, 1);
    const auto characteristic = [&](double z) {
      const auto pole = [&](double from, double to) {
        const double r = from - to;
        return z / std::pow(r * r + 4 * z * z, 1.5);
      };
      double f = pole(d.a, d.m);
      if (d.n != d.m) f -= pole(d.a, d.n);
      if (d.b != d.a) f -= pole(d.b, d.m);
      if (d.b != d.a && d.n != d.m) f += pole(d.b, d.n);
      return f;
    };
    // z = e^t from 1e-4 to 1e5 m, trapezoids in t.
    std::vector<double> depth, running;
    double sum = 0, previous = characteristic(1e-4) * 1e-4;
    const int steps = 400000;
    const double t0 = std::log(1e-4), t1 = std::log(1e5), dt = (t1 - t0) / steps;
    for (int k = 1; k <= steps; ++k) {
      const double z = std::exp(t0 + k * dt), value = characteristic(z) * z;
      sum += (previous + value) / 2 * dt;
      previous = value;
      depth.push_back(z);
      running.push_back(sum);
    }
    std::size_t k = 0;
    while (running[k] / sum < 0.5) ++k;
    EXPECT_NEAR(median_depth(d), depth[k], 1e-4 * depth[k]) << x[0] << " " << x[1];
  }
  // Coinciding current and potential electrodes; M and N on one equipotential of a pole.
  EXPECT_TRUE(std::isnan(median_depth(datum(0, 1, 0, 2, 1, 1))));
  FieldDatum balanced = datum(0, 0, -1, 1, 1, 1);
  EXPECT_TRUE(std::isnan(median_depth(balanced)));
  // Many data of a few geometries: each datum gets its own geometry's depth.
  const std::vector<FieldDatum> data = {datum(0, 1, 2, 3, 1, 1), datum(5, 8, 6, 7, 1, 2),
                                        datum(10, 11, 12, 13, 1, 3), datum(0, 1, 0, 2, 1, 4),
                                        datum(4, 4, 6, 8, 1, 5)};
  const std::vector<double> depths = pseudo_depths(data);
  ASSERT_EQ(depths.size(), 5u);
  EXPECT_NEAR(depths[0], 0.416, 0.002);
  EXPECT_NEAR(depths[1], 0.519, 0.002);
  EXPECT_EQ(depths[2], depths[0]);
  EXPECT_TRUE(std::isnan(depths[3]));
  EXPECT_NEAR(depths[4], 1.039, 0.002);  // pole-dipole, a = 2 m
  // In the pseudosection a datum sits between the middles of its current and potential pairs.
  const LocalMedianTest section = local_median_test(data, FieldCheckSettings{});
  EXPECT_EQ(section.midpoint, (std::vector<double>{1.5, 6.5, 11.5, 0.75, 5.5}));
  EXPECT_EQ(section.depth[4], depths[4]);
}

TEST(LocalMedianTest, CleanSurveysFireNothingAndSpoiledReadingsAreFoundExactly) {
  const FieldCheckSettings settings;
  // A little noise; and none at all but the rounding of the file's numbers, every seventh reading
  // 0.3 % off: neighbourhoods of equal values but for rounding.
  std::vector<FieldDatum> exact = half_space_survey(0);
  for (std::size_t i = 0; i < exact.size(); i += 7) exact[i].resistance *= 1.003;
  for (const std::vector<FieldDatum>& clean : {half_space_survey(0.015), exact}) {
    const FieldChecks checks = check_field_data(clean, settings);
    EXPECT_EQ(checks.local.judged, clean.size());
    EXPECT_TRUE(checks.outliers.empty());
    for (const FieldCheck& check : checks.checks) EXPECT_FALSE(check.fired) << check.summary;
    EXPECT_TRUE(check_warnings(checks).empty());
  }

  // Readings spoiled by a factor: shallow and deep, at the line's ends and within, of each array.
  struct Spoil {
    std::size_t index;
    double factor;
  };
  std::vector<FieldDatum> spoiled = half_space_survey(0.015);
  const std::vector<Spoil> spoils = {{0, 1.5},   {17, 0.6},  {100, 3},   {101, 1.2},
                                     {240, 0.8}, {300, 0.1}, {430, 1.3}, {spoiled.size() - 1, 2}};
  for (const Spoil& spoil : spoils) spoiled[spoil.index].resistance *= spoil.factor;
  // Broken values are not judged.
  spoiled[50].resistance = not_given;
  spoiled[51].geometric_factor = 0;
  const FieldChecks checks = check_field_data(spoiled, settings);
  std::vector<std::size_t> expected;
  for (const Spoil& spoil : spoils) expected.push_back(spoil.index);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(checks.outliers, expected);
  EXPECT_EQ(checks.local.without_value, 2u);
  EXPECT_EQ(checks.local.judged, spoiled.size() - 2);
  const FieldCheck& outliers = checks.of(FieldCheckKind::outliers);
  EXPECT_TRUE(outliers.fired);
  ASSERT_EQ(outliers.details.size(), spoils.size());
  EXPECT_EQ(outliers.details[0].rfind("line 2 (A 0 B 2 M 4 N 6): rho_a 1", 0), 0u)
      << outliers.details[0];
  // The neighbours' median stays at the half-space's 100 ohm m.
  for (const std::size_t i : expected) EXPECT_NEAR(checks.local.local_median[i], 100, 2);
  EXPECT_TRUE(checks.suspects.empty());

  // A sparse line, Wenner a = 2 m every 3 m: the window widens until it holds enough neighbours.
  std::vector<FieldDatum> sparse;
  for (int i = 0; i < 30; ++i) {
    const double x = 3.0 * i;
    sparse.push_back(datum(x, x + 6, x + 2, x + 4, 100, sparse.size() + 2));
  }
  sparse[12].resistance *= 1.5;
  const LocalMedianTest wide = local_median_test(sparse, settings);
  EXPECT_EQ(wide.spacing, 1);
  EXPECT_EQ(wide.judged, sparse.size());
  EXPECT_EQ(wide.outliers, std::vector<std::size_t>{12});
}

TEST(LocalMedianTest, AFaultyElectrodeIsNamedAndOnlyItsDataAreOutliers) {
  // Every reading that uses the electrode is 30 % off: near an end, within the line, and with
  // reciprocal errors that are small everywhere.
  for (const double bad : {6.0, 48.0, 80.0}) {
    SCOPED_TRACE("electrode at x = " + std::to_string(bad));
    std::vector<FieldDatum> data = half_space_survey(0.015);
    std::vector<std::size_t> touched;
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i].reciprocal_error = 0.005 * std::abs(data[i].resistance);
      if (!uses(data[i], bad)) continue;
      data[i].resistance *= 1.3;
      touched.push_back(i);
    }
    const FieldChecks checks = check_field_data(data, FieldCheckSettings{});
    EXPECT_EQ(checks.outliers, touched);
    ASSERT_EQ(checks.suspects.size(), 1u);
    EXPECT_EQ(checks.suspects[0].x, bad);
    EXPECT_TRUE(checks.suspects[0].by_outliers);
    EXPECT_FALSE(checks.suspects[0].by_reciprocals);
    EXPECT_EQ(checks.suspects[0].outliers, touched.size());
    const FieldCheck& electrodes = checks.of(FieldCheckKind::electrodes);
    EXPECT_TRUE(electrodes.fired);
    EXPECT_NE(electrodes.summary.find("1 electrode stands out: x " + log_number(bad) + " m"),
              std::string::npos)
        << electrodes.summary;
    EXPECT_EQ(electrodes.data, touched);
  }

  // An electrode whose data are fine but whose reciprocals differ by 10 % of |R|.
  std::vector<FieldDatum> data = half_space_survey(0.015);
  std::size_t paired_with_it = 0;
  for (FieldDatum& d : data) {
    d.reciprocal_error = (uses(d, 30) ? 0.1 : 0.01) * std::abs(d.resistance);
    paired_with_it += uses(d, 30);
  }
  const FieldChecks checks = check_field_data(data, FieldCheckSettings{});
  ASSERT_EQ(checks.suspects.size(), 1u);
  EXPECT_EQ(checks.suspects[0].x, 30);
  EXPECT_TRUE(checks.suspects[0].by_reciprocals);
  EXPECT_EQ(checks.suspects[0].paired, paired_with_it);
  EXPECT_NEAR(checks.suspects[0].reciprocal_error, 0.1, 1e-12);
}

TEST(FieldChecks, StandardDeviationsImplausibleForTheirValues) {
  struct Case {
    const char* name;
    double (*std)(const FieldDatum&, std::size_t);  // of the datum and its index
    bool fired;
    const char* says;
    std::size_t listed;
  };
  const Case cases[] = {
      {"a few percent",
       [](const FieldDatum& d, std::size_t) { return 0.02 * std::abs(d.resistance); }, false,
       "std / |R| from 0.02 to 0.02, median 0.02, over 100 data", 0},
      {"the apparent resistivity",
       [](const FieldDatum& d, std::size_t) { return std::abs(d.geometric_factor * d.resistance); },
       true, "the file's error column seems to hold the apparent resistivity", 100},
      {"larger than R", [](const FieldDatum& d, std::size_t) { return 3 * std::abs(d.resistance); },
       true, "most exceed |R|", 100},
      {"far too small", [](const FieldDatum&, std::size_t) { return 0.0; }, true,
       "most are below 1e-4 |R|", 100},
      {"some larger than R",
       [](const FieldDatum& d, std::size_t i) {
         return (i % 3 == 0 ? 2 : 0.05) * std::abs(d.resistance);
       },
       false, "from 0.05 to 2, median 0.05", 34},
      {"none", [](const FieldDatum&, std::size_t) { return not_given; }, false,
       "no standard deviations in the file", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Dipole-dipole data with K from 19 to 1056 m: no std equals |K R| by chance.
    std::vector<FieldDatum> data;
    for (std::size_t i = 0; i < 100; ++i) {
      const double n = static_cast<double>(1 + i % 6), x = static_cast<double>(i);
      data.push_back(datum(x, x + 1, x + 1 + n, x + 2 + n, 100, i + 2));
      data.back().std = c.std(data.back(), i);
    }
    const FieldCheck check =
        check_field_data(data, FieldCheckSettings{}).of(FieldCheckKind::deviations);
    EXPECT_EQ(check.fired, c.fired);
    EXPECT_NE(check.summary.find(c.says), std::string::npos) << check.summary;
    EXPECT_EQ(check.details.size(), c.listed);
    EXPECT_EQ(check.data.size(), c.listed);
  }
}

TEST(FieldChecks, NegativeValuesAndLargeGeometricFactorsAreCountedAndListed) {
  struct Case {
    std::size_t negative_resistivities, chargeabilities, negative_chargeabilities;
    bool fired;
  };
  // Warnings above 2 % of the apparent resistivities and above 5 % of the chargeabilities.
  const Case cases[] = {{0, 0, 0, false},  {2, 0, 0, false}, {3, 0, 0, true},   {0, 100, 5, false},
                        {0, 100, 6, true}, {1, 50, 3, true}, {0, 100, 90, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.negative_resistivities) + " " +
                 std::to_string(c.negative_chargeabilities) + " of " +
                 std::to_string(c.chargeabilities));
    std::vector<FieldDatum> data;
    for (std::size_t i = 0; i < 100; ++i) {
      const double x = static_cast<double>(i);
      data.push_back(datum(x, x + 1, x + 2, x + 3, i < c.negative_resistivities ? -50 : 50, i + 2));
      if (i >= 100 - c.chargeabilities) {
        data.back().chargeability = i >= 100 - c.negative_chargeabilities ? -4 : 4;
      }
    }
    const FieldChecks checks = check_field_data(data, FieldCheckSettings{});
    const FieldCheck& check = checks.of(FieldCheckKind::negative_values);
    EXPECT_EQ(check.fired, c.fired) << check.summary;
    EXPECT_DOUBLE_EQ(checks.negative_resistivity_share, c.negative_resistivities / 100.0);
    EXPECT_DOUBLE_EQ(checks.negative_chargeability_share,
                     c.chargeabilities == 0 ? 0.0
                                            : static_cast<double>(c.negative_chargeabilities) /
                                                  static_cast<double>(c.chargeabilities));
    EXPECT_EQ(check.data.size(), c.negative_resistivities + c.negative_chargeabilities);
    EXPECT_EQ(check.summary.find("most chargeabilities are negative") != std::string::npos,
              c.negative_chargeabilities > c.chargeabilities / 2);
  }

  // |K| over the limit, in either sign; the limit itself is not over it.
  std::vector<FieldDatum> data(5, datum(0, 1, 2, 3, 100, 0));
  const double factors[] = {100, -6000, 5000, 5001, not_given};
  for (std::size_t i = 0; i < 5; ++i) data[i].geometric_factor = factors[i], data[i].line = i + 7;
  const FieldCheck large =
      check_field_data(data, FieldCheckSettings{}).of(FieldCheckKind::geometric_factors);
  EXPECT_TRUE(large.fired);
  EXPECT_EQ(large.data, (std::vector<std::size_t>{1, 3}));
  EXPECT_EQ(large.summary.rfind("2 data with |K| over 5000 m (largest 6000 m)", 0), 0u)
      << large.summary;
  EXPECT_EQ(large.details[0], "line 8 (A 0 B 1 M 2 N 3): K -6000 m");
  FieldCheckSettings wider;
  wider.geometric_factor_limit = 10000;
  EXPECT_FALSE(check_field_data(data, wider).of(FieldCheckKind::geometric_factors).fired);
}

TEST(FieldChecks, TheLogSectionMarksWarningsAndBoundsItsLists) {
  // 150 data with K over the limit (pole-pole over 6 km... of 1 m): listed up to 100.
  std::vector<FieldDatum> data;
  for (std::size_t i = 0; i < 150; ++i) {
    const double x = static_cast<double>(i);
    data.push_back(datum(x, x, x + 1000, x + 1000, 100, i + 2));
    data.back().geometric_factor = 8000;
  }
  const FieldChecks checks = check_field_data(data, FieldCheckSettings{});
  const std::string text = check_section_text(checks);
  EXPECT_EQ(text.rfind("checks:\n  standard deviations: no standard deviations in the file\n", 0),
            0u)
      << text;
  EXPECT_NE(text.find("\n  geometric factors (warning): 150 data with |K| over 5000 m"),
            std::string::npos);
  EXPECT_NE(text.find("\n    line 101 (A 99 M 1099): K 8000 m\n    ... and 50 more\n"),
            std::string::npos)
      << text;
  const std::vector<std::string> warnings = check_warnings(checks);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("warning: geometric factors: 150 data", 0), 0u);

  // No data: every check says so and none fires.
  const FieldChecks none = check_field_data({}, FieldCheckSettings{});
  ASSERT_EQ(none.checks.size(), 5u);
  for (const FieldCheck& check : none.checks) EXPECT_FALSE(check.fired) << check.summary;

  // Values no file should hold beside sound ones: each datum is judged or counted as not.
  std::vector<FieldDatum> odd = half_space_survey(0.015);
  const double huge = 1e300, infinite = std::numeric_limits<double>::infinity();
  odd[3].a = not_given, odd[5].m = infinite, odd[7].resistance = -infinite;
  odd[9].a = huge, odd[9].b = -huge, odd[11] = datum(4, 4, 4, 4, 100, 13);
  odd[13].geometric_factor = not_given, odd[15].std = infinite, odd[17].chargeability = huge;
  const FieldChecks checks_odd = check_field_data(odd, FieldCheckSettings{});
  const LocalMedianTest& local = checks_odd.local;
  EXPECT_EQ(local.judged + local.without_value + local.without_neighbours, odd.size());
  EXPECT_EQ(local.without_value, 6u);
  EXPECT_TRUE(checks_odd.outliers.empty());
  EXPECT_FALSE(check_section_text(checks_odd).empty());
}

}  // namespace
}  // namespace quelby
