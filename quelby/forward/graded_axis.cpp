#include "quelby/forward/graded_axis.hpp"

#include <algorithm>
#include <cmath>

namespace quelby {
namespace {

// The nodes the axis must hold (start, the anchors inside, end) with the widths allowed there:
// each width narrowed by the cones width + slope x distance of every other anchor, which two
// sweeps give, so that between two neighbouring nodes the allowed width is the least of their two
// cones and the widest cell.
std::vector<AxisAnchor> nodes_to_hold(double start, double end, std::span<const AxisAnchor> anchors,
                                      double widest, double slope) {
  std::vector<AxisAnchor> sorted(anchors.begin(), anchors.end());
  std::sort(sorted.begin(), sorted.end(),
            [](const AxisAnchor& a, const AxisAnchor& b) { return a.position < b.position; });
  std::vector<AxisAnchor> nodes = {{start, widest}};
  for (const AxisAnchor& anchor : sorted) {
    if (anchor.position > start && anchor.position < end &&
        anchor.position != nodes.back().position) {
      nodes.push_back({anchor.position, std::min(anchor.width, widest)});
    }
  }
  nodes.push_back({end, widest});
  // Anchors on or beyond an end narrow the width there by their cones, and through it the rest.
  for (const AxisAnchor& anchor : sorted) {
    if (anchor.position <= start) {
      nodes.front().width =
          std::min(nodes.front().width, anchor.width + slope * (start - anchor.position));
    } else if (anchor.position >= end) {
      nodes.back().width =
          std::min(nodes.back().width, anchor.width + slope * (anchor.position - end));
    }
  }
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    nodes[i].width = std::min(
        nodes[i].width, nodes[i - 1].width + slope * (nodes[i].position - nodes[i - 1].position));
  }
  for (std::size_t i = nodes.size() - 1; i-- > 0;) {
    nodes[i].width = std::min(
        nodes[i].width, nodes[i + 1].width + slope * (nodes[i + 1].position - nodes[i].position));
  }
  return nodes;
}

// A piece of an interval where the allowed width f is linear: rising or falling by the slope
// (a cone of one of the interval's nodes), or the widest cell. Cells are placed by the density
// c / f, c = slope / ln(growth) on a cone, so that a cell starting where the allowed width is f
// ends where it is f x growth: each cell is as wide as the allowed width at its end nearest the
// node, and the next one `growth` times wider. On the flat piece c = 1.
struct Piece {
  double begin = 0, end = 0;
  double width = 0;   // the allowed width at `begin`
  int direction = 0;  // +1 rising, -1 falling, 0 flat
};

// One interval between neighbouring nodes, and how it is cut.
struct Interval {
  AxisAnchor first, last;
  double widest = 0, slope = 0;

  std::vector<Piece> pieces() const {
    const double p = first.position, q = last.position;
    if (slope == 0) return {{p, q, std::min({widest, first.width, last.width}), 0}};
    const double rise_end = p + (widest - first.width) / slope;   // the left cone meets the cap
    const double fall_begin = q - (widest - last.width) / slope;  // the right cone leaves it
    std::vector<Piece> result;
    if (rise_end < fall_begin) {
      if (rise_end > p) result.push_back({p, rise_end, first.width, +1});
      result.push_back({std::max(p, rise_end), std::min(q, fall_begin), widest, 0});
      if (fall_begin < q) result.push_back({fall_begin, q, widest, -1});
    } else {
      const double meet =
          std::clamp((last.width - first.width + slope * (p + q)) / (2 * slope), p, q);
      if (meet > p) result.push_back({p, meet, first.width, +1});
      if (meet < q) result.push_back({meet, q, first.width + slope * (meet - p), -1});
    }
    return result;
  }
  double density_factor() const { return slope > 0 ? slope / std::log1p(slope) : 1.0; }
  // The integral of the density over a piece: about the number of cells it holds.
  double integral(const Piece& piece) const {
    if (piece.direction == 0) return (piece.end - piece.begin) / piece.width;
    const double far = piece.width + piece.direction * slope * (piece.end - piece.begin);
    return density_factor() * std::abs(std::log(far / piece.width)) / slope;
  }
  // The point of a piece where the integral from its beginning reaches `amount`.
  double position(const Piece& piece, double amount) const {
    if (piece.direction == 0) return piece.begin + amount * piece.width;
    const double ratio = std::exp(piece.direction * amount * slope / density_factor());
    return piece.begin + piece.direction * piece.width * (ratio - 1) / slope;
  }

  // The cells of equal width no wider than the allowed width anywhere in the interval.
  double equal_count() const {
    const double gap = last.position - first.position;
    return std::max(1.0, std::ceil(gap / std::min(first.width, last.width) - 1e-9));
  }
  double cell_integral() const {
    double total = 0;
    for (const Piece& piece : pieces()) total += integral(piece);
    return total;
  }
  double graded_count() const { return std::max(1.0, std::ceil(cell_integral() - 1e-9)); }
  // Equal cells, unless grading saves more than one cell.
  bool equal_cells() const { return equal_count() <= graded_count() + 1; }
  double count() const { return equal_cells() ? equal_count() : graded_count(); }
};

std::vector<Interval> intervals_of(double start, double end, std::span<const AxisAnchor> anchors,
                                   double widest, double growth) {
  const double slope = growth - 1;
  const std::vector<AxisAnchor> nodes = nodes_to_hold(start, end, anchors, widest, slope);
  std::vector<Interval> intervals;
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) {
    intervals.push_back({nodes[i], nodes[i + 1], widest, slope});
  }
  return intervals;
}

}  // namespace

std::vector<AxisSegment> graded_segments(double start, double end,
                                         std::span<const AxisAnchor> anchors, double widest,
                                         double growth) {
  std::vector<AxisSegment> segments;
  for (const Interval& interval : intervals_of(start, end, anchors, widest, growth)) {
    if (interval.equal_cells()) {
      segments.push_back(
          {interval.last.position, static_cast<std::int32_t>(interval.equal_count())});
      continue;
    }
    // Node k of n where the integral reaches k / n of its total: each cell holds an equal share
    // of it, n / total <= 1 of a cell as wide as the allowed width.
    const std::vector<Piece> pieces = interval.pieces();
    const double total = interval.cell_integral();
    const auto n = static_cast<std::int32_t>(interval.graded_count());
    std::size_t at = 0;
    double before = 0;  // the integral up to the beginning of piece `at`
    for (std::int32_t k = 1; k < n; ++k) {
      const double target = total * k / n;
      while (at + 1 < pieces.size() && before + interval.integral(pieces[at]) < target) {
        before += interval.integral(pieces[at]);
        ++at;
      }
      const double node = std::min(interval.position(pieces[at], target - before), pieces[at].end);
      segments.push_back({node, 1});
    }
    segments.push_back({interval.last.position, 1});
  }
  return segments;
}

double graded_cell_count(double start, double end, std::span<const AxisAnchor> anchors,
                         double widest, double growth) {
  double count = 0;
  for (const Interval& interval : intervals_of(start, end, anchors, widest, growth)) {
    count += interval.count();
  }
  return count;
}

}  // namespace quelby
