// Cells graded around anchors: every anchor a node, no cell wider than the width allowed where it
// stands, neighbours within the growth factor, equal cells where grading saves nothing, and the
// count told beforehand the count made.
#include "quelby/forward/graded_axis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace quelby {
namespace {

struct Cell {
  double begin, end;
};

std::vector<Cell> cells_of(double start, const std::vector<AxisSegment>& segments) {
  std::vector<Cell> cells;
  double at = start;
  for (const AxisSegment& segment : segments) {
    const double width = (segment.end - at) / segment.count;
    for (std::int32_t c = 0; c < segment.count; ++c) {
      cells.push_back(
          {at + width * c, c + 1 == segment.count ? segment.end : at + width * (c + 1)});
    }
    at = segment.end;
  }
  return cells;
}

TEST(GradedAxis, AnchorsAreNodesAndCellsKeepToTheWidthAllowed) {
  struct Case {
    std::string name;
    double start, end;
    std::vector<AxisAnchor> anchors;
    double widest, growth;
    std::size_t expected_cells;  // 0: not checked
  };
  const std::vector<Case> cases = {
      {"no anchor: equal cells", 0, 10, {}, 1, 1.3, 10},
      {"two boreholes", -10, 20, {{0, 0.25}, {10, 0.25}}, 2.5, 1.3, 0},
      {"electrodes a metre apart",
       0,
       20,
       {{1, 0.25}, {2, 0.25}, {3, 0.25}, {4, 0.25}},
       2.5,
       1.3,
       0},
      {"an anchor outside narrows the start", 0, 10, {{-1, 0.1}}, 2, 1.3, 0},
      {"an anchor on the end", 0, 10, {{10, 0.2}, {5, 1}}, 2, 1.2, 0},
      {"no growth: the finest width throughout", 0, 3, {{1, 0.25}, {2.5, 0.5}}, 1, 1, 12},
      {"a wide anchor is a node of equal cells", 0, 10, {{3.3, 5}}, 1, 1.3, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<AxisSegment> segments =
        graded_segments(c.start, c.end, c.anchors, c.widest, c.growth);
    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments.back().end, c.end);
    for (const AxisAnchor& anchor : c.anchors) {
      if (anchor.position <= c.start || anchor.position >= c.end) continue;
      EXPECT_TRUE(std::any_of(segments.begin(), segments.end(),
                              [&](const AxisSegment& s) { return s.end == anchor.position; }))
          << "anchor " << anchor.position;
    }
    const auto allowed = [&](double t) {
      double width = c.widest;
      for (const AxisAnchor& anchor : c.anchors) {
        width = std::min(width, anchor.width + (c.growth - 1) * std::abs(t - anchor.position));
      }
      return width;
    };
    const std::vector<Cell> cells = cells_of(c.start, segments);
    for (std::size_t k = 0; k < cells.size(); ++k) {
      const double width = cells[k].end - cells[k].begin;
      EXPECT_GT(width, 0) << k;
      EXPECT_LE(width, std::max(allowed(cells[k].begin), allowed(cells[k].end)) * (1 + 1e-9))
          << "cell " << k << " from " << cells[k].begin;
      if (k > 0) {
        const double before = cells[k - 1].end - cells[k - 1].begin;
        EXPECT_LE(std::max(width / before, before / width), c.growth * 1.1) << "cell " << k;
      }
    }
    EXPECT_EQ(graded_cell_count(c.start, c.end, c.anchors, c.widest, c.growth),
              static_cast<double>(cells.size()));
    if (c.expected_cells > 0) {
      EXPECT_EQ(cells.size(), c.expected_cells);
    }
  }
}

}  // namespace
}  // namespace quelby
