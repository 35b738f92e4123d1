// The mesh for a survey: its core under the electrodes, its padding, and the mesh file it is
// written as, read back by the library's own mesh reader.
#include "quelby/forward/survey_mesh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(SurveyMesh, CoreUnderTheElectrodesPaddedToFiveLineLengths) {
  Transcript t;
  const SurveyData survey = testing::survey_of(testing::dipole_dipole(32, 5, 8), t.io());
  SurveyMeshOptions options;
  options.cell_width = 0.625;
  options.depth_growth = 1;
  const Mesh mesh = mesh_for_survey(t.io(), survey, options);
  // 155 m of electrodes in 248 cells, 4 more on each side, 22 padding cells growing by 1.3
  // (rounded to three digits) on each side and below a core of 3/4 of the 50 m largest
  // separation, equal core rows without depth growth.
  EXPECT_EQ(mesh.nx, 248 + 8 + 44);
  EXPECT_EQ(mesh.nz, 60 + 22);
  EXPECT_DOUBLE_EQ(mesh.dx[22], 0.625);
  EXPECT_NEAR(mesh.dx[21], 0.813, 1e-9);  // 0.8125 to three digits
  EXPECT_NEAR(mesh.dx[0], 0.625 * std::pow(1.3, 22), 0.01 * 0.625 * std::pow(1.3, 22));
  EXPECT_NEAR(mesh.x_nodes[26], 0, 1e-9);  // the first electrode stands on a node
  EXPECT_NEAR(mesh.x_nodes[26 + 248], 155, 1e-9);
  EXPECT_GE(mesh.x_nodes.back() - 155, 5 * 155);
  EXPECT_GE(mesh.z_nodes.back() - 37.5, 5 * 155);
  // A quarter of the smallest spacing by default.
  const Mesh coarse = mesh_for_survey(t.io(), survey);
  EXPECT_DOUBLE_EQ(coarse.dx[coarse.nx / 2], 1.25);
  // By default the core rows below four core cells grow by 1.1 a row (to three digits) down to
  // the core's depth, the padding by 1.3 from the last of them; the columns stay as they were.
  options.depth_growth = 1.1;
  const Mesh graded = mesh_for_survey(t.io(), survey, options);
  EXPECT_EQ(graded.x_nodes, mesh.x_nodes);
  for (std::int32_t k = 0; k < 4; ++k) EXPECT_DOUBLE_EQ(graded.dz[k], 0.625);
  EXPECT_NEAR(graded.dz[4], 0.688, 1e-12);
  double core = 2.5;
  std::int32_t k = 4;
  for (; core < 37.5 - 1e-9; ++k) {
    EXPECT_NEAR(graded.dz[k] / graded.dz[k - 1], 1.1, 0.005) << "row " << k;
    core += graded.dz[k];
  }
  EXPECT_NEAR(graded.dz[k] / graded.dz[k - 1], 1.3, 0.005) << "the first padding row";
  EXPECT_LT(graded.nz, 45);  // against 82 equal core rows and padding
  EXPECT_GE(graded.z_nodes.back() - 37.5, 5 * 155);
}

