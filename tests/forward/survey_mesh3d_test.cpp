// The 3-D mesh for a survey: electrodes on nodes, core cells from the spacing, padding and depth
// far beyond the electrodes, no cell jumping in size, the cell budget met, and bad options refused.
#include "quelby/forward/survey_mesh3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// nx x ny electrodes `spacing` apart from (x0, y0) at depth z.
std::vector<ElectrodePosition> grid_of(int nx, int ny, double spacing, double x0 = 0, double y0 = 0,
                                       double z = 0) {
  std::vector<ElectrodePosition> electrodes;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) electrodes.push_back({x0 + i * spacing, y0 + j * spacing, z});
  return electrodes;
}

bool is_node(const std::vector<double>& nodes, double position) {
  return std::binary_search(nodes.begin(), nodes.end(), position);
}

// The largest ratio of neighbouring widths, either way.
double largest_jump(const std::vector<double>& widths) {
  double jump = 1;
  for (std::size_t i = 1; i < widths.size(); ++i)
    jump = std::max({jump, widths[i] / widths[i - 1], widths[i - 1] / widths[i]});
  return jump;
}

double widest_between(const std::vector<double>& nodes, double from, double to) {
  double widest = 0;
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i)
    if (nodes[i] >= from && nodes[i + 1] <= to) widest = std::max(widest, nodes[i + 1] - nodes[i]);
  return widest;
}

TEST(SurveyMesh3D, ElectrodesOnNodesFineCoreAndFarBoundaries) {
  std::vector<ElectrodePosition> irregular = {{0, 0, 0}, {0.7, 0, 0}, {1.0, 0.4, 0}, {2.9, 0.4, 0}};
  std::vector<ElectrodePosition> boreholes = grid_of(1, 1, 1);
  for (const double z : {1.0, 2.0, 3.0, 4.0}) {
    boreholes.push_back({0, 0, z});
    boreholes.push_back({6, 0, z});
  }
  struct Case {
    const char* name;
    std::vector<ElectrodePosition> electrodes;
    double core_x, core_y;  // the widest core cell along each axis allowed
    double layer;           // the thickest layer allowed down to the deepest electrode
    double extent;          // the survey's largest span
    double largest_jump;    // of neighbouring cells along x, y and z; 0: not checked
  };
  const std::vector<Case> cases = {
      {"grid 28 x 14", grid_of(28, 14, 0.2), 0.1, 0.1, 0.1, 5.4, 1.31},
      {"line along x", grid_of(32, 1, 1, -5, 7.5), 0.5, 0.5, 0.5, 31, 1.31},
      {"line along y", grid_of(1, 10, 2, 3, 0), 1, 1, 1, 18, 1.31},
      // x 0.3 apart, but no two electrodes closer than 0.5: cells of a quarter metre.
      {"irregular", irregular, 0.25, 0.25, 0.25, 2.9, 0},
      // Holes 6 m apart, electrodes 1 m apart in them: cells of 1 m across, layers of 0.5 m.
      {"boreholes", boreholes, 1, 1, 0.5, 6, 0},
      {"one electrode", grid_of(1, 1, 1, 2, 2), 1, 1, 1, 0, 1.31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Transcript t;
    const Mesh3D mesh = mesh3d_for_electrodes(t.io(), c.electrodes);
    double x_min = 1e300, x_max = -1e300, y_min = 1e300, y_max = -1e300, deepest = 0;
    for (const ElectrodePosition& e : c.electrodes) {
      EXPECT_TRUE(is_node(mesh.x_nodes, e.x)) << e.x;
      EXPECT_TRUE(is_node(mesh.y_nodes, e.y)) << e.y;
      EXPECT_TRUE(is_node(mesh.z_nodes, e.z)) << e.z;
      x_min = std::min(x_min, e.x), x_max = std::max(x_max, e.x);
      y_min = std::min(y_min, e.y), y_max = std::max(y_max, e.y);
      deepest = std::max(deepest, e.z);
    }
    EXPECT_LE(widest_between(mesh.x_nodes, x_min, x_max), c.core_x * (1 + 1e-9));
    EXPECT_LE(widest_between(mesh.y_nodes, y_min, y_max), c.core_y * (1 + 1e-9));
    // Buried electrodes stand in layers no thicker than the core cell.
    EXPECT_LE(widest_between(mesh.z_nodes, 0, deepest), c.layer * (1 + 1e-9));
    // The boundaries at least three extents (or 24 core cells) beyond the electrodes.
    const double far = 3 * std::max(c.extent, 8 * c.layer);
    EXPECT_LE(mesh.x_nodes.front(), x_min - far);
    EXPECT_GE(mesh.x_nodes.back(), x_max + far);
    EXPECT_LE(mesh.y_nodes.front(), y_min - far);
    EXPECT_GE(mesh.y_nodes.back(), y_max + far);
    EXPECT_GE(mesh.z_nodes.back(), deepest + far);
    EXPECT_EQ(mesh.z_nodes.front(), 0);
    // Thin layers at the ground: a quarter of the spacing.
    EXPECT_LE(mesh.dz.front(), c.layer / 2 * (1 + 1e-9));
    if (c.largest_jump > 0) {
      EXPECT_LE(largest_jump(mesh.dx), c.largest_jump);
      EXPECT_LE(largest_jump(mesh.dy), c.largest_jump);
      EXPECT_LE(largest_jump(mesh.dz), c.largest_jump);
    }
  }
}

TEST(SurveyMesh3D, ThinLayersThroughTheRelief) {
  struct Case {
    double relief;
    double top;
  };
  for (const Case& c : std::vector<Case>{{1.5, 0}, {0.75, -2}, {3, 10}}) {
    SCOPED_TRACE(c.relief);
    // Electrodes on a slope from the top down through the relief, 1 m apart.
    std::vector<ElectrodePosition> electrodes = grid_of(6, 3, 1);
    for (ElectrodePosition& e : electrodes) e.z = c.top + c.relief * e.x / 5;
    SurveyMesh3DOptions options;
    options.relief = c.relief;
    options.top = c.top;
    Transcript t;
    const Mesh3D mesh = mesh3d_for_electrodes(t.io(), electrodes, options);
    EXPECT_EQ(mesh.z_nodes.front(), c.top);
    for (const ElectrodePosition& e : electrodes) EXPECT_TRUE(is_node(mesh.z_nodes, e.z)) << e.z;
    EXPECT_LE(widest_between(mesh.z_nodes, c.top, c.top + c.relief + 2), 0.5 * (1 + 1e-9));
    EXPECT_GE(mesh.z_nodes.back(), c.top + c.relief + 3 * 5);
  }
}

TEST(SurveyMesh3D, TheGridSurveyMakesTheCellsItsHeaderStates) {
  struct Case {
    std::int64_t budget;
    std::int32_t nx, ny, nz;
  };
  const std::vector<Case> cases = {
      {0, 88, 60, 31},
      {100000, 84, 41, 29},
      {1000000, 177, 120, 47},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.budget);
    Transcript t;
    SurveyMesh3DOptions options;
    options.cell_budget = c.budget;
    Survey3D survey;
    survey.electrodes = grid_of(28, 14, 0.2);
    const Mesh3D mesh = survey_mesh3d(t.io(), survey, options);
    EXPECT_EQ(mesh.nx, c.nx);
    EXPECT_EQ(mesh.ny, c.ny);
    EXPECT_EQ(mesh.nz, c.nz);
  }
}

