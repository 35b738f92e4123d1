// The electrodes placed on the ground: their weights against the moments they are built to have
// (the electrode's own position, the documented spread along each axis, the folded share at the
// surface), where they fall back to interpolation or to one node, and the potential electrodes
// refused where a current electrode of their datum stands.
#include "quelby/forward/ground.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// Columns of 1, 1, 0.5, 0.5, 1, 0.5, 0.5, 1, 2 m and rows of 0.5, 0.5, 1, 1, 2 m.
const std::vector<double> x_nodes = {-4, -3, -2, -1.5, -1, 0, 0.5, 1, 2, 4};
const std::vector<double> z_nodes = {0, 0.5, 1, 2, 3, 5};

// One electrode placed alone (as the A of a pole-pole datum whose M is far off).
Electrode placed_alone(const Mesh& mesh, const Ground& ground, double x, double z, bool buried) {
  Transcript t;
  SurveyArrays arrays;
  std::vector<double> a = {x}, m = {x > 0 ? -4.0 : 4.0}, za = {z}, zm = {0};
  arrays.a = a;
  arrays.b = a;
  arrays.m = m;
  arrays.n = m;
  if (buried) {
    arrays.za = za;
    arrays.zb = za;
    arrays.zm = zm;
    arrays.zn = zm;
  }
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  return place_electrodes(t.io(), mesh, ground, survey).electrodes.at(0);
}

struct Moments {
  double sum = 0, x = 0, z = 0, xx = 0, zz = 0, smallest = 1;
};

Moments moments_of(const Mesh& mesh, const Ground& ground, const Electrode& electrode) {
  Moments m;
  const std::size_t nx1 = static_cast<std::size_t>(mesh.nx) + 1;
  for (std::int32_t a = 0; a < electrode.count; ++a) {
    const auto mesh_node =
        static_cast<std::size_t>(ground.ground_nodes[static_cast<std::size_t>(electrode.node[a])]);
    const double dx = mesh.x_nodes[mesh_node % nx1] - electrode.x;
    const double dz = mesh.z_nodes[mesh_node / nx1] - electrode.z;
    const double w = electrode.weight[a];
    m.sum += w;
    m.x += w * dx;
    m.z += w * dz;
    m.xx += w * dx * dx;
    m.zz += w * dz * dz;
    m.smallest = std::min(m.smallest, w);
  }
  return m;
}

TEST(Electrodes, WeightsKeepThePositionAndSpreadByTheDocumentedMoments) {
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), x_nodes, z_nodes);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>(9, 0));
  const double s = electrode_spread;
  const double fold = s / 6;  // the node below a surface electrode
  struct Case {
    const char* what;
    double x, z;
    bool buried;
    int count;
    double xx, z_mean, zz, cell;
  };
  const std::vector<Case> cases = {
      {"surface node between equal cells", -1.5, 0, false, 6, s * (0.25 + 0.25) / 12, fold * 0.5,
       fold * 0.25, 0.5},
      {"surface node where the width halves", 0, 0, false, 6, s * (1 + 0.25) / 12, fold * 0.5,
       fold * 0.25, 1},
      {"surface between nodes", 0.25, 0, false, 4, 0.25 * 0.25, fold * 0.5, fold * 0.25, 0.5},
      {"surface node at the mesh's edge", -4, 0, false, 1, 0, 0, 0, 1},
      {"buried on a node", 0, 1, true, 9, s * (1 + 0.25) / 12, 0, s * (0.25 + 1) / 12, 1},
      {"buried in a cell", 0.25, 1.5, true, 4, 0.25 * 0.25, 0, 0.5 * 0.5, 1},
      {"buried on a column boundary", 0, 1.5, true, 6, s * (1 + 0.25) / 12, 0, 0.5 * 0.5, 1},
      {"given with z on the surface", 0.5, 0, true, 6, s * (0.25 + 0.25) / 12, fold * 0.5,
       fold * 0.25, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Electrode electrode = placed_alone(mesh, ground, c.x, c.z, c.buried);
    EXPECT_EQ(electrode.count, c.count);
    const Moments m = moments_of(mesh, ground, electrode);
    EXPECT_NEAR(m.sum, 1, 1e-15);
    EXPECT_GT(m.smallest, 0);
    EXPECT_NEAR(m.x, 0, 1e-15);  // the mean position along x is the electrode's
    EXPECT_NEAR(m.xx, c.xx, 1e-15);
    EXPECT_NEAR(m.z, c.z_mean, 1e-15);
    EXPECT_NEAR(m.zz, c.zz, 1e-15);
    EXPECT_EQ(electrode.cell, c.cell);
  }
}

