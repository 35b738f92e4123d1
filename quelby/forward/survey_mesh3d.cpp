#include "quelby/forward/survey_mesh3d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

[[noreturn]] void refuse(const Io& io, const std::string& what) {
  stop_with(io, Order::console_then_log, "\nError: " + what + "\n");
}

// Cells along one axis beyond which a mesh is refused before anything is allocated: far beyond any
// mesh a 3-D forward model solves on.
constexpr double most_cells_along = 1e5;

// A width rounded to three significant digits, so that padding positions stay readable in files.
double rounded(double width) {
  const double scale = std::pow(10.0, std::floor(std::log10(width)) - 2);
  return std::round(width / scale) * scale;
}

// Padding widths from an edge cell `edge` outwards, each `growth` times the last (rounded), until
// they reach `distance`.
std::vector<double> padding_widths(double edge, double growth, double distance) {
  std::vector<double> widths;
  double width = edge, total = 0;
  while (total < distance && widths.size() < 400) {
    width *= growth;
    widths.push_back(rounded(width));
    total += widths.back();
  }
  return widths;
}

// The sorted distinct values of `values`.
std::vector<double> distinct(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

double smallest_gap(const std::vector<double>& sorted) {
  double gap = 0;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    const double g = sorted[i] - sorted[i - 1];
    if (gap == 0 || g < gap) gap = g;
  }
  return gap;
}

// The cells between neighbouring coordinates: as many equal cells as keep each no wider than
// `cell`, counted in floating point so that a count beyond any array is still told.
double core_cells_along(const std::vector<double>& coordinates, double cell, int margin) {
  double count = 2.0 * margin;
  for (std::size_t i = 1; i < coordinates.size(); ++i)
    count += std::max(1.0, std::ceil((coordinates[i] - coordinates[i - 1]) / cell - 1e-9));
  return count;
}

// Nodes of one horizontal axis: `margin` core cells before the first coordinate, each coordinate a
// node with equal cells no wider than `cell` between neighbours, `margin` cells after the last,
// then padding growing from the edge cells to `distance` beyond the outermost coordinates.
std::vector<double> horizontal_nodes(const std::vector<double>& coordinates, double cell,
                                     int margin, double growth, double distance) {
  std::vector<double> core{coordinates.front()};
  for (int c = 0; c < margin; ++c) core.insert(core.begin(), coordinates.front() - (c + 1) * cell);
  for (std::size_t i = 1; i < coordinates.size(); ++i) {
    const double from = coordinates[i - 1], to = coordinates[i];
    const double count = std::max(1.0, std::ceil((to - from) / cell - 1e-9));
    for (double c = 1; c < count; ++c) core.push_back(from + (to - from) * (c / count));
    core.push_back(to);
  }
  for (int c = 0; c < margin; ++c) core.push_back(coordinates.back() + (c + 1) * cell);
  const double first_width = core.size() > 1 ? core[1] - core[0] : cell;
  const double last_width = core.size() > 1 ? core[core.size() - 1] - core[core.size() - 2] : cell;
  const double reach = distance - margin * cell;
  const std::vector<double> left = padding_widths(first_width, growth, reach);
  const std::vector<double> right = padding_widths(last_width, growth, reach);
  std::vector<double> nodes;
  nodes.reserve(left.size() + core.size() + right.size());
  double at = core.front();
  for (const double width : left) at -= width;
  for (std::size_t p = left.size(); p-- > 0;) {
    nodes.push_back(at);
    at += left[p];
  }
  nodes.insert(nodes.end(), core.begin(), core.end());
  for (const double width : right) nodes.push_back(nodes.back() + width);
  return nodes;
}

// What the z axis needs: the ground, the first layer, the core cell (the thickest layer down to
// below the buried electrodes), the buried electrodes' depths (sorted, distinct, below the top),
// where the core's gentle growth ends and where the mesh ends.
struct DepthPlan {
  double top = 0;
  double first = 0;
  double cell = 0;
  std::vector<double> buried;
  double capped_to = 0;
  double relief = 0;  // the ground lies this much below the top at most
  double core_bottom = 0;
  double bottom = 0;
  double depth_growth = 1.1;
  double growth = 1.3;
};