TEST(SurveyMesh3D, ABudgetGivesTheFinestMeshWithinIt) {
  for (const std::int64_t budget : {20000, 100000, 300000, 1000000}) {
    SCOPED_TRACE(budget);
    Transcript t;
    SurveyMesh3DOptions options;
    options.cell_budget = budget;
    const Mesh3D mesh = mesh3d_for_electrodes(t.io(), grid_of(28, 14, 0.2), options);
    EXPECT_LE(mesh.cell_count(), budget);
    // Electrodes on nodes make whole cells between them; the other axes' sizes fill the budget.
    EXPECT_GE(mesh.cell_count(), budget * 95 / 100);
    for (const ElectrodePosition& e : grid_of(28, 14, 0.2)) {
      EXPECT_TRUE(is_node(mesh.x_nodes, e.x) && is_node(mesh.y_nodes, e.y));
    }
  }
}

TEST(SurveyMesh3D, RefusesOptionsOutOfRange) {
  struct Case {
    const char* name;
    SurveyMesh3DOptions options;
    std::vector<ElectrodePosition> electrodes;
    const char* message;
  };
  const auto with = [](auto change) {
    SurveyMesh3DOptions options;
    change(options);
    return options;
  };
  const std::vector<ElectrodePosition> grid = grid_of(4, 4, 1);
  const std::vector<Case> cases = {
      {"no electrodes", {}, {}, "no electrodes"},
      {"not a number", {}, {{0, 0, 0}, {1, std::nan(""), 0}}, "electrode 2"},
      {"negative width", with([](auto& o) { o.cell_width = -1; }), grid, "cell width"},
      {"growth below 1", with([](auto& o) { o.growth = 0.9; }), grid, "padding growth"},
      {"depth growth below 1", with([](auto& o) { o.depth_growth = 0.5; }), grid, "depth growth"},
      {"negative margin", with([](auto& o) { o.margin_cells = -1; }), grid, "margin"},
      {"negative relief", with([](auto& o) { o.relief = -1; }), grid, "relief"},
      {"electrode above the top", with([](auto& o) { o.top = 0.5; }), grid, "above the top"},
      {"budget too small", with([](auto& o) { o.cell_budget = 10; }), grid, "10 cells"},
      {"far too many cells", with([](auto& o) { o.cell_width = 1e-6; }), grid, "cells"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Transcript t;
    EXPECT_THROW(mesh3d_for_electrodes(t.io(), c.electrodes, c.options), Stop);
    EXPECT_NE(t.console().find(c.message), std::string::npos) << t.console();
  }
}

}  // namespace
}  // namespace quelby
