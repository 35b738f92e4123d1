// The forward model against solutions derived by hand: a half-space, two layers by images, a
// vertical contact by images, a buried source under a half-space; and against itself: central
// differences of its own data, homogeneity of degree 1 in the resistivities, reciprocity, mirror
// symmetry, air above a flat ground, and the same bits on any number of threads.
#include "quelby/forward/forward.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "quelby/base/parallel.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::dipole_dipole;
using testing::even_nodes;
using testing::graded_mesh;
using testing::grouped_quad;
using testing::half_space_datum;
using testing::Quad;
using testing::SmallSection;
using testing::survey_of;
using testing::Transcript;

std::vector<double> uniform(const Mesh& mesh, double value) {
  return std::vector<double>(static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz),
                             value);
}

std::vector<std::int32_t> no_air(const Mesh& mesh) {
  return std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0);
}

// Largest relative difference of the data from `expected` (one value per grouped datum).
template <typename Expected>
double worst_relative(const SurveyData& survey, const std::vector<double>& data,
                      Expected&& expected) {
  double worst = 0;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      worst = std::max(worst, std::abs(data[i] / expected(grouped_quad(survey, pair, i)) - 1));
    }
  }
  return worst;
}

TEST(ForwardAccuracy, HalfSpaceDipoleDipoleWithinATenthOfAPercent) {
  Transcript t;
  const SurveyData survey = survey_of(dipole_dipole(32, 5, 8), t.io());
  ASSERT_EQ(survey.ndat, 204);
  SurveyMeshOptions options;
  options.cell_width = 0.625;
  const Mesh mesh = mesh_for_survey(t.io(), survey, options);
  ForwardModel model(t.io(), mesh, no_air(mesh), survey);
  EXPECT_LE(model.wavenumbers().pole_error, 5e-4);
  const std::vector<double> data = model.data(t.io(), uniform(mesh, 100));
  EXPECT_LT(worst_relative(survey, data, [](const Quad& q) { return half_space_datum(q, 100); }),
            0.001);
}

// The Wenner apparent resistivity of h m of rho1 over rho2 by images.
double two_layer_wenner(double a, double h, double rho1, double rho2) {
  const double k = (rho2 - rho1) / (rho2 + rho1);
  double sum = 0, power = 1;
  for (int n = 1; n < 2000; ++n) {
    power *= k;
    const double ratio = 2 * n * h / a;
    sum += power * (1 / std::sqrt(1 + ratio * ratio) - 1 / std::sqrt(4 + ratio * ratio));
  }
  return rho1 * (1 + 4 * sum);
}