// Layers from the top: each the last times the core's growth (no thicker than the core cell down
// to `capped_to`), then times the padding's growth below the core; a buried electrode's depth
// within one and a half planned layers becomes the next node, so no layer is a sliver. Returns the
// layer count; fills `nodes` unless it is null.
double depth_nodes(const DepthPlan& plan, std::vector<double>* nodes) {
  double z = plan.top, thickness = plan.first;
  double count = 0;
  std::size_t next_buried = 0;
  if (nodes) nodes->assign(1, z);
  bool first_layer = true;
  const auto skip_passed = [&] {
    while (next_buried < plan.buried.size() && plan.buried[next_buried] <= z) ++next_buried;
  };
  skip_passed();
  while (z < plan.bottom || next_buried < plan.buried.size()) {
    if (!first_layer) {
      if (z < plan.core_bottom) {
        thickness *= plan.depth_growth;
        if (z < plan.capped_to) thickness = std::min(thickness, plan.cell);
      } else {
        thickness *= plan.growth;
      }
    }
    first_layer = false;
    double next = z + (z < plan.core_bottom ? thickness : rounded(thickness));
    if (next_buried < plan.buried.size() && plan.buried[next_buried] <= z + 1.5 * thickness) {
      next = plan.buried[next_buried];
      // Within the thinner layers above a buried electrode the layer it ends may be no thicker
      // than the core cell: two layers then.
      if (next - z > plan.cell && z < plan.capped_to) {
        next = z + (next - z) / 2;
      } else {
        ++next_buried;
      }
    }
    z = next;
    skip_passed();
    ++count;
    if (nodes) nodes->push_back(z);
    if (count > most_cells_along) break;
  }
  return count;
}

// The sizes a scale makes: the core cells along x and y and the first layer, all times `scale`.
struct Axes {
  std::vector<double> x, y;  // distinct electrode coordinates
  double cell_x = 0, cell_y = 0, first = 0;
  DepthPlan depth;
  int margin = 2;
  double growth = 1.3;
  double distance = 0;
};

DepthPlan scaled_plan(const Axes& axes, double scale) {
  DepthPlan plan = axes.depth;
  plan.first *= scale;
  plan.cell *= scale;
  const double deepest = plan.buried.empty() ? plan.top : plan.buried.back();
  // Layers no thicker than the core cell through the relief (where the ground's columns end) and
  // below the buried electrodes, four core cells beyond each.
  plan.capped_to = std::max(plan.buried.empty() ? plan.top : deepest + 4 * plan.cell,
                            plan.relief > 0 ? plan.top + plan.relief + 4 * plan.cell : plan.top);
  plan.core_bottom = std::max(plan.core_bottom, plan.capped_to);
  plan.bottom = std::max(plan.bottom, plan.core_bottom);
  return plan;
}

// Cells along x (or y) with core cells `scale` times the chosen ones, in floating point (infinity
// beyond what is built).
double cells_along(const Axes& axes, bool along_x, double scale) {
  const std::vector<double>& coordinates = along_x ? axes.x : axes.y;
  const double cell = (along_x ? axes.cell_x : axes.cell_y) * scale;
  if (core_cells_along(coordinates, cell, axes.margin) > most_cells_along)
    return std::numeric_limits<double>::infinity();
  return static_cast<double>(
      horizontal_nodes(coordinates, cell, axes.margin, axes.growth, axes.distance).size() - 1);
}

// The scales of the core cells along x and y and of the layers.
struct Scales {
  double x = 1, y = 1, z = 1;
};

