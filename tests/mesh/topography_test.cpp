#include "quelby/mesh/topography.hpp"
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

struct TopographyRun {
  bool stopped = false;
  Transcript transcript;
  Topography topography;
};

void run(const std::string& path, const std::vector<double>& x_nodes,
         const std::vector<double>& z_nodes, TopographyRun& result, bool use_file = true) {
  try {
    read_topography(result.transcript.io(), use_file, path + "   ", x_nodes, z_nodes,
                    result.topography);
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    result.stopped = true;
  }
}

const std::vector<double> nodes_0_to_30 = {0, 10, 20, 30};

TEST(TopographyFile, WithoutAFileNoCellIsInTheAir) {
  TopographyRun result;
  result.topography.has_topography = true;
  result.topography.reference_elevation = 5;
  run("never-opened.topo", {0, 5, 10}, {-3, 1, 2}, result, false);
  ASSERT_FALSE(result.stopped);
  EXPECT_FALSE(result.topography.has_topography);
  EXPECT_EQ(result.topography.reference_elevation, 0);
  EXPECT_EQ(result.topography.air_cells, (std::vector<std::int32_t>{0, 0}));
  EXPECT_EQ(result.topography.surface_z, (std::vector<double>{-3, -3, -3}));
  EXPECT_EQ(result.transcript.console(), "");
  EXPECT_EQ(result.transcript.log(), "");
}

TEST(TopographyFile, TiesBetweenTwoNodesGoToTheUpperNode) {
  TempFolder folder;
  struct Case {
    const char* points;
    std::int32_t air;
    double z;
  };
  // Reference 100: elevation 85 is z 15, exactly between nodes 10 and 20; 84 is nearer 20.
  const std::vector<Case> cases = {
      {"0 85\n10 85\n20 85\n30 85\n", 1, 15},
      {"0 84\n10 84\n20 84\n30 84\n", 2, 16},
      {"0 120\n30 120\n", 0, -20},  // above the first node
      {"0 60\n30 60\n", 3, 40},     // below the last node: the whole column
      {"0 95\n30 95\n", 0, 5},      // z 5: tie between nodes 0 and 10
      {"0 70\n30 70\n", 3, 30},     // on the last node
  };
  for (const Case& c : cases) {
    const std::string text = c.points;
    const auto points = std::count(text.begin(), text.end(), '\n');
    const std::string path = folder.write("t.topo", std::to_string(points) + " 100\n" + c.points);
    TopographyRun result;
    run(path, nodes_0_to_30, nodes_0_to_30, result);
    ASSERT_FALSE(result.stopped) << c.points << result.transcript.console();
    EXPECT_TRUE(result.topography.has_topography);
    EXPECT_EQ(result.topography.reference_elevation, 100);
    EXPECT_EQ(result.topography.air_cells, (std::vector<std::int32_t>(3, c.air))) << c.points;
    EXPECT_EQ(result.topography.surface_z, (std::vector<double>(4, c.z))) << c.points;
    EXPECT_EQ(result.transcript.console(), "");
    EXPECT_EQ(result.transcript.log(), "topography was read from: " + path + "\n");
  }
}

TEST(TopographyFile, ComparesAreasNotMeanElevations) {
  // The column's area against D(k) * w picks node 4 (air 3); dividing the area by the width
  // first would round the other way and pick node 3.
  TempFolder folder;
  const std::string path = folder.write("a.topo", "3 1.0\n0 0.75\n0.15 0.81\n0.3 0.63\n");
  TopographyRun result;
  run(path, {0.0, 0.3}, {0.0, 0.1, 0.2, 0.3, 0.4}, result);
  ASSERT_FALSE(result.stopped) << result.transcript.console();
  EXPECT_EQ(result.topography.air_cells, (std::vector<std::int32_t>{3}));
  EXPECT_EQ(result.topography.surface_z, (std::vector<double>{0.25, 0.37}));
}