TEST(ForwardAccuracy, WennerSoundingsOverAHalfSpaceAndTwoLayersOnGradedAndUniformMeshes) {
  // Wenner arrays centred at x = 0 (a = 1 to 32 m) over 100 ohm-m and over 5 m of 100 ohm-m on
  // 10 ohm-m, each apparent resistivity against the image series, on meshes with a node at every
  // electrode and at the interface: graded by runs of equal cells growing by 1.33 to 1.5 with
  // padding growing by 1.3 or 1.5 to 1.2 km, cells of 3.5 % of their distance from the centre, and
  // a uniform core.
  Transcript t;
  const double h = 5, rho1 = 100, rho2 = 10;
  const std::vector<double> spacings = {1, 2, 4, 8, 16, 32};
  std::vector<double> breaks = {0};
  for (const double a : spacings) {
    breaks.push_back(0.5 * a);
    breaks.push_back(1.5 * a);
  }
  std::sort(breaks.begin(), breaks.end());
  breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
  const std::vector<double> depths = {0, 0.5, 1, 1.5, 2, 3, 4, 5, 6, 8, 12, 16, 24, 32, 48};
  std::vector<double> smooth_x = testing::smooth_nodes(breaks, 0, 0.035, 0.0625);
  testing::pad_nodes(smooth_x, 1.15, 500);
  std::vector<double> smooth_z = testing::smooth_nodes({0, 1, h, 10, 20, 40, 80}, 0, 0.035, 0.0625);
  testing::pad_nodes(smooth_z, 1.15, 500);
  struct Case {
    const char* what;
    std::vector<double> x_nodes, z_nodes;
    double largest_spacing, bound;
  };
  const std::vector<Case> cases = {
      {"graded by runs, padding 1.3", testing::run_nodes(breaks, 0.0625, 1.5, 1.3, 1200),
       testing::run_nodes(depths, 0.0625, 1.5, 1.3, 1200), 32, 0.003},
      {"graded by runs, padding 1.5", testing::run_nodes(breaks, 0.0625, 1.5, 1.5, 1200),
       testing::run_nodes(depths, 0.0625, 1.5, 1.5, 1200), 32, 0.005},
      {"graded by runs from 1/8 m", testing::run_nodes(breaks, 0.125, 1.5, 1.3, 1200),
       testing::run_nodes(depths, 0.125, 1.5, 1.3, 1200), 32, 0.004},
      {"cells of 3.5 % of the distance", smooth_x, smooth_z, 32, 0.002},
      {"a uniform core of 1/4 m", testing::run_nodes({0, 14}, 0.25, 1, 1.3, 1200),
       testing::run_nodes({0, 14}, 0.25, 1, 1.3, 1200), 8, 0.002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Mesh mesh = mesh_from_nodes(t.io(), testing::mirrored(c.x_nodes), c.z_nodes);
    std::vector<Quad> quads;
    for (const double a : spacings) {
      if (a <= c.largest_spacing) quads.push_back({-1.5 * a, 1.5 * a, -0.5 * a, 0.5 * a});
    }
    const SurveyData survey = survey_of(quads, t.io());
    std::vector<double> layered = uniform(mesh, rho1);
    for (std::size_t kz = 0; kz < static_cast<std::size_t>(mesh.nz); ++kz) {
      if (mesh.z_nodes[kz] < h) continue;
      std::fill_n(
          layered.begin() + static_cast<std::ptrdiff_t>(kz * static_cast<std::size_t>(mesh.nx)),
          mesh.nx, rho2);
    }
    ForwardModel model(t.io(), mesh, no_air(mesh), survey);
    const std::vector<double> half_space = model.data(t.io(), uniform(mesh, rho1));
    const std::vector<double> two_layers = model.data(t.io(), layered);
    for (std::size_t j = 0; j < quads.size(); ++j) {
      const double a = quads[j].m - quads[j].a;
      const std::size_t i = survey.grouped_position(j);
      const double factor = 2 * std::numbers::pi * a;  // Wenner: K = 2 pi a
      EXPECT_NEAR(half_space[i] * factor / rho1, 1, c.bound) << "half-space, a = " << a;
      EXPECT_NEAR(two_layers[i] * factor / two_layer_wenner(a, h, rho1, rho2), 1, c.bound)
          << "two layers, a = " << a;
    }
  }
}

// Images across a vertical contact at x = 0 (rho1 for x < 0, rho2 beyond): a source at x_s < 0
// gives rho1 / 2 pi (1/r + k/r') on its side and rho1 (1 + k) / (2 pi r) across.
double contact_potential(double source, double receiver, double rho1, double rho2) {
  const double k = (rho2 - rho1) / (rho2 + rho1);
  if (receiver <= 0) {
    return rho1 / (2 * std::numbers::pi) *
           (1 / std::abs(receiver - source) + k / std::abs(receiver + source));
  }
  return rho1 * (1 + k) / (2 * std::numbers::pi * std::abs(receiver - source));
}

TEST(ForwardAccuracy, VerticalContactPolePoleAndPoleDipoleByImages) {
  Transcript t;
  const double rho1 = 100, rho2 = 10;
  std::vector<Quad> quads;
  for (const double source : {-12.0, -6.0}) {
    for (const double receiver : {-24.0, -18.0, -9.0, -3.0, 3.0, 6.0, 12.0}) {
      if (receiver == source) continue;
      quads.push_back({source, source, receiver, receiver});        // pole-pole
      quads.push_back({source, source, receiver, receiver + 1.5});  // pole-dipole
    }
  }
  std::vector<double> positions;
  for (double p = -24; p <= 13.5; p += 1.5) positions.push_back(p);
  const Mesh mesh = graded_mesh(positions, 8, even_nodes(0, 15, 0.1875), 1.15, 600, t.io());
  std::vector<double> rho = uniform(mesh, rho1);
  for (std::size_t kz = 0; kz < static_cast<std::size_t>(mesh.nz); ++kz) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
      if (mesh.x_nodes[i] >= 0) rho[kz * static_cast<std::size_t>(mesh.nx) + i] = rho2;
    }
  }
  const SurveyData survey = survey_of(quads, t.io());
  ForwardModel model(t.io(), mesh, no_air(mesh), survey);
  const std::vector<double> data = model.data(t.io(), rho);
  double worst_pole = 0, worst_dipole = 0;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      const Quad q = grouped_quad(survey, pair, i);
      double expected = contact_potential(q.a, q.m, rho1, rho2);
      if (q.n != q.m) expected -= contact_potential(q.a, q.n, rho1, rho2);
      double& worst = q.n == q.m ? worst_pole : worst_dipole;
      worst = std::max(worst, std::abs(data[i] / expected - 1));
    }
  }
  EXPECT_LT(worst_pole, 0.004);
  EXPECT_LT(worst_dipole, 0.004);
}

