#include "quelby/report/pseudosection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace quelby {
namespace {

// Surface arrays with their places from hand: the midpoint of the dipoles' centres, the median
// depth of investigation from Edwards' (1977) table (to its three decimals) and the flat-ground
// geometric factor of the textbooks.
TEST(Pseudosection, ArraysStandWhereTheTablesPutThem) {
  const double pi = std::numbers::pi;
  struct Case {
    const char* name;
    double a, b, m, n;
    double x, depth, factor;
  };
  const std::vector<Case> cases = {
      {"Wenner a = 5", 0, 15, 5, 10, 7.5, 0.519 * 5, 2 * pi * 5},
      {"dipole-dipole a = 1, n = 1", 0, 1, 2, 3, 1.5, 0.416, -6 * pi},
      {"dipole-dipole a = 5, n = 2", 0, 5, 15, 20, 10, 0.697 * 5, -120 * pi},
      {"pole-pole a = 2", 0, 0, 2, 2, 1, 0.867 * 2, 2 * pi * 2},
      {"pole-dipole a = 1, n = 1", 0, 0, 1, 2, 0.75, 0.519, 4 * pi},
      {"Schlumberger a = 1, n = 2", 0, 5, 2, 3, 2.5, 0.925, 6 * pi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<PolePoleTerm> terms = pole_pole_terms(c.a, c.b, c.m, c.n);
    EXPECT_NEAR(std::abs(median_depth(terms)), c.depth, 0.0015 * std::max(1.0, c.depth));
    EXPECT_NEAR(flat_geometric_factor(terms), c.factor, 1e-9 * std::abs(c.factor));
    SurveyData survey;
    survey.ndat = survey.ncur = 1;
    survey.xa_cur = {c.a};
    survey.xb_cur = {c.b};
    survey.xm = {c.m};
    survey.xn = {c.n};
    survey.idat_idx = {1, 2};
    const std::vector<PseudoPosition> places = pseudo_positions(survey);
    ASSERT_EQ(places.size(), 1u);
    EXPECT_DOUBLE_EQ(places[0].x, c.x);
    EXPECT_NEAR(places[0].depth, c.depth, 0.0015 * std::max(1.0, c.depth));
  }
}

TEST(Pseudosection, CoincidingElectrodesHaveNoPlaceNorFactor) {
  for (const auto& terms : {pole_pole_terms(0, 1, 0, 2), pole_pole_terms(0, 1, 1, 2)}) {
    EXPECT_TRUE(std::isnan(median_depth(terms)));
    EXPECT_TRUE(std::isnan(flat_geometric_factor(terms)));
  }
}

TEST(Pseudosection, BuriedElectrodesStandAtTheirMeanDepthAndThreeDimensionsUseDistances) {
  SurveyData survey;
  survey.ndat = survey.ncur = 1;
  survey.has_z = true;
  survey.xa_cur = {0};
  survey.xb_cur = {0};
  survey.za_cur = {2};
  survey.zb_cur = {8};
  survey.xm = {0};
  survey.xn = {0};
  survey.zm = {4};
  survey.zn = {6};
  survey.idat_idx = {1, 2};
  EXPECT_DOUBLE_EQ(pseudo_positions(survey)[0].depth, 5);
  EXPECT_TRUE(std::isnan(flat_geometric_factors(survey)[0]));

  // A Wenner line along y reads as the same line along x.
  Survey3D line;
  line.ndat = 1;
  line.electrodes = {{0, 0, 0}, {0, 15, 0}, {0, 5, 0}, {0, 10, 0}};
  line.a = {0};
  line.b = {1};
  line.m = {2};
  line.n = {3};
  EXPECT_NEAR(median_depths3d(line)[0], 0.519 * 5, 0.0075);
}

// A 3-D survey laid along the x axis (y = 0, z = 0) is a 2-D line: the pseudo-depth of every
// reading, from the distances in space, is the one the line's pseudosection gives it, for
// readings of every kind of array, dipoles reversed and poles included.
TEST(Pseudosection, AThreeDimensionalLineHasTheLinesPseudoDepths) {
  struct Reading {
    const char* name;
    double a, b, m, n;
  };
  const std::vector<Reading> readings = {
      {"Wenner a = 5", 0, 15, 5, 10},
      {"dipole-dipole n = 1", 0, 5, 10, 15},
      {"dipole-dipole n = 3", 5, 10, 25, 30},
      {"reversed dipoles", 30, 25, 15, 10},
      {"Schlumberger n = 2", 0, 25, 10, 15},
      {"pole-dipole", 0, 0, 5, 10},
      {"dipole-pole", 20, 25, 5, 5},
      {"pole-pole", 10, 10, 40, 40},
      {"potential dipole outside the current", 10, 20, 0, 5},
  };
  SurveyData line;
  line.ndat = line.ncur = static_cast<std::int32_t>(readings.size());
  line.idat_idx = {1};
  Survey3D survey;
  survey.ndat = line.ndat;
  const auto electrode = [&](double x) {
    for (std::size_t k = 0; k < survey.electrodes.size(); ++k)
      if (survey.electrodes[k].x == x) return static_cast<std::int32_t>(k);
    survey.electrodes.push_back({x, 0, 0});
    return static_cast<std::int32_t>(survey.electrodes.size() - 1);
  };
  for (const Reading& r : readings) {
    line.xa_cur.push_back(r.a);
    line.xb_cur.push_back(r.b);
    line.xm.push_back(r.m);
    line.xn.push_back(r.n);
    line.idat_idx.push_back(line.idat_idx.back() + 1);
    survey.a.push_back(electrode(r.a));
    survey.b.push_back(electrode(r.b));
    survey.m.push_back(electrode(r.m));
    survey.n.push_back(electrode(r.n));
  }
  const std::vector<PseudoPosition> places = pseudo_positions(line);
  const std::vector<double> depths = median_depths3d(survey);
  ASSERT_EQ(places.size(), readings.size());
  ASSERT_EQ(depths.size(), readings.size());
  for (std::size_t i = 0; i < readings.size(); ++i) {
    SCOPED_TRACE(readings[i].name);
    EXPECT_GT(places[i].depth, 0);
    EXPECT_NEAR(depths[i], places[i].depth, 1e-12 * places[i].depth);
  }
}

}  // namespace
}  // namespace quelby
