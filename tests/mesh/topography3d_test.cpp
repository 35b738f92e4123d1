#include "quelby/mesh/topography3d.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/mutations.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

// A plane of elevations: 50 + x / 4 - y / 8 (exact in binary at the positions used here).
double plane(double x, double y) {
  return 50 + x / 4 - y / 8;
}

Mesh3D grid_mesh(const Io& io) {
  // Columns 10 m wide from 0 to 80 and 0 to 40; layers of 2 m from z = 0.
  std::vector<double> x, y, z;
  for (int i = 0; i <= 8; ++i) x.push_back(10.0 * i);
  for (int j = 0; j <= 4; ++j) y.push_back(10.0 * j);
  for (int k = 0; k <= 20; ++k) z.push_back(2.0 * k);
  return make_mesh3d(io, x, y, z);
}

// The layers above the z node nearest `surface`, a tie going up: the rule spelled out.
std::int32_t expected_air(const std::vector<double>& z_nodes, double surface) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < z_nodes.size(); ++k) {
    if (std::abs(z_nodes[k] - surface) < std::abs(z_nodes[best] - surface)) best = k;
  }
  return static_cast<std::int32_t>(best);
}

TEST(Topography3D, AGridOfAPlaneGivesThePlaneAndItsAirCells) {
  Transcript transcript;
  const Mesh3D mesh = grid_mesh(transcript.io());
  // Points at the column centres and at the mesh's edges, in a shuffled order: a full grid.
  std::string text = "0 0\n";
  std::vector<double> xs{0, 5, 15, 25, 35, 45, 55, 65, 75, 80};
  std::vector<double> ys{0, 5, 15, 25, 35, 40};
  std::string points;
  int count = 0;
  for (std::size_t j = ys.size(); j-- > 0;) {
    for (const double x : xs) {
      points += std::to_string(x) + " " + std::to_string(ys[j]) + " " +
                std::to_string(plane(x, ys[j])) + "\n";
      ++count;
    }
  }
  TempFolder folder;
  const std::string path = folder.write("plane.topo", std::to_string(count) + " 60\n" + points);
  Topography3D topography;
  read_topography3d(transcript.io(), true, path, topography);
  EXPECT_TRUE(topography.is_grid);
  EXPECT_EQ(transcript.log(), "3-D topography was read from file: " + path + "\n");
  for (const double x : {5.0, 12.5, 45.0, 79.0}) {
    for (const double y : {5.0, 20.0, 37.5}) {
      // z = 60 - elevation; at a point of the grid exactly, between them to rounding.
      EXPECT_NEAR(surface_z_at(topography, x, y), 60 - plane(x, y), 1e-12) << x << " " << y;
    }
  }
  EXPECT_EQ(surface_z_at(topography, 45, 25), 60 - plane(45, 25));
  // Beyond the grid the surface stays flat at the edge's height.
  EXPECT_EQ(surface_z_at(topography, -100, 25), surface_z_at(topography, 0, 25));
  const std::vector<std::int32_t> air = air_cells_3d(transcript.io(), mesh, topography);
  ASSERT_EQ(air.size(), 32u);
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 8; ++i) {
      const double surface = 60 - plane(mesh.x_centres[i], mesh.y_centres[j]);
      EXPECT_EQ(air[static_cast<std::size_t>(j * 8 + i)], expected_air(mesh.z_nodes, surface))
          << i << " " << j;
    }
  }
}

TEST(Topography3D, AStepAndItsTies) {
  Transcript transcript;
  const Mesh3D mesh = grid_mesh(transcript.io());
  // Elevation 10 west of x = 40, 3 east of x = 50, a ramp between; reference 10, so z is 0 west
  // of the step and 7 east of it, the ramp's middle (the column at x = 45) at 3.5.
  std::vector<double> x, y, e;
  for (const double px : {0.0, 40.0, 50.0, 80.0}) {
    for (const double py : {0.0, 40.0}) {
      x.push_back(px);
      y.push_back(py);
      e.push_back(px < 45 ? 10 : 3);
    }
  }
  Topography3D topography;
  topography3d_from_points(x, y, e, 10, topography);
  ASSERT_TRUE(topography.is_grid);
  const std::vector<std::int32_t> air = air_cells_3d(transcript.io(), mesh, topography);
  // z 7 lies between nodes 6 and 8: a tie, which goes to the upper node (3 layers of air); z 3.5
  // is nearest node 4 (2 layers).
  const std::vector<std::int32_t> row{0, 0, 0, 0, 2, 3, 3, 3};
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(std::vector<std::int32_t>(air.begin() + j * 8, air.begin() + j * 8 + 8), row) << j;
  }
}

TEST(Topography3D, ScatteredPointsAreWeightedByDistance) {
  // Three points are no grid: the surface is their inverse-square-distance mean, or a point's
  // own elevation at the point.
  Topography3D topography;
  topography3d_from_points({0, 10, 0}, {0, 0, 10}, {4, 8, 12}, 100, topography);
  EXPECT_FALSE(topography.is_grid);
  EXPECT_EQ(surface_z_at(topography, 10, 0), 92);
  EXPECT_EQ(surface_z_at(topography, 1e-10, 0), 96);
  // At (5, 0): distances² 25, 25 and 125, weights 5:5:1.
  EXPECT_NEAR(surface_z_at(topography, 5, 0), 100 - (5 * 4 + 5 * 8 + 12) / 11.0, 1e-12);
  // Only the nearest 8 weigh in: a far point changes nothing where 8 lie close.
  std::vector<double> x, y, e;
  for (int p = 0; p < 8; ++p) {
    x.push_back(p);
    y.push_back(p * p);
    e.push_back(1);
  }
  topography3d_from_points(x, y, e, 0, topography);
  const double near_only = surface_z_at(topography, 3.5, 3);
  x.push_back(1000);
  y.push_back(0);
  e.push_back(500);
  topography3d_from_points(x, y, e, 0, topography);
  EXPECT_EQ(surface_z_at(topography, 3.5, 3), near_only);
}