TEST(ForwardAccuracy, BuriedSourceUnderAHalfSpaceByItsImage) {
  Transcript t;
  // A current electrode 3.1 m deep (between row boundaries) at x = 0.3 (between column
  // boundaries), potential electrodes on the surface and in the ground.
  const double depth = 3.1, rho = 50;
  std::vector<double> a, b, m, n, za, zb, zm, zn;
  for (const double x : {-8.0, -4.0, 4.0, 8.0, 12.0}) {
    for (const double z : {0.0, 2.0}) {
      a.push_back(0.3);
      b.push_back(0.3);
      za.push_back(depth);
      zb.push_back(depth);
      m.push_back(x);
      n.push_back(x);
      zm.push_back(z);
      zn.push_back(z);
    }
  }
  SurveyArrays arrays{a, b, m, n, za, zb, zm, zn, {}, {}, {}};
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  std::vector<double> positions;
  for (double p = -8; p <= 12.01; p += 0.5) positions.push_back(p);
  const Mesh mesh = graded_mesh(positions, 4, even_nodes(0, 12, 0.125), 1.15, 600, t.io());
  ForwardModel model(t.io(), mesh, no_air(mesh), survey);
  const std::vector<double> data = model.data(t.io(), uniform(mesh, rho));
  double worst = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(survey.ndat); ++i) {
    const double dx = survey.xm[i] - 0.3;
    const double direct = std::hypot(dx, survey.zm[i] - depth);
    const double image = std::hypot(dx, survey.zm[i] + depth);
    const double expected = rho / (4 * std::numbers::pi) * (1 / direct + 1 / image);
    worst = std::max(worst, std::abs(data[i] / expected - 1));
  }
  EXPECT_LT(worst, 0.005);
}