TEST(Electrodes, SpreadOnlyWhereTheGroundSurroundsThem) {
  // Columns 0 and 1 hold one air cell, so that the surface steps down at x = -2.
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), x_nodes, z_nodes);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>{1, 1, 0, 0, 0, 0, 0, 0, 0});
  // At the step the node alone; on the flat ground beyond it the spread.
  const Electrode step = placed_alone(mesh, ground, -2, 0, false);
  EXPECT_EQ(step.count, 1);
  EXPECT_EQ(step.weight[0], 1.0);
  const Electrode flat = placed_alone(mesh, ground, -1, 0, false);
  EXPECT_EQ(flat.count, 6);
  // On the raised ground between nodes: interpolation and the fold, on the higher surface.
  const Electrode raised = placed_alone(mesh, ground, -3.5, 0, false);
  EXPECT_EQ(raised.count, 4);
  EXPECT_EQ(raised.z, 0.5);
  // Buried just under the step's corner: no spread across the air.
  const Electrode corner = placed_alone(mesh, ground, -2, 0.5, true);
  const Moments m = moments_of(mesh, ground, corner);
  EXPECT_NEAR(m.sum, 1, 1e-15);
  EXPECT_NEAR(m.x, 0, 1e-15);
  EXPECT_NEAR(m.z, 0, 1e-15);
  EXPECT_EQ(m.xx, 0);
}

// An electrode given with z above the ground surface by no more than the thicker cell at the
// surface there stands on it, exactly as one given by x alone, and the placing counts it; farther
// above it is refused. A position a few units in the last place off a node is on the node.
TEST(Electrodes, OneGivenJustAboveTheSurfaceStandsOnItAndOneFartherUpIsRefused) {
  // Columns 0 to 2 hold three air cells: their surface is at z = 2 between rows of 1 m; the
  // others stand on the mesh's top, z = 0, over a row of 0.5 m.
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), x_nodes, z_nodes);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>{3, 3, 3, 0, 0, 0, 0, 0, 0});
  struct Case {
    double x, z;
    double lowered;       // how far it is lowered onto the surface; < 0: refused
    std::string message;  // the refusal's
  };
  const std::vector<Case> cases = {
      {-3, 1.5, 0.5, ""},
      {-3.5, 1, 1, ""},
      {-3, 0.6, -1,
       "\nError: electrode A of datum 1 at x = -3, z = 0.6 lies above the ground "
       "surface\n"},
      {1, -0.3, 0.3, ""},
      {0.5, -0.5, 0.5, ""},
      {1, -0.8, -1, "\nError: electrode A of datum 1 at x = 1, z = -0.8 lies outside the mesh\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.z));
    Transcript run;
    std::vector<double> a = {c.x}, m = {-1.0}, za = {c.z}, zm = {1.0};
    SurveyArrays arrays{a, a, m, m, za, za, zm, zm, {}, {}, {}};
    SurveyData survey;
    survey_from_arrays(run.io(), arrays, survey);
    if (c.lowered < 0) {
      EXPECT_THROW(place_electrodes(run.io(), mesh, ground, survey), Stop);
      EXPECT_EQ(run.console(), c.message);
      continue;
    }
    const SurveyElectrodes placed = place_electrodes(run.io(), mesh, ground, survey);
    const Electrode& given = placed.electrodes.at(0);
    const Electrode on_surface = placed_alone(mesh, ground, c.x, 0, false);
    EXPECT_EQ(given.z, on_surface.z);
    EXPECT_FALSE(given.buried);
    EXPECT_NEAR(given.lowered, c.lowered, 1e-15);
    ASSERT_EQ(given.count, on_surface.count);
    for (std::int32_t k = 0; k < given.count; ++k) {
      EXPECT_EQ(given.node[k], on_surface.node[k]);
      EXPECT_EQ(given.weight[k], on_surface.weight[k]);
    }
    EXPECT_EQ(placed.lowered_count, 1);
    char most[32];
    std::snprintf(most, sizeof most, "%.3g", c.lowered);
    EXPECT_EQ(lowered_electrodes_note(placed),
              "Note: 1 electrode given above the ground surface of the mesh, by " +
                  std::string(most) + " m at most, stands on it.\n");
  }
  // Off a node by rounding: the node's weights, spread along both axes.
  const Ground flat = make_ground(mesh, std::vector<std::int32_t>(9, 0));
  const Electrode exact = placed_alone(mesh, flat, 1, 3, true);
  const Electrode rounded = placed_alone(mesh, flat, 1 + 4e-16, 3 - 4e-16, true);
  ASSERT_EQ(rounded.count, 9);
  ASSERT_EQ(exact.count, 9);
  for (std::int32_t k = 0; k < exact.count; ++k) EXPECT_EQ(rounded.weight[k], exact.weight[k]);
  EXPECT_EQ(lowered_electrodes_note(SurveyElectrodes{}), "");
}