// Under a topography the mesh keeps the flat mesh's columns, starts at the highest ground and
// reaches the core depth below the lowest ground under the electrodes; every column then has its
// air rows and the electrodes stand on ground. A ground at z = 0 gives the flat mesh itself.
TEST(SurveyMesh, UnderAGroundTheRowsSpanItsRelief) {
  Transcript t;
  TempFolder folder;
  const SurveyData survey = testing::survey_of(testing::dipole_dipole(12, 5, 4), t.io());
  const Mesh flat = mesh_for_survey(t.io(), survey);
  struct Case {
    std::string points;  // the topography file's points, reference elevation 100
    double top;          // the highest ground's z
    double lowest;       // the lowest ground's z under the electrodes (0 to 55 m)
  };
  const std::vector<Case> cases = {
      {"-1e4 100\n1e4 100\n", 0, 0},
      {"-1e4 100\n0 100\n55 105.5\n1e4 105.5\n", -5.5, 0},  // rising along the line
      {"-1e4 97\n20 97\n30 92\n1e4 92\n", 3, 8},            // a step down, below z = 0
      {"-1e4 130\n-100 130\n0 100\n1e4 100\n", -30, 0},     // a hill in the padding
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.points);
    const std::string name = folder.file("ground.topo");
    std::ofstream(name) << std::count(c.points.begin(), c.points.end(), '\n') << " 100\n"
                        << c.points;
    const Mesh mesh = mesh_for_survey_under_ground(t.io(), survey, name);
    EXPECT_EQ(mesh.x_nodes, flat.x_nodes);
    EXPECT_NEAR(mesh.z_nodes.front(), c.top, 1e-9);
    const double cell = flat.dz.front();
    EXPECT_DOUBLE_EQ(mesh.dz.front(), cell);
    // The core's square rows reach the flat mesh's core depth below the lowest ground.
    std::size_t core_rows = 0;
    while (core_rows < mesh.dz.size() && mesh.dz[core_rows] == cell) ++core_rows;
    std::size_t flat_rows = 0;
    while (flat_rows < flat.dz.size() && flat.dz[flat_rows] == cell) ++flat_rows;
    const double core_bottom = mesh.z_nodes[core_rows];
    EXPECT_GE(core_bottom + 1e-9, c.lowest + flat.z_nodes[flat_rows]);
    EXPECT_LT(core_bottom, c.lowest + flat.z_nodes[flat_rows] + cell + 1e-9);
    if (c.top == 0 && c.lowest == 0) {
      EXPECT_EQ(mesh.z_nodes, flat.z_nodes);
    }
  }
}

TEST(SurveyMesh, TheWrittenFileReadsBackToTheSameCells) {
  Transcript t;
  TempFolder folder;
  const SurveyData survey = testing::survey_of({{0, 3, 7.5, 9}, {1.5, 1.5, 12, 12}}, t.io());
  SurveyMeshOptions options;
  options.padding_cells = 6;
  options.growth = 1.4;
  options.core_depth = 4;
  const Mesh made = mesh_for_survey(t.io(), survey, options);
  const std::string name = (folder.path() / "survey.msh").string();
  write_mesh(t.io(), name, made);
  Mesh read;
  load_mesh(t.io(), name, read);
  ASSERT_EQ(read.nx, made.nx);
  ASSERT_EQ(read.nz, made.nz);
  for (std::size_t i = 0; i < made.x_nodes.size(); ++i)
    EXPECT_NEAR(read.x_nodes[i], made.x_nodes[i], 1e-12 * (1 + std::abs(made.x_nodes[i])));
  for (std::size_t k = 0; k < made.z_nodes.size(); ++k)
    EXPECT_NEAR(read.z_nodes[k], made.z_nodes[k], 1e-12 * (1 + made.z_nodes[k]));
  // Runs of equal cells are one segment each: 6 padding cells, the core, 6 more in x.
  const std::string text = testing::read_file(name);
  EXPECT_EQ(text.substr(0, text.find('\n')), "13");
}

TEST(SurveyMesh, NodesAndOptionsAreChecked) {
  Transcript t;
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 3}, std::vector<double>{0, 2});
  EXPECT_EQ(mesh.nx, 2);
  EXPECT_EQ(mesh.nz, 1);
  EXPECT_DOUBLE_EQ(mesh.dx[1], 2);
  EXPECT_DOUBLE_EQ(mesh.x_mid, 1.5);
  EXPECT_THROW(mesh_from_nodes(t.io(), std::vector<double>{0, 1, 1}, std::vector<double>{0, 2}),
               Stop);
  EXPECT_NE(t.console().find("Error: X nodes should be finite and in increasing order"),
            std::string::npos);
  const SurveyData survey = testing::survey_of({{0, 1, 2, 3}}, t.io());
  SurveyMeshOptions bad;
  bad.growth = 0.9;
  EXPECT_THROW(mesh_for_survey(t.io(), survey, bad), Stop);
}