// The scales whose mesh has the most cells within `budget`: each axis on a fine logarithmic
// ladder from an eighth to 64 times the chosen sizes, the cells along x and y at most twice as
// wide one as the other, the layers scaled between half the finer and the coarser horizontal
// scale (the first layer between a quarter and the whole core cell), so that a budget is met
// closely although electrodes on nodes make the cells between them come in whole numbers. Of
// equal counts the finer horizontal cells. Nothing fits: a scale of 0.
Scales scales_for_budget(const Axes& axes, double budget) {
  struct Step {
    double count, scale;
  };
  // Per axis the distinct counts, each with the coarsest scale that gives it.
  const auto ladder = [&](auto count_at) {
    std::vector<Step> steps;
    for (int k = 192; k >= -96; --k) {
      const double scale = std::exp2(k / 32.0);
      const double count = count_at(scale);
      if (steps.empty() || count != steps.back().count) steps.push_back({count, scale});
    }
    return steps;
  };
  const std::vector<Step> along_x = ladder([&](double s) { return cells_along(axes, true, s); });
  const std::vector<Step> along_y = ladder([&](double s) { return cells_along(axes, false, s); });
  const std::vector<Step> along_z =
      ladder([&](double s) { return depth_nodes(scaled_plan(axes, s), nullptr); });
  Scales best{0, 0, 0};
  double best_count = -1;
  for (const Step& x : along_x) {
    for (const Step& y : along_y) {
      if (std::max(x.scale, y.scale) > 2 * std::min(x.scale, y.scale) * (1 + 1e-12)) continue;
      if (x.count * y.count > budget) continue;
      const double low = std::min(x.scale, y.scale) / 2, high = std::max(x.scale, y.scale);
      for (const Step& z : along_z) {
        // Steps run from coarse to fine: the first in range that fits is the finest that does.
        if (z.scale > high * (1 + 1e-12)) continue;
        if (z.scale < low * (1 - 1e-12)) break;
        const double count = x.count * y.count * z.count;
        if (count > budget) continue;
        const bool better =
            count > best_count ||
            (count == best_count && std::max(x.scale, y.scale) < std::max(best.x, best.y));
        if (better) {
          best_count = count;
          best = {x.scale, y.scale, z.scale};
        }
      }
    }
  }
  return best;
}

}  // namespace

