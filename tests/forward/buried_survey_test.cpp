// Buried electrodes on the mesh made for their survey: fine cells at every electrode, each on a
// node, a core reaching below the deepest, and the forward model on that mesh against the image
// solution of a uniform half-space, surface and buried electrodes together, and reciprocity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "tests/forward/buried_fixtures.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::BuriedQuad;
using testing::Point;
using testing::TempFolder;
using testing::Transcript;

// Pole-pole readings from `source` to each of `receivers`.
std::vector<BuriedQuad> poles_from(Point source, const std::vector<Point>& receivers) {
  std::vector<BuriedQuad> quads;
  for (const Point& receiver : receivers) quads.push_back({source, source, receiver, receiver});
  return quads;
}

// A borehole at x = 12, electrodes every metre from 1 to 10 m deep, beside a surface line of 9
// electrodes 5 m apart: dipoles in the hole read at the surface, dipoles at the surface read in
// the hole, surface dipole-dipole, and pole-dipole from the hole.
std::vector<BuriedQuad> borehole_beside_a_line() {
  std::vector<BuriedQuad> quads;
  for (int k = 1; k + 1 <= 10; k += 2) {
    for (int e = 0; e + 1 < 9; e += 2) {
      const Point a{12, double(k)}, b{12, double(k + 1)}, m{5.0 * e, 0}, n{5.0 * e + 5, 0};
      quads.push_back({a, b, m, n});
      quads.push_back({m, n, a, b});
      quads.push_back({a, a, m, n});
    }
  }
  for (int e = 0; e + 3 < 9; ++e) {
    quads.push_back({{5.0 * e, 0}, {5.0 * e + 5, 0}, {5.0 * e + 10, 0}, {5.0 * e + 15, 0}});
  }
  return quads;
}

std::vector<Point> electrodes_of(const std::vector<BuriedQuad>& quads) {
  std::vector<Point> points;
  for (const BuriedQuad& q : quads) {
    for (const Point& p : {q.a, q.b, q.m, q.n}) {
      if (std::find(points.begin(), points.end(), p) == points.end()) points.push_back(p);
    }
  }
  return points;
}

bool holds(const std::vector<double>& nodes, double position) {
  return std::find(nodes.begin(), nodes.end(), position) != nodes.end();
}

TEST(BuriedSurveyMesh, FineCellsAtEveryElectrodeOnItsNodesAboveACoreBelowTheDeepest) {
  struct Case {
    std::string name;
    std::vector<BuriedQuad> quads;
    double core_cell;  // a quarter of the smallest spacing along x
  };
  const std::vector<Case> cases = {
      {"crosshole 10 m apart, 1 to 15 m deep", testing::crosshole_panel(0, 10, 1, 15, 1, 4), 2.5},
      {"crosshole 8 m apart, 2 to 20 m deep", testing::crosshole_panel(0, 8, 2, 20, 2, 6), 2},
      {"a borehole beside a surface line", borehole_beside_a_line(), 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Transcript t;
    const SurveyData survey = testing::buried_survey(c.quads, t.io());
    const Mesh mesh = mesh_for_survey(t.io(), survey);
    // The file holds the same nodes.
    TempFolder folder;
    write_mesh(t.io(), folder.file("m.msh"), mesh);
    Mesh read;
    load_mesh(t.io(), folder.file("m.msh"), read);
    EXPECT_EQ(read.x_nodes, mesh.x_nodes);
    EXPECT_EQ(read.z_nodes, mesh.z_nodes);

    const std::vector<Point> points = electrodes_of(c.quads);
    double deepest = 0;
    for (const Point& p : points) {
      deepest = std::max(deepest, p.z);
      double nearest = std::numeric_limits<double>::infinity();
      for (const Point& o : points) {
        if (!(o == p)) nearest = std::min(nearest, std::hypot(o.x - p.x, o.z - p.z));
      }
      const double finest = std::min(c.core_cell, nearest / 4) * (1 + 1e-9);
      SCOPED_TRACE(std::to_string(p.x) + ", " + std::to_string(p.z));
      ASSERT_TRUE(holds(mesh.x_nodes, p.x));
      const auto i = static_cast<std::size_t>(
          std::find(mesh.x_nodes.begin(), mesh.x_nodes.end(), p.x) - mesh.x_nodes.begin());
      EXPECT_LE(mesh.dx[i - 1], finest);
      EXPECT_LE(mesh.dx[i], finest);
      if (p.z == 0) continue;
      ASSERT_TRUE(holds(mesh.z_nodes, p.z));
      const auto k = static_cast<std::size_t>(
          std::find(mesh.z_nodes.begin(), mesh.z_nodes.end(), p.z) - mesh.z_nodes.begin());
      EXPECT_LE(mesh.dz[k - 1], finest);
      EXPECT_LE(mesh.dz[k], finest);
    }
    // Core cells, no thicker than the core cell, reach 4 of them below the deepest electrode.
    EXPECT_EQ(mesh.z_nodes.front(), 0);
    for (std::size_t k = 0; k < mesh.dz.size() && mesh.z_nodes[k] < deepest + 4 * c.core_cell;
         ++k) {
      EXPECT_LE(mesh.dz[k], c.core_cell * (1 + 1e-9)) << "row " << k;
    }
  }
}

// Surface electrodes given with z = 0 get the mesh of their x alone, where the core cells are no
// wider than a quarter of their spacing (by default, and when chosen so).
TEST(BuriedSurveyMesh, SurfaceElectrodesGivenWithZGetTheMeshOfTheirPositionsAlong) {
  Transcript t;
  std::vector<BuriedQuad> quads;
  for (const testing::Quad& q : testing::dipole_dipole(12, 5, 4)) {
    quads.push_back({{q.a, 0}, {q.b, 0}, {q.m, 0}, {q.n, 0}});
  }
  const SurveyData with_z = testing::buried_survey(quads, t.io());
  const SurveyData along = testing::survey_of(testing::dipole_dipole(12, 5, 4), t.io());
  for (const double cell : {0.0, 1.0}) {
    SurveyMeshOptions options;
    options.cell_width = cell;
    const Mesh buried = mesh_for_survey(t.io(), with_z, options);
    const Mesh flat = mesh_for_survey(t.io(), along, options);
    EXPECT_EQ(buried.x_nodes, flat.x_nodes) << cell;
    EXPECT_EQ(buried.z_nodes, flat.z_nodes) << cell;
  }
}

double worst_error(const std::vector<BuriedQuad>& quads, double rho) {
  Transcript t;
  const SurveyData survey = testing::buried_survey(quads, t.io());
  const Mesh mesh = mesh_for_survey(t.io(), survey);
  ForwardModel model(t.io(), mesh, std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0),
                     survey);
  const std::vector<double> data =
      model.data(t.io(), std::vector<double>(static_cast<std::size_t>(mesh.nx) * mesh.nz, rho));
  double worst = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const BuriedQuad q = testing::grouped_buried_quad(survey, i);
    worst = std::max(worst, std::abs(data[i] / testing::image_datum(q, rho) - 1));
  }
  return worst;
}