TEST(Topography3D, WithoutAFileNoCellIsAir) {
  Transcript transcript;
  const Mesh3D mesh = grid_mesh(transcript.io());
  Topography3D topography;
  topography.flat_z = 1;
  read_topography3d(transcript.io(), false, "ignored.topo", topography);
  EXPECT_FALSE(topography.has_topography);
  EXPECT_EQ(air_cells_3d(transcript.io(), mesh, topography), std::vector<std::int32_t>(32, 0));
  EXPECT_EQ(surface_z_at(topography, 3, 4), 0);
  EXPECT_EQ(transcript.log(), "");
}

TEST(Topography3D, RefusesBadFiles) {
  struct Case {
    const char* what;
    const char* content;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no points", "0 100\n", "Error: # of points in the 3-D topography file should be positive."},
      {"a point missing", "3 100\n0 0 1\n1 0 1\n", "Error reading the 3-D topography file: "},
      {"a 2-D file's points", "2 100\n0 1\n10 2\n", "Error reading the 3-D topography file: "},
      {"an elevation not finite", "1 100\n0 0 nan\n", "Error reading the 3-D topography file: "},
      {"two points at one place", "3 100\n0 0 1\n5 5 2\n0 0 3\n",
       "Error: two points of the 3-D topography file lie at one position."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    Transcript transcript;
    const std::string path = folder.write("bad.topo", c.content);
    Topography3D topography;
    EXPECT_THROW(read_topography3d(transcript.io(), true, path, topography), Stop);
    EXPECT_NE(transcript.console().find(c.message), std::string::npos) << transcript.console();
  }
}

TEST(Topography3D, DamagedFilesGiveASurfaceOrAMessage) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = grid_mesh(transcript.io());
  for (const std::string& seed : {std::string("4 100\n0 -10 100\n30 -10 94\n0 30 100\n30 30 94\n"),
                                  std::string("3 10\n0 0 1\n50 5 -20\n10 35 3\n")}) {
    for (const std::string& text : testing::mutations(seed, 200, 5)) {
      const std::string path = folder.write("t.topo", text);
      Topography3D topography;
      if (!testing::read_or_message(
              text, [&](const Io& io) { read_topography3d(io, true, path, topography); })) {
        continue;
      }
      for (const std::int32_t air : air_cells_3d(transcript.io(), mesh, topography)) {
        EXPECT_TRUE(air >= 0 && air <= mesh.nz) << text;
      }
    }
  }
}

TEST(Topography3D, TheBucketSearchFindsWhatTheLiteralSearchFinds) {
  // Scattered points of several layouts, the surface at the centres of a mesh reaching beyond
  // them: the columns' surface (found through buckets) against surface_z_at (every point looked
  // at), bit for bit.
  std::mt19937 engine(11);
  const auto uniform = [&](double low, double high) {
    return low + (high - low) * static_cast<double>(engine()) / 4294967296.0;
  };
  Transcript transcript;
  std::vector<double> x_nodes, y_nodes;
  for (int i = 0; i <= 40; ++i) x_nodes.push_back(-30 + 4.0 * i);
  for (int j = 0; j <= 25; ++j) y_nodes.push_back(-20 + 3.5 * j);
  const Mesh3D mesh = make_mesh3d(transcript.io(), x_nodes, y_nodes, {0, 1, 2});
  for (int layout = 0; layout < 6; ++layout) {
    SCOPED_TRACE(layout);
    std::vector<double> x, y, e;
    const int count = layout == 5 ? 17 : 200 + 150 * layout;
    for (int p = 0; p < count; ++p) {
      switch (layout) {
        case 1:  // two tight clusters far apart
          x.push_back(p % 2 == 0 ? uniform(0, 2) : uniform(90, 91));
          y.push_back(uniform(0, 2));
          break;
        case 2:  // on one sloping line: no width across it
          x.push_back(p * 0.37);
          y.push_back(10 + p * 0.1);
          break;
        case 3:  // a grid with points missing, so no full grid
          x.push_back(5.0 * (p % 30));
          y.push_back(5.0 * (p / 30));
          break;
        default:
          x.push_back(uniform(-10, 100));
          y.push_back(uniform(0, 60));
      }
      e.push_back(uniform(90, 110));
    }
    Topography3D topography;
    topography3d_from_points(x, y, e, 120, topography);
    ASSERT_FALSE(topography.is_grid);
    const std::vector<double> surface = surface_z_at_columns(transcript.io(), mesh, topography);
    for (int j = 0; j < mesh.ny; ++j) {
      for (int i = 0; i < mesh.nx; ++i) {
        EXPECT_EQ(surface[static_cast<std::size_t>(j * mesh.nx + i)],
                  surface_z_at(topography, mesh.x_centres[i], mesh.y_centres[j]))
            << i << " " << j;
      }
    }
  }
}

}  // namespace
}  // namespace quelby
