// topography_from_points gives the store read_topography makes from a file holding the same
// points, to the bit, on meshes whose nodes fall before, between and beyond the points.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/mesh/topography.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

TEST(TopographyPoints, GiveTheStoreOfTheFileThatHoldsThem) {
  const struct {
    std::vector<double> x, elevation;
    double reference;
    std::vector<double> x_nodes, z_nodes;
  } cases[] = {
      {{0, 10, 20}, {100, 97.5, 98}, 100, {-5, 0, 2.5, 5, 12, 20, 30}, {0, 1, 2, 4, 8}},
      {{3}, {50}, 52, {0, 1, 2, 3, 4}, {0, 0.5, 1, 3}},
      {{0, 5, 5, 9}, {10, 10, 8, 9.25}, 11, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3, 4}},
  };
  for (const auto& test : cases) {
    testing::TempFolder folder;
    std::string text = std::to_string(test.x.size()) + " " + shortest(test.reference) + "\n";
    for (std::size_t p = 0; p < test.x.size(); ++p) {
      text += shortest(test.x[p]) + " " + shortest(test.elevation[p]) + "\n";
    }
    const std::string file = folder.write("ground.topo", text);
    testing::Transcript transcript;
    Topography from_file, from_points;
    read_topography(transcript.io(), true, file, test.x_nodes, test.z_nodes, from_file);
    topography_from_points(test.x, test.elevation, test.reference, test.x_nodes, test.z_nodes,
                           from_points);
    EXPECT_EQ(from_points.air_cells, from_file.air_cells) << text;
    EXPECT_EQ(from_points.surface_z, from_file.surface_z) << text;
    EXPECT_EQ(from_points.has_topography, true);
    EXPECT_EQ(from_points.reference_elevation, test.reference);
  }
}

}  // namespace
}  // namespace quelby