TEST(Electrodes, APotentialElectrodeWhereACurrentElectrodeStandsIsRefusedByItsDatum) {
  struct Case {
    std::vector<double> a, b, m, n;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{-3, 0},
       {-2, 2},
       {-1, 0},
       {1, 2},
       "\nError: electrode M of datum 2 at x = 0 stands on current electrode A: the potential "
       "there is infinite\n"},
      {{-3},
       {-2},
       {-1},
       {-2},
       "\nError: electrode N of datum 1 at x = -2 stands on current electrode B: the potential "
       "there is infinite\n"},
      {{1},
       {1},
       {1},
       {1},
       "\nError: electrode M of datum 1 at x = 1 stands on current electrode A: the potential "
       "there is infinite\n"},
  };
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), x_nodes, z_nodes);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>(9, 0));
  for (const Case& c : cases) {
    Transcript run;
    SurveyArrays arrays;
    arrays.a = c.a;
    arrays.b = c.b;
    arrays.m = c.m;
    arrays.n = c.n;
    SurveyData survey;
    survey_from_arrays(run.io(), arrays, survey);
    EXPECT_THROW(place_electrodes(run.io(), mesh, ground, survey), Stop);
    EXPECT_EQ(run.console(), c.message);
    EXPECT_EQ(run.log(), c.message);
  }
  // Buried: the same x at another depth is another electrode; the same x and z is refused.
  Transcript run;
  std::vector<double> a = {0}, b = {1}, m = {0}, n = {2}, za = {1}, zb = {1}, zm = {2}, zn = {1};
  SurveyArrays arrays{a, b, m, n, za, zb, zm, zn, {}, {}, {}};
  SurveyData survey;
  survey_from_arrays(run.io(), arrays, survey);
  EXPECT_NO_THROW(place_electrodes(run.io(), mesh, ground, survey));
  zm = {1};
  SurveyArrays same{a, b, m, n, za, zb, zm, zn, {}, {}, {}};
  survey_from_arrays(run.io(), same, survey);
  EXPECT_THROW(place_electrodes(run.io(), mesh, ground, survey), Stop);
  EXPECT_EQ(run.console(),
            "\nError: electrode M of datum 1 at x = 0, z = 1 stands on current electrode A: the "
            "potential there is infinite\n");
}

// The note on electrodes too close for the cells around them names the datum with the fewest cells
// between a current and a potential electrode, counted in the larger cell of the two.
TEST(CloseElectrodes, NamesTheDatumWithTheFewestCells) {
  struct Case {
    std::vector<double> a, b, m, n;
    std::string note;
  };
  const std::vector<Case> cases = {
      {{-12, 0}, {12, 0}, {-4, 3}, {4, 3}, ""},
      {{-12, 0},
       {12, 0},
       {-4, 2},
       {4, 2},
       "Note: a current and a potential electrode of datum 2 of line.dat are 2 cells apart; the "
       "computed data err by up to a few per cent where fewer than 3 cells part them: finer cells "
       "around the electrodes make them exact.\n"},
      // 1.5 m from x = 10 (cells of 1 m) to x = 11.5 (cells of 1 and 2 m): 0.75 of the larger.
      {{-12, 10},
       {12, 10},
       {-4, 11.5},
       {4, 11.5},
       "Note: a current and a potential electrode of datum 2 of line.dat are 0.75 cells apart; the "
       "computed data err by up to a few per cent where fewer than 3 cells part them: finer cells "
       "around the electrodes make them exact.\n"},
  };
  Transcript t;
  std::vector<double> xs;
  for (int x = -30; x <= 11; ++x) xs.push_back(x);
  for (double x = 13; x <= 31; x += 2) xs.push_back(x);
  const std::vector<double> zs = {0, 1, 2, 4, 8, 16, 32};
  const Mesh mesh = mesh_from_nodes(t.io(), xs, zs);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>(xs.size() - 1, 0));
  for (const Case& c : cases) {
    SurveyArrays arrays;
    arrays.a = c.a;
    arrays.b = c.b;
    arrays.m = c.m;
    arrays.n = c.n;
    SurveyData survey;
    survey_from_arrays(t.io(), arrays, survey);
    EXPECT_EQ(close_electrodes_note(place_electrodes(t.io(), mesh, ground, survey), "line.dat"),
              c.note);
  }
}

}  // namespace
}  // namespace quelby