TEST(ForwardSensitivity, MatchesCentralDifferencesOfTheData) {
  SmallSection s;
  ForwardModel model(s.t.io(), s.mesh, s.air, s.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  std::vector<double> jacobian(cells.size() * static_cast<std::size_t>(s.survey.ndat)),
      data(static_cast<std::size_t>(s.survey.ndat));
  model.sensitivity(s.t.io(), s.rho, cells, jacobian, data);
  double largest = 0;
  for (const double value : jacobian) largest = std::max(largest, std::abs(value));
  const double step = 1e-4;
  int checked = 0;
  for (std::size_t c = 0; c < cells.size(); c += 7) {
    std::vector<double> up = s.rho, down = s.rho;
    up[static_cast<std::size_t>(cells[c])] *= std::exp(step);
    down[static_cast<std::size_t>(cells[c])] *= std::exp(-step);
    const std::vector<double> plus = model.data(s.t.io(), up);
    const std::vector<double> minus = model.data(s.t.io(), down);
    for (std::size_t i = 0; i < data.size(); ++i) {
      const double exact = jacobian[i * cells.size() + c];
      if (std::abs(exact) < 1e-3 * largest) continue;
      EXPECT_NEAR((plus[i] - minus[i]) / (2 * step) / exact, 1, 1e-4)
          << "datum " << i << " cell " << cells[c];
      ++checked;
    }
  }
  EXPECT_GT(checked, 20);
}

TEST(ForwardSensitivity, EveryGroundCellTogetherGivesTheDatumAndUniformChargeabilityItself) {
  SmallSection s;
  ForwardModel model(s.t.io(), s.mesh, s.air, s.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  const std::size_t ndat = static_cast<std::size_t>(s.survey.ndat);
  std::vector<double> jacobian(cells.size() * ndat), data(ndat);
  model.sensitivity(s.t.io(), s.rho, cells, jacobian, data);
  const std::vector<double> alone = model.data(s.t.io(), s.rho);
  for (std::size_t i = 0; i < ndat; ++i) {
    double sum = 0;
    for (std::size_t c = 0; c < cells.size(); ++c) sum += jacobian[i * cells.size() + c];
    EXPECT_NEAR(sum / data[i], 1, 1e-11) << "datum " << i;
    EXPECT_EQ(data[i], alone[i]);
  }
  const std::vector<double> eta(s.rho.size(), 0.07);
  std::vector<double> ip_data(ndat);
  const std::vector<double> apparent = model.apparent_chargeability(s.t.io(), s.rho, eta, ip_data);
  for (std::size_t i = 0; i < ndat; ++i) {
    EXPECT_NEAR(apparent[i] / 0.07, 1, 1e-11);
    EXPECT_EQ(ip_data[i], alone[i]);
  }
  // A chargeable part of the section: eta_a is J eta / d.
  std::vector<double> patch(s.rho.size(), 0.0);
  for (std::size_t c = 0; c < cells.size(); c += 3) patch[static_cast<std::size_t>(cells[c])] = 0.2;
  const std::vector<double> patchy = model.apparent_chargeability(s.t.io(), s.rho, patch);
  for (std::size_t i = 0; i < ndat; ++i) {
    double sum = 0;
    for (std::size_t c = 0; c < cells.size(); ++c)
      sum += jacobian[i * cells.size() + c] * patch[static_cast<std::size_t>(cells[c])];
    EXPECT_NEAR(patchy[i], sum / data[i], 1e-10 * (std::abs(patchy[i]) + 1e-3));
  }
}

TEST(ForwardSymmetry, ExchangingCurrentAndPotentialPairsGivesTheSameDatum) {
  SmallSection s;
  const std::vector<Quad> quads = {{-5, -4, -3, -2}, {-4.25, 1, 2, 3.5}, {-5, -5, -1.5, 0.75}};
  std::vector<Quad> both = quads;
  for (const Quad& q : quads) both.push_back({q.m, q.n, q.a, q.b});
  const SurveyData survey = survey_of(both, s.t.io());
  ForwardModel model(s.t.io(), s.mesh, s.air, survey);
  const std::vector<double> d = model.data(s.t.io(), s.rho);
  for (std::size_t i = 0; i < quads.size(); ++i) {
    const double one = d[survey.grouped_position(i)];
    const double other = d[survey.grouped_position(i + quads.size())];
    EXPECT_NEAR(other / one, 1, 1e-10) << "datum " << i;
  }
}

TEST(ForwardSymmetry, AMirrorSymmetricSurveyGivesMirrorSymmetricData) {
  Transcript t;
  std::vector<double> x;
  for (int i = -20; i <= 20; ++i)
    x.push_back(0.5 * i + (i > 12 ? 0.1 * (i - 12) * (i - 11) : 0.0) -
                (i < -12 ? 0.1 * (i + 12) * (i + 11) : 0.0));
  const Mesh mesh = mesh_from_nodes(t.io(), x, even_nodes(0, 6, 0.5));
  const std::vector<Quad> quads = {
      {-4.2, -3.1, 1.3, 2.6}, {-2.6, -1.3, 3.1, 4.2}, {-5, -5, 0.4, 0.4}, {-0.4, -0.4, 5, 5}};
  const SurveyData survey = survey_of(quads, t.io());
  ForwardModel model(t.io(), mesh, no_air(mesh), survey);
  const std::vector<double> d = model.data(t.io(), uniform(mesh, 30));
  EXPECT_NEAR(d[1] / d[0], 1, 1e-10);  // the mirror image of datum 0 (its pairs' roles kept)
  EXPECT_NEAR(d[3] / d[2], 1, 1e-10);
}

TEST(ForwardTopography, AirRowsAboveAFlatGroundChangeNothing) {
  Transcript t;
  std::vector<double> x = even_nodes(-10, 10, 0.5);
  const std::vector<double> z = even_nodes(0, 8, 0.5);
  std::vector<double> z_air = {-1.0, -0.5};
  z_air.insert(z_air.end(), z.begin(), z.end());
  const Mesh flat = mesh_from_nodes(t.io(), x, z);
  const Mesh raised = mesh_from_nodes(t.io(), x, z_air);
  const SurveyData survey = survey_of({{-4, -3, 1, 2.25}, {-3.75, -3.75, 2, 2}}, t.io());
  ForwardModel on_flat(t.io(), flat, no_air(flat), survey);
  ForwardModel under_air(t.io(), raised,
                         std::vector<std::int32_t>(static_cast<std::size_t>(raised.nx), 2), survey);
  std::vector<double> rho_flat = uniform(flat, 1),
                      rho_raised = uniform(raised, 1e-8);  // air is never read
  for (std::size_t c = 0; c < rho_flat.size(); ++c) {
    rho_flat[c] = 10 + static_cast<double>(c % 17);
    rho_raised[c + 2 * static_cast<std::size_t>(raised.nx)] = rho_flat[c];
  }
  const std::vector<double> d1 = on_flat.data(t.io(), rho_flat);
  const std::vector<double> d2 = under_air.data(t.io(), rho_raised);
  for (std::size_t i = 0; i < d1.size(); ++i) EXPECT_NEAR(d2[i] / d1[i], 1, 1e-10);
}

TEST(ForwardTopography, NumericGeometricFactorsMakeAUniformEarthItselfAndMatchTheFlatFormula) {
  SmallSection s;
  const std::vector<double> factors = geometric_factors(s.t.io(), s.mesh, s.air, s.survey);
  ForwardModel model(s.t.io(), s.mesh, s.air, s.survey);
  const std::vector<double> data = model.data(s.t.io(), uniform(s.mesh, 42));
  for (std::size_t i = 0; i < data.size(); ++i) EXPECT_NEAR(data[i] * factors[i] / 42, 1, 1e-12);

  Transcript t;
  const SurveyData survey = survey_of(dipole_dipole(12, 5, 4), t.io());
  SurveyMeshOptions options;
  options.cell_width = 0.625;
  const Mesh mesh = mesh_for_survey(t.io(), survey, options);
  const std::vector<double> flat = geometric_factors(t.io(), mesh, no_air(mesh), survey);
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      EXPECT_NEAR(flat[i] * half_space_datum(grouped_quad(survey, pair, i), 1), 1, 0.002);
    }
  }
}

