#include "quelby/forward/survey_mesh.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/graded_axis.hpp"

namespace quelby {
namespace {

// A direction of a mesh file: the first segment's start, then each segment's end and count.
struct Segments {
  double start = 0;
  std::vector<double> ends;
  std::vector<std::int32_t> counts;
};

// Nodes and widths exactly as the mesh reader makes them from the segments.
void fill_direction(const Segments& segments, std::vector<double>& nodes,
                    std::vector<double>& widths) {
  nodes.assign(1, segments.start);
  widths.clear();
  double a = segments.start;
  for (std::size_t s = 0; s < segments.ends.size(); ++s) {
    const double b = segments.ends[s];
    const std::int32_t n = segments.counts[s];
    const double w = (b - a) / static_cast<double>(n);
    for (std::int32_t c = 0; c < n; ++c) {
      widths.push_back(w);
      nodes.push_back(nodes.back() + w);
    }
    a = b;
  }
}

Mesh mesh_from_segments(const Segments& x, const Segments& z) {
  Mesh mesh;
  fill_direction(x, mesh.x_nodes, mesh.dx);
  fill_direction(z, mesh.z_nodes, mesh.dz);
  mesh.nx = static_cast<std::int32_t>(mesh.dx.size());
  mesh.nz = static_cast<std::int32_t>(mesh.dz.size());
  mesh.x_centres.resize(mesh.dx.size());
  mesh.z_centres.resize(mesh.dz.size());
  for (std::size_t i = 0; i < mesh.dx.size(); ++i)
    mesh.x_centres[i] = (mesh.x_nodes[i] + mesh.x_nodes[i + 1]) * 0.5;
  for (std::size_t k = 0; k < mesh.dz.size(); ++k)
    mesh.z_centres[k] = (mesh.z_nodes[k] + mesh.z_nodes[k + 1]) * 0.5;
  mesh.x_mid = (mesh.x_nodes.front() + mesh.x_nodes.back()) * 0.5;
  mesh.z_first = mesh.z_nodes.front();
  mesh.node_count = (mesh.nx + 1) * (mesh.nz + 1);
  mesh.z_node_count_plus_one = mesh.nz + 2;
  return mesh;
}

// A width rounded to three significant digits, so that the written file stays readable.
double rounded(double width) {
  const double scale = std::pow(10.0, std::floor(std::log10(width)) - 2);
  return std::round(width / scale) * scale;
}

// Padding widths from the core outwards: cell w g, w g^2, ... rounded.
std::vector<double> padding_widths(double cell, double growth, int count) {
  std::vector<double> widths;
  double width = cell;
  for (int p = 0; p < count; ++p) {
    width *= growth;
    widths.push_back(rounded(width));
  }
  return widths;
}

int padding_to_reach(double cell, double growth, double distance) {
  double total = 0, width = cell;
  int count = 0;
  while (total < distance && count < 200) {
    width *= growth;
    total += rounded(width);
    ++count;
  }
  return std::max(count, 1);
}

[[noreturn]] void refuse(const Io& io, const std::string& what) {
  stop_with(io, Order::console_then_log, "\nError: " + what + "\n");
}

// The most nodes, (nx + 1) x (nz + 1), a mesh may have (what the mesh reader accepts), and the
// most cells along either direction of a mesh for a survey: far beyond any mesh the forward model
// can solve on, and small enough that the mesh's own arrays take some tens of megabytes at most.
constexpr double most_nodes = std::numeric_limits<std::int32_t>::max();
constexpr double most_cells_along = 1e6;

// Refuses, before anything is allocated, a mesh of `columns` x `rows` cells (counted in floating
// point, so that no count can overflow) beyond those limits.
void check_cell_counts(const Io& io, double columns, double rows, double cell, double line,
                       double depth) {
  if (columns <= most_cells_along && rows <= most_cells_along &&
      (columns + 1) * (rows + 1) <= most_nodes) {
    return;
  }
  refuse(io, "a core cell of " + shortest(cell) + " m over " + shortest(line) +
                 " m of electrodes and a core depth of " + shortest(depth) + " m make a mesh of " +
                 shortest(columns) + " x " + shortest(rows) +
                 " cells, more than a mesh for a survey may have (" +
                 std::to_string(static_cast<long long>(most_cells_along)) +
                 " cells along x or z, " + shortest(most_nodes) +
                 " nodes in all); choose a larger cell width or a smaller core depth");
}

// Refuses nodes that are not finite and strictly increasing: cells too small to be told apart at
// the positions' magnitude, or padding grown beyond the range of doubles.
void check_nodes(const Io& io, std::span<const double> nodes, const char* axis, double cell) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (std::isfinite(nodes[i]) && (i == 0 || nodes[i] > nodes[i - 1])) continue;
    // Node numbers are shown 1-based.
    std::string what = std::string("the mesh's ") + axis + " node " + std::to_string(i + 1);
    what += std::isfinite(nodes[i]) ? " at " + shortest(nodes[i]) + " m does not follow node " +
                                          std::to_string(i) + " at " + shortest(nodes[i - 1]) + " m"
                                    : " is not a finite number (" + shortest(nodes[i]) + ")";
    refuse(io, what + ": a core cell of " + shortest(cell) +
                   " m cannot be placed at these positions; choose a larger cell width or a "
                   "smaller padding growth");
  }
}

