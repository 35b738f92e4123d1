// Cells along one axis of a mesh that are fine around given points (electrodes) and coarser away
// from them: every point is a node, the cells beside it are no wider than its width, and the
// widths grow by a constant factor per cell away from it up to a widest cell.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quelby {

// A position the axis must hold as a node, and the width its neighbouring cells may have at most.
struct AxisAnchor {
  double position = 0;
  double width = 0;
};

// A run of `count` equal cells ending at `end`, as a segment of a mesh file.
struct AxisSegment {
  double end = 0;
  std::int32_t count = 0;
};

// The cells from `start` to `end` (start < end) as segments: each anchor inside is a node (the
// end of a segment); the allowed width at a point is the smallest over the anchors of
// width + (growth - 1) x distance, never more than `widest` (growth >= 1, widths > 0). Between
// two neighbouring anchors the cells are equal (one segment), no wider than the narrower anchor's
// width, when that costs at most one cell more than grading them; otherwise each graded cell is a
// segment of its own, no wider than the allowed width at its end nearest an anchor, each `growth`
// times its neighbour nearer the anchor (a cell beside an anchor is as wide as the anchor's width
// at most). Anchors outside (start, end) only narrow the allowed widths inside. Linear in anchors
// plus cells, after sorting the anchors.
std::vector<AxisSegment> graded_segments(double start, double end,
                                         std::span<const AxisAnchor> anchors, double widest,
                                         double growth);

// The number of cells graded_segments makes, counted without making them (in floating point, so
// a count beyond any array is still told).
double graded_cell_count(double start, double end, std::span<const AxisAnchor> anchors,
                         double widest, double growth);

}  // namespace quelby