TEST(TopographyFile, DividesTheSlopeBeforeMultiplying) {
  // At x 7 the slope (51 - 70) / 13 times (7 - 13) plus 51 is 59.76923076923077; multiplying
  // first would give 59.769230769230774.
  TempFolder folder;
  const std::string path = folder.write("s.topo", "2 100\n0 70\n13 51\n");
  TopographyRun result;
  run(path, {0, 7, 14}, {0, 30, 60}, result);
  ASSERT_FALSE(result.stopped) << result.transcript.console();
  ASSERT_EQ(result.topography.surface_z.size(), 3u);
  EXPECT_EQ(result.topography.surface_z[0], 100 - (51 + ((51.0 - 70.0) / 13.0) * (0.0 - 13.0)));
  EXPECT_EQ(result.topography.surface_z[1], 40.23076923076923);
  EXPECT_EQ(result.topography.surface_z[2], 49);
}

TEST(TopographyFile, InterpolatesAndExtendsThePolyline) {
  TempFolder folder;
  struct Case {
    std::string file;
    std::vector<double> surface_z;
    std::vector<std::int32_t> air;
  };
  const std::vector<Case> cases = {
      // A slope through the mesh: node elevations 100, 90, 80.
      {"2 100\n0 100\n20 80\n", {0, 10, 20}, {0, 1}},
      // One point: flat over the whole mesh.
      {"1 100\n7 88\n", {12, 12, 12}, {1, 1}},
      // Points beyond both ends are used for the end nodes.
      {"2 100\n-10 110\n30 70\n", {0, 10, 20}, {0, 1}},
      // Points inside the mesh are extended flat to its ends; equal x values make a step, and
      // a node at the step takes the elevation before it.
      {"4 100\n5 95\n10 95\n10 85\n15 85\n", {5, 5, 15}, {0, 1}},
  };
  for (const Case& c : cases) {
    const std::string path = folder.write("i.topo", c.file);
    TopographyRun result;
    run(path, {0, 10, 20}, {0, 10, 20, 30}, result);
    ASSERT_FALSE(result.stopped) << c.file << result.transcript.console();
    EXPECT_EQ(result.topography.surface_z, c.surface_z) << c.file;
    EXPECT_EQ(result.topography.air_cells, c.air) << c.file;
  }
}

TEST(TopographyFile, MessagesAndTheirOrder) {
  TempFolder folder;
  struct Case {
    std::string file;
    std::string text;
    std::vector<std::string> order;
  };
  const std::string read_error = "\nError reading the topography file: ";
  const std::vector<Case> cases = {
      {"", read_error, {"log", "console"}},
      {"2\n", read_error, {"log", "console"}},
      {"x 100\n", read_error, {"log", "console"}},
      {"3 100\n0 1\n5 2\n", read_error, {"log", "console"}},
      {"2 100\n0 1\n5\n", read_error, {"log", "console"}},
      {"2 100\n0 1\nnan 2\n", read_error, {"log", "console"}},
      {"2 100\n0 1\n5 inf\n", read_error, {"log", "console"}},
      {"2 nan\n0 1\n5 2\n", read_error, {"log", "console"}},
      {"3 100\n0 1\n0 2\n-1 3\n",
       "\nError: X locations in topography file should be in increasing order.\n",
       {"console", "log"}},
      {"0 100\n",
       "\nError: # of points in the topography file should be positive.\n",
       {"console", "log"}},
      {"-4 100\n0 1\n",
       "\nError: # of points in the topography file should be positive.\n",
       {"console", "log"}},
  };
  for (const Case& c : cases) {
    const std::string path = folder.write("m.topo", c.file);
    TopographyRun result;
    run(path, nodes_0_to_30, nodes_0_to_30, result);
    ASSERT_TRUE(result.stopped) << c.file;
    std::string expected = c.text;
    if (c.text == read_error) {
      expected += path + "\n";
    } else if (c.text.find("# of points") != std::string::npos) {
      expected += path + "\n";
    }
    EXPECT_EQ(result.transcript.console(), expected) << c.file;
    EXPECT_EQ(result.transcript.log(), expected) << c.file;
    EXPECT_EQ(result.transcript.order(), c.order) << c.file;
  }
}