// Where a survey with z positions needs cells finer than the core cell: the electrodes' distinct
// x and z positions, each with a quarter of the distance (in the section) from an electrode there
// to its nearest other electrode, since the forward model's error grows where fewer than about
// four cells part a current and a potential electrode. An axis none of whose positions needs
// finer cells keeps its equal core cells (its list stays empty). Along z the positions kept are
// those that need finer cells and those below `surface` (buried wherever the ground lies), so that
// every buried electrode stands on a row boundary; an electrode on the ground needs none, since
// it stands on the surface the ground's cells make. Sorting, then about linear in electrodes.
struct Refinement {
  std::vector<AxisAnchor> along_x, along_z;
};

Refinement refinement_for(std::span<const double> x, std::span<const double> z, double cell,
                          double surface) {
  std::vector<std::pair<double, double>> points;
  for (std::size_t e = 0; e < x.size() && e < z.size(); ++e) points.emplace_back(x[e], z[e]);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  // The nearest other electrode, scanning outwards in x until the x distance alone is larger.
  std::vector<double> widths(points.size(), cell);
  for (std::size_t e = 0; e < points.size(); ++e) {
    double nearest = std::numeric_limits<double>::infinity();
    for (std::size_t o = e + 1; o < points.size() && points[o].first - points[e].first < nearest;
         ++o) {
      nearest = std::min(nearest, std::hypot(points[o].first - points[e].first,
                                             points[o].second - points[e].second));
    }
    for (std::size_t o = e; o-- > 0 && points[e].first - points[o].first < nearest;) {
      nearest = std::min(nearest, std::hypot(points[o].first - points[e].first,
                                             points[o].second - points[e].second));
    }
    widths[e] = std::min(cell, nearest / 4);
  }
  const auto anchors = [&](bool along_x) {
    std::vector<AxisAnchor> list;
    for (std::size_t e = 0; e < points.size(); ++e) {
      list.push_back({along_x ? points[e].first : points[e].second, widths[e]});
    }
    std::sort(list.begin(), list.end(), [](const AxisAnchor& a, const AxisAnchor& b) {
      return a.position < b.position || (a.position == b.position && a.width < b.width);
    });
    // The narrowest width at each position.
    list.erase(std::unique(list.begin(), list.end(),
                           [](const AxisAnchor& a, const AxisAnchor& b) {
                             return a.position == b.position;
                           }),
               list.end());
    const bool finer = std::any_of(list.begin(), list.end(), [&](const AxisAnchor& anchor) {
      return anchor.width < cell * (1 - 1e-9);
    });
    if (!finer) list.clear();
    return list;
  };
  Refinement refinement{anchors(true), anchors(false)};
  std::erase_if(refinement.along_z, [&](const AxisAnchor& anchor) {
    return !(anchor.width < cell * (1 - 1e-9) || anchor.position > surface);
  });
  return refinement;
}

}  // namespace

