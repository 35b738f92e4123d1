#include "quelby/report/model_slices.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// A cell as "x0 x1 top bottom : value", so that a wrong cell shows where it went wrong.
std::vector<std::string> described(const std::vector<SectionCell>& cells) {
  std::vector<std::string> out;
  const auto text = [](double v) { return std::to_string(static_cast<long long>(v)); };
  for (const SectionCell& c : cells) {
    out.push_back(text(c.x0) + " " + text(c.x1) + " " + text(c.top) + " " + text(c.bottom) + " : " +
                  text(c.value));
  }
  return out;
}

// A mesh of 4 x 3 x 2 cells of unequal widths whose model value names its cell,
// 1 + i + 100 j + 10000 k: a slice that swaps two axes, or takes its row, column or layer from
// the wrong index, shows other values or other edges than the tables written out by hand below.
TEST(ModelSlices, SlicesAndDepthMapsHoldTheCellsOfTheirRowColumnAndLayer) {
  Transcript transcript;
  const Mesh3D mesh = make_mesh3d(transcript.io(), {0, 1, 3, 6, 10}, {0, 2, 5, 9}, {0, 1, 3});
  std::vector<double> values;
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 4; ++i) values.push_back(1 + i + 100 * j + 10000 * k);

  using Slice =
      std::function<std::vector<SectionCell>(const Mesh3D&, std::span<const double>, std::int32_t)>;
  struct Case {
    const char* name;
    Slice slice;
    std::int32_t index;
    std::vector<std::string> cells;
  };
  const std::vector<Case> cases = {
      {"along x at row j = 2",
       slice_along_x,
       2,
       {"0 1 0 -1 : 201", "1 3 0 -1 : 202", "3 6 0 -1 : 203", "6 10 0 -1 : 204",
        "0 1 -1 -3 : 10201", "1 3 -1 -3 : 10202", "3 6 -1 -3 : 10203", "6 10 -1 -3 : 10204"}},
      {"along x at row j = 0",
       slice_along_x,
       0,
       {"0 1 0 -1 : 1", "1 3 0 -1 : 2", "3 6 0 -1 : 3", "6 10 0 -1 : 4", "0 1 -1 -3 : 10001",
        "1 3 -1 -3 : 10002", "3 6 -1 -3 : 10003", "6 10 -1 -3 : 10004"}},
      {"along y at column i = 3",
       slice_along_y,
       3,
       {"0 2 0 -1 : 4", "2 5 0 -1 : 104", "5 9 0 -1 : 204", "0 2 -1 -3 : 10004",
        "2 5 -1 -3 : 10104", "5 9 -1 -3 : 10204"}},
      {"along y at column i = 1",
       slice_along_y,
       1,
       {"0 2 0 -1 : 2", "2 5 0 -1 : 102", "5 9 0 -1 : 202", "0 2 -1 -3 : 10002",
        "2 5 -1 -3 : 10102", "5 9 -1 -3 : 10202"}},
      {"depth map of layer k = 1",
       depth_map,
       1,
       {"0 1 9 5 : 10201", "1 3 9 5 : 10202", "3 6 9 5 : 10203", "6 10 9 5 : 10204",
        "0 1 5 2 : 10101", "1 3 5 2 : 10102", "3 6 5 2 : 10103", "6 10 5 2 : 10104",
        "0 1 2 0 : 10001", "1 3 2 0 : 10002", "3 6 2 0 : 10003", "6 10 2 0 : 10004"}},
      {"depth map of layer k = 0",
       depth_map,
       0,
       {"0 1 9 5 : 201", "1 3 9 5 : 202", "3 6 9 5 : 203", "6 10 9 5 : 204", "0 1 5 2 : 101",
        "1 3 5 2 : 102", "3 6 5 2 : 103", "6 10 5 2 : 104", "0 1 2 0 : 1", "1 3 2 0 : 2",
        "3 6 2 0 : 3", "6 10 2 0 : 4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(described(c.slice(mesh, values, c.index)), c.cells);
  }
}

}  // namespace
}  // namespace quelby