// A pole 6 m down a borehole read by poles in the same hole, in a second hole and at the surface,
// and the borehole beside a surface line, on the meshes made for them with the defaults, to a
// percent. The crosshole panel's weakest data, dipoles of 1 m read 10 m away (a hundredth of the
// pole potentials), to a percent and a half.
TEST(BuriedForward, OnTheMeshForTheSurveyDataMatchTheImageSolution) {
  std::vector<Point> receivers;
  for (const double z : {1.0, 2.0, 3.0, 4.0, 5.0, 7.0, 8.0, 10.0, 12.0})
    receivers.push_back({0, z});
  for (double z = 0; z <= 12; z += 2) receivers.push_back({6, z});
  for (double x = -12; x <= 12; x += 3) receivers.push_back({x, 0});
  EXPECT_LT(worst_error(poles_from({0, 6}, receivers), 100), 0.01);
  EXPECT_LT(worst_error(borehole_beside_a_line(), 30), 0.01);
  EXPECT_LT(worst_error(testing::crosshole_panel(0, 10, 1, 15, 1, 4), 50), 0.015);
}

// Current and potential dipoles exchanged give the same datum over any model: the operator is
// symmetric and each electrode takes and gives its current through the same weights.
TEST(BuriedForward, ExchangingCurrentAndPotentialDipolesKeepsTheDatum) {
  Transcript t;
  std::vector<BuriedQuad> quads;
  for (const BuriedQuad& q : borehole_beside_a_line()) {
    if (q.b == q.a) continue;
    quads.push_back(q);
    quads.push_back({q.m, q.n, q.a, q.b});
  }
  const SurveyData survey = testing::buried_survey(quads, t.io());
  const Mesh mesh = mesh_for_survey(t.io(), survey);
  // A conductive block between the line and the hole's bottom, in a resistive host.
  std::vector<double> rho(static_cast<std::size_t>(mesh.nx) * mesh.nz, 200);
  for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
      if (std::abs(mesh.x_centres[i] - 20) < 4 && mesh.z_centres[k] > 3 && mesh.z_centres[k] < 8)
        rho[k * static_cast<std::size_t>(mesh.nx) + i] = 5;
    }
  }
  ForwardModel model(t.io(), mesh, std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0),
                     survey);
  const std::vector<double> data = model.data(t.io(), rho);
  // In grouped order each reading's exchanged twin is found by its electrodes.
  for (std::size_t i = 0; i < data.size(); ++i) {
    const BuriedQuad q = testing::grouped_buried_quad(survey, i);
    for (std::size_t j = 0; j < data.size(); ++j) {
      const BuriedQuad r = testing::grouped_buried_quad(survey, j);
      if (!(r.a == q.m && r.b == q.n && r.m == q.a && r.n == q.b)) continue;
      EXPECT_NEAR(data[j], data[i], 1e-9 * std::abs(data[i])) << i << " " << j;
    }
  }
}

}  // namespace
}  // namespace quelby