Mesh mesh_for_electrodes(const Io& io, std::span<const double> x, std::span<const double> z,
                         double largest_separation, const SurveyMeshOptions& options) {
  if (x.empty()) refuse(io, "the survey has no electrodes");
  if (options.cell_width < 0 || !std::isfinite(options.cell_width))
    refuse(io, "cell width should be positive");
  if (options.core_depth < 0 || !std::isfinite(options.core_depth))
    refuse(io, "core depth should be positive");
  if (!(options.growth >= 1) || !std::isfinite(options.growth))
    refuse(io, "padding growth should be 1 or more");
  if (!(options.grading >= 1) || !std::isfinite(options.grading))
    refuse(io, "core grading should be 1 or more");
  if (!(options.depth_growth >= 1) || !std::isfinite(options.depth_growth))
    refuse(io, "depth growth should be 1 or more");
  if (!(options.relief >= 0) || !std::isfinite(options.relief))
    refuse(io, "relief should not be negative");
  if (options.padding_cells < 0 || options.margin_cells < 0)
    refuse(io, "cell counts should not be negative");
  if (!std::isfinite(options.top)) refuse(io, "the top should be a finite number");
  for (std::size_t e = 0; e < x.size(); ++e) {
    if (!std::isfinite(x[e]) || (e < z.size() && !std::isfinite(z[e]))) {
      refuse(io, "electrode position " + std::to_string(e + 1) + " is not a finite number");
    }
  }
  std::vector<double> positions(x.begin(), x.end());
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  double spacing = 0;
  for (std::size_t i = 1; i < positions.size(); ++i) {
    const double gap = positions[i] - positions[i - 1];
    if (spacing == 0 || gap < spacing) spacing = gap;
  }
  const double first = positions.front();
  const double last = positions.back();
  const double line = last - first;
  if (!std::isfinite(line)) refuse(io, "the electrodes span more than the range of numbers");
  double cell = options.cell_width;
  if (cell == 0)
    cell = spacing > 0 ? spacing / 4 : (largest_separation > 0 ? largest_separation / 16 : 1.0);
  // Whole cells across the electrodes, of the width nearest the chosen one; every count is
  // checked in floating point before it is converted or anything is allocated.
  const double across_cells = std::max(1.0, std::round(line / cell));
  const double depth =
      options.core_depth > 0
          ? options.core_depth
          : std::max(0.75 * largest_separation, 4 * (line > 0 ? line / across_cells : cell));
  const double chosen_cell = cell;
  if (line > 0) cell = line / across_cells;
  double deepest = options.top;
  for (const double value : z) deepest = std::max(deepest, value);
  const double core_bottom = std::max(options.top + options.relief + depth, deepest + 4 * cell);
  const double row_cells = std::ceil((core_bottom - options.top) / cell - 1e-9);
  const double reach = 5 * std::max(line, depth + options.relief);
  const int padding = options.padding_cells > 0 ? options.padding_cells
                                                : padding_to_reach(cell, options.growth, reach);
  const double core_columns =
      line > 0 ? across_cells + 2.0 * options.margin_cells : 2.0 * options.margin_cells + 1;
  const double core_start = first - options.margin_cells * cell;
  const double core_end =
      line > 0 ? last + options.margin_cells * cell : first + (options.margin_cells + 1) * cell;
  const double core_depth_end = options.top + row_cells * cell;
  const Refinement refinement =
      refinement_for(x, z, cell, options.top + options.relief + 1e-9 * cell);
  const double columns =
      refinement.along_x.empty()
          ? core_columns
          : graded_cell_count(core_start, core_end, refinement.along_x, cell, options.grading);
  // Rows of a survey on the ground: core cells through the relief and four cells below it, then
  // each row depth_growth times the one above down to the core's bottom.
  const double fine_rows =
      std::min(row_cells, std::ceil((options.relief + 4 * cell) / cell - 1e-9));
  std::vector<double> growing_rows;
  if (refinement.along_z.empty() && options.depth_growth > 1) {
    double reached = options.top + fine_rows * cell, height = cell;
    while (reached < core_bottom - 1e-9 * cell && growing_rows.size() < 1000) {
      height *= options.depth_growth;
      growing_rows.push_back(rounded(height));
      reached += growing_rows.back();
    }
  }
  const bool rows_reach = growing_rows.empty() || options.top + fine_rows * cell + [&] {
    double total = 0;
    for (const double height : growing_rows) total += height;
    return total;
  }() >= core_bottom - 1e-9 * cell;
  const double rows_made =
      !rows_reach ? row_cells
      : !refinement.along_z.empty()
          ? graded_cell_count(options.top, core_depth_end, refinement.along_z, cell,
                              options.grading)
          : (options.depth_growth > 1 ? fine_rows + static_cast<double>(growing_rows.size())
                                      : row_cells);
  check_cell_counts(io, columns + 2.0 * padding, rows_made + padding, chosen_cell, line,
                    core_bottom - options.top);
  // The core of each axis: one segment of equal cells, or graded around the electrodes that need
  // finer cells.
  const auto core_of = [&](double start, double end, double count,
                           const std::vector<AxisAnchor>& anchors) {
    if (anchors.empty()) {
      return std::vector<AxisSegment>{{end, static_cast<std::int32_t>(count)}};
    }
    return graded_segments(start, end, anchors, cell, options.grading);
  };
  const std::vector<AxisSegment> x_core =
      core_of(core_start, core_end, core_columns, refinement.along_x);
  std::vector<AxisSegment> z_core;
  if (refinement.along_z.empty() && options.depth_growth > 1) {
    double at_row = options.top + fine_rows * cell;
    z_core.push_back({at_row, static_cast<std::int32_t>(fine_rows)});
    for (const double height : growing_rows) {
      at_row += height;
      z_core.push_back({at_row, 1});
    }
  } else {
    z_core = core_of(options.top, core_depth_end, row_cells, refinement.along_z);
  }
  // The padding grows from the core's edge cell on each side: the core cell, or the cell a
  // graded core ends with there, so that no cell is more than `growth` times its neighbour.
  const auto first_width = [](double start, const std::vector<AxisSegment>& core) {
    return (core.front().end - start) / core.front().count;
  };
  const auto last_width = [](double start, const std::vector<AxisSegment>& core) {
    const double before = core.size() > 1 ? core[core.size() - 2].end : start;
    return (core.back().end - before) / core.back().count;
  };
  const auto pads_from = [&](double edge) {
    const int count = options.padding_cells > 0 ? options.padding_cells
                                                : padding_to_reach(edge, options.growth, reach);
    return padding_widths(edge, options.growth, count);
  };
  const std::vector<double> left_pads = pads_from(first_width(core_start, x_core));
  const std::vector<double> right_pads = pads_from(last_width(core_start, x_core));
  const std::vector<double> bottom_pads = pads_from(last_width(options.top, z_core));
  check_cell_counts(io, static_cast<double>(left_pads.size() + right_pads.size()) + columns,
                    static_cast<double>(bottom_pads.size()) + rows_made, chosen_cell, line,
                    core_bottom - options.top);
  double padding_total = 0;
  for (const double w : left_pads) padding_total += w;

  Segments xs;
  xs.start = core_start - padding_total;
  double at = xs.start;
  for (std::size_t p = left_pads.size(); p-- > 1;) {
    at += left_pads[p];
    xs.ends.push_back(at);
    xs.counts.push_back(1);
  }
  if (!left_pads.empty()) {
    xs.ends.push_back(core_start);
    xs.counts.push_back(1);
  }
  for (const AxisSegment& segment : x_core) {
    xs.ends.push_back(segment.end);
    xs.counts.push_back(segment.count);
  }
  at = core_end;
  for (const double w : right_pads) {
    at += w;
    xs.ends.push_back(at);
    xs.counts.push_back(1);
  }
  Segments zs;
  zs.start = options.top;
  for (const AxisSegment& segment : z_core) {
    zs.ends.push_back(segment.end);
    zs.counts.push_back(segment.count);
  }
  at = zs.ends.back();
  for (const double w : bottom_pads) {
    at += w;
    zs.ends.push_back(at);
    zs.counts.push_back(1);
  }
  Mesh mesh = mesh_from_segments(xs, zs);
  check_nodes(io, mesh.x_nodes, "x", chosen_cell);
  check_nodes(io, mesh.z_nodes, "z", chosen_cell);
  return mesh;
}