Mesh3D mesh3d_for_electrodes(const Io& io, std::span<const ElectrodePosition> electrodes,
                             const SurveyMesh3DOptions& options) {
  if (electrodes.empty()) refuse(io, "the survey has no electrodes");
  const auto non_negative = [](double value) { return value >= 0 && std::isfinite(value); };
  if (!non_negative(options.cell_width)) refuse(io, "cell width should be positive");
  if (!non_negative(options.top_thickness)) refuse(io, "top thickness should be positive");
  if (!non_negative(options.padding_distance)) refuse(io, "padding distance should be positive");
  if (!non_negative(options.depth)) refuse(io, "depth should be positive");
  if (!non_negative(options.core_depth)) refuse(io, "core depth should be positive");
  if (!(options.growth >= 1) || !std::isfinite(options.growth))
    refuse(io, "padding growth should be 1 or more");
  if (!(options.depth_growth >= 1) || !std::isfinite(options.depth_growth))
    refuse(io, "depth growth should be 1 or more");
  if (options.margin_cells < 0) refuse(io, "margin cells should not be negative");
  if (options.cell_budget < 0) refuse(io, "the cell budget should not be negative");
  if (!std::isfinite(options.top)) refuse(io, "the top should be a finite number");
  if (!non_negative(options.relief)) refuse(io, "relief should not be negative");
  std::vector<double> xs, ys, buried;
  for (std::size_t e = 0; e < electrodes.size(); ++e) {
    const ElectrodePosition& p = electrodes[e];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      // Electrode numbers are shown 1-based.
      refuse(io, "electrode " + std::to_string(e + 1) + " has a position that is not a number");
    }
    xs.push_back(p.x);
    ys.push_back(p.y);
    if (p.z < options.top) {
      refuse(io, "electrode " + std::to_string(e + 1) + " at z = " + shortest(p.z) +
                     " m stands above the top of the mesh at " + shortest(options.top) + " m");
    }
    if (p.z > options.top) buried.push_back(p.z);
  }
  Axes axes;
  axes.x = distinct(std::move(xs));
  axes.y = distinct(std::move(ys));
  const double span_x = axes.x.back() - axes.x.front();
  const double span_y = axes.y.back() - axes.y.front();
  // The smallest distance between two electrodes bounds the cell from below, so that coordinates
  // a few millimetres apart (positions surveyed on a wavy line) do not shrink every cell.
  double nearest = std::numeric_limits<double>::infinity();
  {
    std::vector<ElectrodePosition> points(electrodes.begin(), electrodes.end());
    std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) {
      return a.x < b.x || (a.x == b.x && (a.y < b.y || (a.y == b.y && a.z < b.z)));
    });
    points.erase(std::unique(points.begin(), points.end()), points.end());
    for (std::size_t e = 0; e < points.size(); ++e) {
      for (std::size_t o = e + 1; o < points.size() && points[o].x - points[e].x < nearest; ++o) {
        nearest = std::min(nearest, std::hypot(points[o].x - points[e].x, points[o].y - points[e].y,
                                               points[o].z - points[e].z));
      }
    }
  }
  // Half the spacing along the axis, kept between half and the whole of the smallest distance
  // between two electrodes: the lines of a grid farther apart than its electrodes get wider cells
  // across them, but never so wide that electrodes a few cells apart in the other directions
  // (boreholes) fall into one cell.
  const auto chosen = [&](double gap) {
    if (options.cell_width > 0) return options.cell_width;
    if (gap == 0) return 0.0;
    return std::isfinite(nearest) ? std::clamp(gap, nearest, 2 * nearest) / 2 : gap / 2;
  };
  axes.cell_x = chosen(smallest_gap(axes.x));
  axes.cell_y = chosen(smallest_gap(axes.y));
  if (axes.cell_x == 0) axes.cell_x = axes.cell_y;
  if (axes.cell_y == 0) axes.cell_y = axes.cell_x;
  if (axes.cell_x == 0) axes.cell_x = axes.cell_y = std::isfinite(nearest) ? nearest / 2 : 1.0;
  // The thickest layer near buried electrodes, and the scale of the first layer.
  const double cell = options.cell_width > 0 || !std::isfinite(nearest)
                          ? std::min(axes.cell_x, axes.cell_y)
                          : std::min({axes.cell_x, axes.cell_y, nearest / 2});
  const double extent = std::max({span_x, span_y, 8 * cell});
  axes.margin = options.margin_cells;
  axes.growth = options.growth;
  axes.distance = options.padding_distance > 0 ? options.padding_distance : 4 * extent;
  axes.depth.top = options.top;
  axes.depth.first = options.top_thickness > 0 ? options.top_thickness : cell / 2;
  axes.depth.cell = cell;
  axes.depth.buried = distinct(std::move(buried));
  axes.depth.relief = options.relief;
  axes.depth.core_bottom =
      options.top + options.relief + (options.core_depth > 0 ? options.core_depth : extent / 2);
  axes.depth.bottom =
      options.top + options.relief + (options.depth > 0 ? options.depth : axes.distance);
  axes.depth.depth_growth = options.depth_growth;
  axes.depth.growth = options.growth;
  if (!std::isfinite(extent) || !std::isfinite(axes.depth.bottom))
    refuse(io, "the electrodes span more than the range of numbers");

  Scales scale;
  if (options.cell_budget > 0) {
    scale = scales_for_budget(axes, static_cast<double>(options.cell_budget));
    if (scale.x == 0) {
      refuse(io, "no mesh for these electrodes keeps within " +
                     std::to_string(options.cell_budget) + " cells; allow more cells");
    }
  }
  const double total = cells_along(axes, true, scale.x) * cells_along(axes, false, scale.y) *
                       depth_nodes(scaled_plan(axes, scale.z), nullptr);
  if (!(total <= static_cast<double>(std::numeric_limits<std::int32_t>::max()) / 2)) {
    refuse(io, "core cells of " + shortest(axes.cell_x * scale.x) + " m x " +
                   shortest(axes.cell_y * scale.y) + " m over " + shortest(span_x) + " m x " +
                   shortest(span_y) + " m of electrodes make a mesh of " + shortest(total) +
                   " cells, more than a mesh for a survey may have; choose a larger cell width");
  }
  std::vector<double> x_nodes =
      horizontal_nodes(axes.x, axes.cell_x * scale.x, axes.margin, axes.growth, axes.distance);
  std::vector<double> y_nodes =
      horizontal_nodes(axes.y, axes.cell_y * scale.y, axes.margin, axes.growth, axes.distance);
  std::vector<double> z_nodes;
  depth_nodes(scaled_plan(axes, scale.z), &z_nodes);
  return make_mesh3d(io, std::move(x_nodes), std::move(y_nodes), std::move(z_nodes));
}

Mesh3D survey_mesh3d(const Io& io, const Survey3D& survey, const SurveyMesh3DOptions& options) {
  return mesh3d_for_electrodes(io, survey.electrodes, options);
}

}  // namespace quelby