TEST(ForwardParallel, TheSameBitsOnOneThreadAsOnThePool) {
  SmallSection s;
  ForwardModel pooled(s.t.io(), s.mesh, s.air, s.survey);
  const std::vector<double> on_pool = pooled.data(s.t.io(), s.rho);
  const std::vector<std::int32_t> cells = pooled.ground_cells();
  const std::size_t ndat = static_cast<std::size_t>(s.survey.ndat);
  std::vector<double> j_pool(ndat * cells.size()), d_pool(ndat);
  pooled.sensitivity(s.t.io(), s.rho, cells, j_pool, d_pool);
  std::vector<double> alone, j_alone(j_pool.size()), d_alone(ndat);
  // A loop inside a parallel loop runs on its caller's thread alone.
  parallel_for(2, 1, [&](std::int64_t begin, std::int64_t) {
    if (begin != 0) return;
    ForwardModel single(s.t.io(), s.mesh, s.air, s.survey);
    alone = single.data(s.t.io(), s.rho);
    single.sensitivity(s.t.io(), s.rho, cells, j_alone, d_alone);
  });
  EXPECT_EQ(alone, on_pool);
  EXPECT_EQ(j_alone, j_pool);
}

// Data made of the same pole pairs with the same signs (a reading, its reciprocal, the reading
// repeated) form one class and have the same values but for rounding; a reading with its current
// electrodes swapped is another class.
TEST(ForwardClasses, ReadingsTheirReciprocalsAndRepeatsShareAClass) {
  SmallSection s;
  const SurveyData survey = survey_of({{-5, -4, -3, -2},
                                       {-3, -2, -5, -4},
                                       {-4, -5, -3, -2},
                                       {-5, -4, -3, -2},
                                       {-5, -5, -1.5, 0.75},
                                       {-1.5, 0.75, -5, -5},
                                       {-2, -3, -4, -5}},
                                      s.t.io());
  ForwardModel model(s.t.io(), s.mesh, s.air, survey);
  const std::vector<std::int32_t> classes = model.datum_classes();
  const std::vector<double> data = model.data(s.t.io(), s.rho);
  // Grouped order keeps each current pair's data together; compare by the classes' meaning.
  ASSERT_EQ(classes.size(), data.size());
  std::int32_t count = 0;
  for (const std::int32_t value : classes) count = std::max(count, value + 1);
  EXPECT_EQ(count, 3);  // the dipole-dipole reading and its kin, the swapped one, the pole one
  for (std::size_t i = 0; i < data.size(); ++i) {
    for (std::size_t j = 0; j < data.size(); ++j) {
      if (classes[i] == classes[j]) {
        EXPECT_NEAR(data[i], data[j], 1e-12 * std::abs(data[i])) << i << " " << j;
      } else {
        EXPECT_GT(std::abs(data[i] - data[j]), 1e-6 * std::abs(data[i])) << i << " " << j;
      }
    }
  }
}