namespace {

// The electrode positions of every datum (x; z where the survey has them) and the largest
// distance between a current and a potential electrode (along x; in the section with z).
double electrode_positions(const SurveyData& survey, std::vector<double>& x,
                           std::vector<double>& z) {
  double largest = 0;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    x.push_back(survey.xa_cur[pair]);
    x.push_back(survey.xb_cur[pair]);
    if (survey.has_z) {
      z.push_back(survey.za_cur[pair]);
      z.push_back(survey.zb_cur[pair]);
    }
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      x.push_back(survey.xm[i]);
      x.push_back(survey.xn[i]);
      if (survey.has_z) {
        z.push_back(survey.zm[i]);
        z.push_back(survey.zn[i]);
      }
      // With z positions the distance in the section, since buried electrodes may share x.
      const double za = survey.has_z ? survey.za_cur[pair] : 0.0;
      const double zb = survey.has_z ? survey.zb_cur[pair] : 0.0;
      const double zm = survey.has_z ? survey.zm[i] : 0.0;
      const double zn = survey.has_z ? survey.zn[i] : 0.0;
      const std::pair<double, double> sources[2] = {{survey.xa_cur[pair], za},
                                                    {survey.xb_cur[pair], zb}};
      const std::pair<double, double> receivers[2] = {{survey.xm[i], zm}, {survey.xn[i], zn}};
      for (const auto& [source_x, source_z] : sources) {
        for (const auto& [receiver_x, receiver_z] : receivers) {
          largest = std::max(largest, std::hypot(source_x - receiver_x, source_z - receiver_z));
        }
      }
    }
  }
  return largest;
}

}  // namespace