TEST(TopographyFile, MissingFileAndNullValues) {
  TempFolder folder;
  TopographyRun missing;
  run(folder.file("none.topo"), nodes_0_to_30, nodes_0_to_30, missing);
  ASSERT_TRUE(missing.stopped);
  const std::string expected =
      "\n ERROR: topography file not found: " + folder.file("none.topo") + "\n";
  EXPECT_EQ(missing.transcript.console(), expected);
  EXPECT_EQ(missing.transcript.log(), expected);

  // A null value or an early slash leaves 0: the second point is at x 0 with elevation 90.
  const std::string path = folder.write("n.topo", "2 100 notes\n0 90 more\n, 90\n");
  TopographyRun nulls;
  run(path, nodes_0_to_30, nodes_0_to_30, nulls);
  ASSERT_FALSE(nulls.stopped) << nulls.transcript.console();
  EXPECT_EQ(nulls.topography.surface_z, (std::vector<double>(4, 10)));
  const std::string slashed = folder.write("s.topo", "1 100\n5 /\n");
  TopographyRun slash;
  run(slashed, nodes_0_to_30, nodes_0_to_30, slash);
  ASSERT_FALSE(slash.stopped) << slash.transcript.console();
  EXPECT_EQ(slash.topography.surface_z, (std::vector<double>(4, 100)));
}

TEST(TopographyFile, LoadsTheMeshFirstAndReplacesAnEarlierReading) {
  TempFolder folder;
  const std::string mesh_path = folder.write("a.msh", "1\n0 30 3\n1\n0 30 3\n");
  const std::string topo_path = folder.write("a.topo", "2 100\n0 85\n30 85\n");
  Transcript transcript;
  Mesh mesh;
  Topography topography;
  topography.air_cells = {7, 7, 7, 7, 7, 7};
  load_mesh_and_topography(transcript.io(), mesh_path, topo_path, true, mesh, topography);
  EXPECT_EQ(topography.air_cells, (std::vector<std::int32_t>{1, 1, 1}));
  EXPECT_EQ(transcript.log(), "\nmesh was read from: " + mesh_path +
                                  "\ntopography was read from: " + topo_path + "\n");
  load_mesh_and_topography(transcript.io(), mesh_path, topo_path, false, mesh, topography);
  EXPECT_FALSE(topography.has_topography);
  EXPECT_EQ(topography.air_cells, (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(topography.surface_z, (std::vector<double>{0, 0, 0, 0}));
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(TopographyFile, StopsCarryTheirDetail) {
  const std::vector<double> x_nodes = {0, 10, 20, 30};
  const std::vector<double> z_nodes = {0, 10, 20};
  testing::check_details(
      {
          {"a bad count", "two 100\n0 90\n", "f.txt:1: 'two' is not an integer"},
          {"too few points", "3 100\n0 90\n10 90\n", "f.txt:3: 0 values, 2 expected"},
          {"half a point", "2 100\n0 90\n10\n", "f.txt:3: 1 value, 2 expected"},
          {"no points", "0 100\n", "f.txt:1: 0 points"},
          {"x going back", "3 100\n0 90\n20 90\n10 90\n", "f.txt:4: x 10 after x 20"},
          {"not finite", "1 100\n0 nan\n", "f.txt:2: a value that is not a finite number"},
          {"a reference not finite", "1 -inf\n0 90\n",
           "f.txt:1: a value that is not a finite number"},
      },
      [&](const Io& io, const std::string& path) {
        Topography topography;
        read_topography(io, true, path, x_nodes, z_nodes, topography);
      });
}

}  // namespace
}  // namespace quelby