TEST(ForwardStops, ABadResistivityOrAnElectrodeOffTheGroundIsRefusedByName) {
  SmallSection s;
  ForwardModel model(s.t.io(), s.mesh, s.air, s.survey);
  std::vector<double> rho = s.rho;
  rho[static_cast<std::size_t>(3 * s.mesh.nx + 4)] = 0;
  EXPECT_THROW(model.data(s.t.io(), rho), Stop);
  EXPECT_NE(s.t.console().find("Error: the resistivity of cell (5, 4) is not a positive number: 0"),
            std::string::npos)
      << s.t.console();

  Transcript t;
  const SurveyData outside = survey_of({{-5, -4, -3, -2}, {-6, -5, 40, 41}}, t.io());
  EXPECT_THROW(ForwardModel(t.io(), s.mesh, s.air, outside), Stop);
  EXPECT_NE(t.console().find("Error: electrode M of datum 2 at x = 40 lies outside the mesh"),
            std::string::npos)
      << t.console();

  // Given farther above the surface (at x = 2, z = 0.5 under an air cell of 0.5 m) than a cell.
  Transcript buried;
  std::vector<double> a = {-5}, b = {-4}, m = {2}, n = {3}, za = {0}, zb = {0}, zm = {-0.75},
                      zn = {1};
  SurveyArrays arrays{a, b, m, n, za, zb, zm, zn, {}, {}, {}};
  SurveyData survey;
  survey_from_arrays(buried.io(), arrays, survey);
  EXPECT_THROW(ForwardModel(buried.io(), s.mesh, s.air, survey), Stop);
  EXPECT_NE(buried.console().find(
                "Error: electrode M of datum 1 at x = 2, z = -0.75 lies outside the mesh"),
            std::string::npos)
      << buried.console();
}