Mesh mesh_for_survey(const Io& io, const SurveyData& survey, const SurveyMeshOptions& options) {
  std::vector<double> x, z;
  const double largest = electrode_positions(survey, x, z);
  return mesh_for_electrodes(io, x, z, largest, options);
}

Mesh mesh_for_survey_under_ground(const Io& io, const SurveyData& survey,
                                  std::string_view topography_name,
                                  const SurveyMeshOptions& options) {
  std::vector<double> x, z;
  const double largest = electrode_positions(survey, x, z);
  SurveyMeshOptions flat = options;
  flat.top = 0;
  flat.relief = 0;
  const Mesh first = mesh_for_electrodes(io, x, z, largest, flat);
  // The ground at the nodes of a mesh with the same columns gives the rows' span.
  Topography ground;
  read_topography(io, true, topography_name, first.x_nodes, first.z_nodes, ground);
  const auto [lowest_x, highest_x] = std::minmax_element(x.begin(), x.end());
  double top = ground.surface_z.front();
  double bottom = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < ground.surface_z.size(); ++i) {
    const double surface = ground.surface_z[i];
    top = std::min(top, surface);
    const double at = first.x_nodes[i];
    if (at >= *lowest_x && at <= *highest_x) bottom = std::max(bottom, surface);
  }
  if (!(bottom >= top)) bottom = top;
  SurveyMeshOptions placed = options;
  placed.top = top;
  placed.relief = bottom - top;
  return mesh_for_electrodes(io, x, z, largest, placed);
}

Mesh mesh_from_nodes(const Io& io, std::span<const double> x_nodes,
                     std::span<const double> z_nodes) {
  auto segments = [&](std::span<const double> nodes, const char* axis) {
    if (nodes.size() < 2) refuse(io, std::string(axis) + " nodes: at least two are needed");
    Segments result;
    result.start = nodes[0];
    for (std::size_t i = 1; i < nodes.size(); ++i) {
      if (!(nodes[i] > nodes[i - 1]) || !std::isfinite(nodes[i])) {
        refuse(io, std::string(axis) + " nodes should be finite and in increasing order");
      }
      result.ends.push_back(nodes[i]);
      result.counts.push_back(1);
    }
    return result;
  };
  return mesh_from_segments(segments(x_nodes, "X"), segments(z_nodes, "Z"));
}

void write_mesh(const Io& io, std::string_view name, const Mesh& mesh) {
  const std::string file_name(trim_trailing_blanks(name));
  std::string text;
  auto direction = [&](const std::vector<double>& nodes, const std::vector<double>& widths) {
    // Runs of bitwise equal widths make one segment each.
    std::vector<std::size_t> run_ends;
    for (std::size_t i = 1; i <= widths.size(); ++i) {
      if (i == widths.size() || widths[i] != widths[i - 1]) run_ends.push_back(i);
    }
    text += std::to_string(run_ends.size()) + "\n";
    std::size_t begin = 0;
    for (std::size_t r = 0; r < run_ends.size(); ++r) {
      if (r == 0) text += shortest(nodes[0]) + " ";
      text += shortest(nodes[run_ends[r]]) + " " + std::to_string(run_ends[r] - begin) + "\n";
      begin = run_ends[r];
    }
  };
  direction(mesh.x_nodes, mesh.dx);
  direction(mesh.z_nodes, mesh.dz);
  write_whole_file(io, file_name, "mesh file", text);
}

}  // namespace quelby