// A mesh a mesh file cannot hold ((nx + 1) x (nz + 1) nodes beyond 32 bits), or whose nodes
// cannot be told apart, is refused before it is allocated, naming what makes it so; the largest
// sizes met on the way through are accepted whole.
TEST(SurveyMesh, MeshesBeyondWhatAFileHoldsAreRefused) {
  Transcript t;
  // Electrodes 0 to 15 m, 3 m apart: a quarter spacing is 0.75 m.
  const SurveyData survey = testing::survey_of({{0, 3, 6, 9}, {3, 6, 12, 15}}, t.io());
  struct Case {
    const char* what;
    SurveyMeshOptions options;
    std::string message;  // empty: accepted
  };
  const auto with = [](double cell, double depth, int padding, double growth) {
    SurveyMeshOptions options;
    options.cell_width = cell;
    options.core_depth = depth;
    options.padding_cells = padding;
    options.growth = growth;
    return options;
  };
  const std::string too_many =
      "cells, more than a mesh for a survey may have (1000000 cells along x or z, 2147483647 "
      "nodes in all); choose a larger cell width or a smaller core depth";
  const std::vector<Case> cases = {
      {"1e-9 m cells", with(1e-9, 0, 0, 1.3),
       "Error: a core cell of 1e-09 m over 15 m of electrodes and a core depth of 9 m make a mesh "
       "of 15000000188 x 310 " +
           too_many},
      {"1e-7 m cells", with(1e-7, 0, 0, 1.3), "mesh of 150000154 x 245 cells"},
      {"a 1e300 m core", with(0, 1e300, 0, 1.3),
       "a core cell of 0.75 m over 15 m of electrodes and a core depth of 1e+300 m make a mesh "
       "of 428 x 1.3333333333333334e+300 cells"},
      {"two billion padding cells", with(1, 0, 2000000000, 1.3), "mesh of 4000000023 x"},
      {"padding beyond the range of doubles", with(1, 0, 100, 1e10),
       "Error: the mesh's x node 1 is not a finite number"},
      {"1.5 million columns over a shallow core", with(1e-5, 4e-5, 10, 1.3),
       "make a mesh of 1500028 x 14 cells"},
      {"750 thousand columns over a shallow core", with(2e-5, 8e-5, 10, 1.3), ""},
      {"1e-3 m cells", with(1e-3, 0, 0, 1.3), ""},
      {"a 1e4 m core", with(0, 1e4, 0, 1.3), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Transcript run;
    if (c.message.empty()) {
      const Mesh mesh = mesh_for_survey(run.io(), survey, c.options);
      EXPECT_EQ(static_cast<std::int64_t>(mesh.node_count),
                (std::int64_t{mesh.nx} + 1) * (std::int64_t{mesh.nz} + 1));
      EXPECT_EQ(mesh.x_nodes.size(), static_cast<std::size_t>(mesh.nx) + 1);
      continue;
    }
    EXPECT_THROW(mesh_for_survey(run.io(), survey, c.options), Stop);
    EXPECT_NE(run.console().find(c.message), std::string::npos) << run.console();
    EXPECT_EQ(run.console(), run.log());
  }
  // Positions too large for the cells between them to be told apart.
  Transcript far;
  const SurveyData distant =
      testing::survey_of({{1e17, 1e17 + 16, 1e17 + 32, 1e17 + 48}}, far.io());
  EXPECT_THROW(mesh_for_survey(far.io(), distant), Stop);
  EXPECT_NE(far.console().find("Error: the mesh's x node"), std::string::npos) << far.console();
  EXPECT_NE(far.console().find("a core cell of 4 m cannot be placed at these positions"),
            std::string::npos);
}

}  // namespace
}  // namespace quelby