TEST(ForwardStops, WhatTheSolverCannotTakeIsRefusedBeforeFactorisingByWhatCausesIt) {
  // A potential electrode on a current electrode, a row 8e-15 m thick and a resistivity of
  // 4e-308 ohm-m: each a message naming the datum, the row or the cell, and Stop (status 1).
  SmallSection s;
  Transcript on_current;
  const SurveyData same = survey_of({{-5, -4, -3, -2}, {0, 5, 0, 5}}, on_current.io());
  try {
    ForwardModel model(on_current.io(), s.mesh, s.air, same);
    ADD_FAILURE() << "taken";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), 1);
  }
  EXPECT_EQ(on_current.console(),
            "\nError: electrode M of datum 2 at x = 0 stands on current electrode A: the "
            "potential there is infinite\n");

  Transcript thin;
  std::vector<double> x = even_nodes(-8, 8, 0.5), z = even_nodes(0, 6, 0.5);
  z.insert(z.begin() + 3, z[2] + 8e-15);
  for (std::size_t k = 4; k < z.size(); ++k) z[k] += 8e-15;
  const Mesh flat_row = mesh_from_nodes(thin.io(), x, z);
  EXPECT_THROW(ForwardModel(thin.io(), flat_row, no_air(flat_row), s.survey), Stop);
  EXPECT_TRUE(thin.console().starts_with("\nError: row 3 of the mesh is ")) << thin.console();
  EXPECT_NE(thin.console().find(" m thick where column 1 is 0.5 m wide: the forward model takes "
                                "cells at most 1e+12 times wider than they are thick; make row 3 "
                                "thicker\n"),
            std::string::npos)
      << thin.console();

  Transcript tiny;
  ForwardModel model(tiny.io(), s.mesh, s.air, s.survey);
  std::vector<double> rho = s.rho;
  rho[static_cast<std::size_t>(5 * s.mesh.nx + 20)] = 4e-308;
  EXPECT_THROW(model.data(tiny.io(), rho), Stop);
  EXPECT_EQ(tiny.console(), "\nError: the resistivity of cell (21, 6) is " +
                                shortest(1 / (1 / 4e-308)) +
                                " ohm-m: the forward model takes resistivities from 1e-100 to "
                                "1e+100 ohm-m\n");
  // The model is taken again once the cell is mended.
  rho[static_cast<std::size_t>(5 * s.mesh.nx + 20)] = 40;
  EXPECT_NO_THROW(model.data(tiny.io(), rho));
}

TEST(ForwardTransform, ElectrodesAMillimetreApartOnAMeshOfThousandsOfKilometres) {
  // Transform distances from a quarter of a millimetre to 3000 km: K0 and K1 of arguments far
  // beyond where they underflow. The data are finite, and the far ones right.
  Transcript t;
  std::vector<double> x = testing::mirrored(testing::run_nodes({0, 30}, 1, 1, 1.6, 3e6));
  for (double& value : x) value += 30;
  x.insert(std::upper_bound(x.begin(), x.end(), 30.0), 30.001);
  const Mesh mesh = mesh_from_nodes(t.io(), x, testing::run_nodes({0, 15}, 1, 1, 1.6, 3e6));
  const SurveyData survey = survey_of({{27, 30, 30.001, 33}, {0, 3, 9, 12}}, t.io());
  ForwardModel model(t.io(), mesh, no_air(mesh), survey);
  EXPECT_LT(model.wavenumbers().r_min, 1e-3);
  EXPECT_GT(model.wavenumbers().r_max, 3e6);
  const std::vector<double> data = model.data(t.io(), uniform(mesh, 100));
  for (const double value : data) EXPECT_TRUE(std::isfinite(value));
  const Quad far = {0, 3, 9, 12};
  EXPECT_NEAR(data[survey.grouped_position(1)] / half_space_datum(far, 100), 1, 0.005);
}

}  // namespace
}  // namespace quelby
