#include "quelby/forward/parameter_grid.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "quelby/base/blanks.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

// The growth of the grid's cells per cell outside the electrodes and per layer with depth.
constexpr double grid_growth = 1.1;

// A grid cell ends at the forward node whose distance from its start is nearest `aim` (at least
// one forward cell; of two equally near, the nearer node).
std::int32_t next_node(std::span<const double> nodes, std::int32_t start, std::int32_t limit,
                       double aim) {
  const double from = nodes[static_cast<std::size_t>(start)];
  std::int32_t end = start + 1;
  while (end < limit && std::abs(nodes[static_cast<std::size_t>(end) + 1] - from - aim) <
                            std::abs(nodes[static_cast<std::size_t>(end)] - from - aim)) {
    ++end;
  }
  return end;
}

// Grid nodes from `start` to `limit` (forward node indices, start < limit) of cells about `aim`
// wide, each aim `growth` times the last, plus the distance the cell starts beyond `free_from`
// (so that past it the cells about double: the data see little there); a remainder narrower than
// half the next aim joins the last cell. Nodes after `start`, up to and with `limit`, appended to
// `out` in order.
void group_forward(std::span<const double> nodes, std::int32_t start, std::int32_t limit,
                   double aim, double growth, double free_from, std::vector<std::int32_t>& out) {
  std::int32_t at = start;
  const auto beyond = [&](std::int32_t node) {
    return std::max(0.0, nodes[static_cast<std::size_t>(node)] - free_from);
  };
  while (at < limit) {
    std::int32_t end = next_node(nodes, at, limit, aim + beyond(at));
    // The next cell no narrower than this one: the aim follows what the forward nodes gave.
    if (growth > 1) {
      aim = std::max(aim, nodes[static_cast<std::size_t>(end)] -
                              nodes[static_cast<std::size_t>(at)] - beyond(at));
    }
    aim *= growth;
    const double rest =
        nodes[static_cast<std::size_t>(limit)] - nodes[static_cast<std::size_t>(end)];
    if (end < limit && rest < 0.5 * (aim + beyond(end))) end = limit;
    out.push_back(end);
    at = end;
  }
}

// The same growing away from `start` towards a smaller node index `limit` (limit < start): the
// nodes in increasing order.
void group_forward_down(std::span<const double> nodes, std::int32_t start, std::int32_t limit,
                        double aim, double growth, double free_from,
                        std::vector<std::int32_t>& out) {
  std::vector<double> mirrored(nodes.size());
  const std::size_t n = nodes.size();
  for (std::size_t i = 0; i < n; ++i) mirrored[i] = -nodes[n - 1 - i];
  const auto mirror = [&](std::int32_t index) { return static_cast<std::int32_t>(n - 1) - index; };
  std::vector<std::int32_t> grouped;
  group_forward(mirrored, mirror(start), mirror(limit), aim, growth, -free_from, grouped);
  for (auto it = grouped.rbegin(); it != grouped.rend(); ++it) out.push_back(mirror(*it));
}

// The forward node nearest `position` (the first of two equally near).
std::int32_t nearest_node(std::span<const double> nodes, double position) {
  const auto above = std::lower_bound(nodes.begin(), nodes.end(), position);
  if (above == nodes.begin()) return 0;
  if (above == nodes.end()) return static_cast<std::int32_t>(nodes.size() - 1);
  const auto below = above - 1;
  return static_cast<std::int32_t>((position - *below <= *above - position ? below : above) -
                                   nodes.begin());
}

Mesh grid_mesh(const Mesh& forward, std::span<const std::int32_t> columns,
               std::span<const std::int32_t> layers) {
  Mesh mesh;
  for (const std::int32_t i : columns)
    mesh.x_nodes.push_back(forward.x_nodes[static_cast<std::size_t>(i)]);
  for (const std::int32_t k : layers)
    mesh.z_nodes.push_back(forward.z_nodes[static_cast<std::size_t>(k)]);
  mesh.nx = static_cast<std::int32_t>(mesh.x_nodes.size() - 1);
  mesh.nz = static_cast<std::int32_t>(mesh.z_nodes.size() - 1);
  for (std::size_t i = 0; i + 1 < mesh.x_nodes.size(); ++i) {
    mesh.dx.push_back(mesh.x_nodes[i + 1] - mesh.x_nodes[i]);
    mesh.x_centres.push_back((mesh.x_nodes[i] + mesh.x_nodes[i + 1]) * 0.5);
  }
  for (std::size_t k = 0; k + 1 < mesh.z_nodes.size(); ++k) {
    mesh.dz.push_back(mesh.z_nodes[k + 1] - mesh.z_nodes[k]);
    mesh.z_centres.push_back((mesh.z_nodes[k] + mesh.z_nodes[k + 1]) * 0.5);
  }
  mesh.x_mid = (mesh.x_nodes.front() + mesh.x_nodes.back()) * 0.5;
  mesh.z_first = mesh.z_nodes.front();
  mesh.node_count = (mesh.nx + 1) * (mesh.nz + 1);
  mesh.z_node_count_plus_one = mesh.nz + 2;
  return mesh;
}

ParameterGrid identity(const Mesh& forward) {
  ParameterGrid grid;
  for (std::int32_t i = 0; i <= forward.nx; ++i) grid.column_nodes.push_back(i);
  for (std::int32_t k = 0; k <= forward.nz; ++k) grid.layer_nodes.push_back(k);
  grid.mesh = forward;
  return grid;
}

}  // namespace

bool ParameterGrid::is_forward_mesh() const {
  for (std::size_t i = 0; i < column_nodes.size(); ++i)
    if (column_nodes[i] != static_cast<std::int32_t>(i)) return false;
  for (std::size_t k = 0; k < layer_nodes.size(); ++k)
    if (layer_nodes[k] != static_cast<std::int32_t>(k)) return false;
  return true;
}

std::vector<std::int32_t> ParameterGrid::grid_cell_of_forward_cells() const {
  const std::int32_t nx = column_nodes.back(), nz = layer_nodes.back();
  std::vector<std::int32_t> column(static_cast<std::size_t>(nx)),
      layer(static_cast<std::size_t>(nz));
  for (std::size_t g = 0; g + 1 < column_nodes.size(); ++g)
    for (std::int32_t i = column_nodes[g]; i < column_nodes[g + 1]; ++i)
      column[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(g);
  for (std::size_t g = 0; g + 1 < layer_nodes.size(); ++g)
    for (std::int32_t k = layer_nodes[g]; k < layer_nodes[g + 1]; ++k)
      layer[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(g);
  std::vector<std::int32_t> cell(static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz));
  const std::int32_t grid_nx = mesh.nx;
  for (std::int32_t k = 0; k < nz; ++k)
    for (std::int32_t i = 0; i < nx; ++i)
      cell[static_cast<std::size_t>(k) * static_cast<std::size_t>(nx) +
           static_cast<std::size_t>(i)] =
          layer[static_cast<std::size_t>(k)] * grid_nx + column[static_cast<std::size_t>(i)];
  return cell;
}

std::vector<std::int32_t> ParameterGrid::air_cells(
    std::span<const std::int32_t> forward_air) const {
  std::vector<std::int32_t> result(static_cast<std::size_t>(mesh.nx), 0);
  for (std::size_t g = 0; g + 1 < column_nodes.size(); ++g) {
    std::int32_t least = std::numeric_limits<std::int32_t>::max();
    for (std::int32_t i = column_nodes[g]; i < column_nodes[g + 1]; ++i)
      least = std::min(least, forward_air[static_cast<std::size_t>(i)]);
    std::int32_t count = 0;
    while (count + 1 < static_cast<std::int32_t>(layer_nodes.size()) &&
           layer_nodes[static_cast<std::size_t>(count) + 1] <= least) {
      ++count;
    }
    result[g] = count;
  }
  return result;
}

ParameterCellChoice parse_parameter_cell(const Io& io, std::string_view text,
                                         std::string_view context) {
  const std::string_view value = trim_trailing_blanks(text);
  if (value == "mesh") return {ParameterCellChoice::Kind::forward_mesh, 0};
  if (value == "auto") return {ParameterCellChoice::Kind::automatic, 0};
  double width = 0;
  const char* const end = value.data() + value.size();
  const auto parsed = std::from_chars(value.data(), end, width);
  if (!value.empty() && parsed.ec == std::errc() && parsed.ptr == end && width > 0 &&
      std::isfinite(width)) {
    return {ParameterCellChoice::Kind::width, width};
  }
  stop_with(io, Order::console_then_log,
            "\nError: " + std::string(context) +
                ": the parameter cell should be mesh, auto or a positive width in metres, not '" +
                std::string(value) + "'\n");
}

ParameterGrid parameter_grid(const Io& io, const Mesh& forward, std::span<const double> electrode_x,
                             double ground_top, const ParameterCellChoice& choice,
                             std::span<const double> electrode_z) {
  (void)io;
  if (choice.kind == ParameterCellChoice::Kind::forward_mesh) return identity(forward);
  const std::span<const double> x_nodes(forward.x_nodes);
  const std::span<const double> z_nodes(forward.z_nodes);
  std::vector<double> inside;
  for (const double x : electrode_x) {
    if (std::isfinite(x) && x >= x_nodes.front() && x <= x_nodes.back()) inside.push_back(x);
  }
  std::sort(inside.begin(), inside.end());
  inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
  double width = choice.width;
  if (choice.kind == ParameterCellChoice::Kind::automatic) {
    double spacing = 0;
    for (std::size_t e = 1; e < inside.size(); ++e) {
      const double gap = inside[e] - inside[e - 1];
      if (spacing == 0 || gap < spacing) spacing = gap;
    }
    // Buried electrodes: the smallest distance in the section between two of them.
    if (electrode_z.size() == electrode_x.size()) {
      std::vector<std::pair<double, double>> points;
      for (std::size_t e = 0; e < electrode_x.size(); ++e) {
        if (std::isfinite(electrode_x[e]) && std::isfinite(electrode_z[e]) &&
            electrode_x[e] >= x_nodes.front() && electrode_x[e] <= x_nodes.back()) {
          points.emplace_back(electrode_x[e], electrode_z[e]);
        }
      }
      std::sort(points.begin(), points.end());
      points.erase(std::unique(points.begin(), points.end()), points.end());
      for (std::size_t e = 0; e < points.size(); ++e) {
        for (std::size_t o = e + 1;
             o < points.size() && (spacing == 0 || points[o].first - points[e].first < spacing);
             ++o) {
          const double distance =
              std::hypot(points[o].first - points[e].first, points[o].second - points[e].second);
          if (spacing == 0 || distance < spacing) spacing = distance;
        }
      }
    }
    if (spacing == 0) spacing = 2 * *std::min_element(forward.dx.begin(), forward.dx.end());
    width = spacing / 2;
  }
  ParameterGrid grid;
  // Columns: the electrodes' span in cells of the width, then growing cells to both sides.
  const auto nx = forward.nx;
  const std::int32_t first = inside.empty() ? nx / 2 : nearest_node(x_nodes, inside.front());
  const std::int32_t last =
      inside.empty() ? nx / 2 : std::max(first, nearest_node(x_nodes, inside.back()));
  const double line_start = x_nodes[static_cast<std::size_t>(first)];
  const double line_end = x_nodes[static_cast<std::size_t>(last)];
  const double infinite = std::numeric_limits<double>::infinity();
  std::vector<std::int32_t> left;
  if (first > 0) {
    group_forward_down(x_nodes, first, 0, width * grid_growth, grid_growth, line_start, left);
  }
  grid.column_nodes.assign(left.begin(), left.end());
  grid.column_nodes.push_back(first);
  if (last > first) group_forward(x_nodes, first, last, width, 1.0, infinite, grid.column_nodes);
  if (last < nx) {
    group_forward(x_nodes, last, nx, width * grid_growth, grid_growth, line_end, grid.column_nodes);
  }
  // Layers: the rows above the highest ground one each; from it layers of half the width, each
  // 1.1 times the one above, to 0.3 line lengths (deeper than four-electrode data of the line
  // see much), and growing with depth below.
  const auto nz = forward.nz;
  std::int32_t top = 0;
  while (top < nz && z_nodes[static_cast<std::size_t>(top) + 1] <= ground_top) ++top;
  for (std::int32_t k = 0; k <= top; ++k) grid.layer_nodes.push_back(k);
  const double line = inside.size() > 1 ? inside.back() - inside.front() : 16 * width;
  // Buried electrodes keep layers of half the width down to two widths below the deepest.
  double deepest = -infinite;
  for (const double z : electrode_z)
    if (std::isfinite(z) && z > ground_top) deepest = std::max(deepest, z);
  if (top < nz && deepest > ground_top) {
    const std::int32_t bottom = std::max(top + 1, nearest_node(z_nodes, deepest + 2 * width));
    group_forward(z_nodes, top, bottom, width / 2, 1.0, infinite, grid.layer_nodes);
    top = bottom;
  }
  if (top < nz) {
    group_forward(z_nodes, top, nz, width / 2, grid_growth,
                  std::max(ground_top, deepest) + 0.3 * line, grid.layer_nodes);
  }
  grid.mesh = grid_mesh(forward, grid.column_nodes, grid.layer_nodes);
  return grid;
}

std::vector<double> survey_electrode_z(const SurveyData& survey) {
  std::vector<double> z;
  if (!survey.has_z) return z;
  z.insert(z.end(), survey.za_cur.begin(), survey.za_cur.end());
  z.insert(z.end(), survey.zb_cur.begin(), survey.zb_cur.end());
  z.insert(z.end(), survey.zm.begin(), survey.zm.end());
  z.insert(z.end(), survey.zn.begin(), survey.zn.end());
  return z;
}

std::vector<double> survey_electrode_x(const SurveyData& survey) {
  std::vector<double> x;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    x.push_back(survey.xa_cur[pair]);
    x.push_back(survey.xb_cur[pair]);
  }
  x.insert(x.end(), survey.xm.begin(), survey.xm.end());
  x.insert(x.end(), survey.xn.begin(), survey.xn.end());
  return x;
}

double highest_ground(const Mesh& mesh, std::span<const std::int32_t> air_cells) {
  std::int32_t least_air = mesh.nz;
  for (const std::int32_t air : air_cells) least_air = std::min(least_air, air);
  return mesh.z_nodes[static_cast<std::size_t>(std::max(least_air, 0))];
}

ParameterGrid parameter_grid_of_mesh(const Io& io, const Mesh& forward, const Mesh& grid_cells,
                                     std::string_view name) {
  ParameterGrid grid;
  const auto match = [&](std::span<const double> forward_nodes, std::span<const double> nodes,
                         const char* axis, std::vector<std::int32_t>& out) {
    const double tolerance = 1e-9 * (forward_nodes.back() - forward_nodes.front());
    for (std::size_t g = 0; g < nodes.size(); ++g) {
      const std::int32_t at = nearest_node(forward_nodes, nodes[g]);
      const bool ends_match =
          (g == 0) == (at == 0) &&
          (g + 1 == nodes.size()) == (at + 1 == static_cast<std::int32_t>(forward_nodes.size()));
      if (std::abs(forward_nodes[static_cast<std::size_t>(at)] - nodes[g]) > tolerance ||
          !ends_match || (!out.empty() && at <= out.back())) {
        // Node numbers are shown 1-based.
        stop_with(io, Order::console_then_log,
                  "\nError: the parameter grid " + std::string(trim_trailing_blanks(name)) +
                      ": its " + axis + " node " + std::to_string(g + 1) + " at " +
                      shortest(nodes[g]) +
                      " m is not a node of the forward mesh (or the grid does not span the "
                      "mesh from its first node to its last)\n");
      }
      out.push_back(at);
    }
  };
  match(forward.x_nodes, grid_cells.x_nodes, "x", grid.column_nodes);
  match(forward.z_nodes, grid_cells.z_nodes, "z", grid.layer_nodes);
  grid.mesh = grid_mesh(forward, grid.column_nodes, grid.layer_nodes);
  return grid;
}

ParameterForwardCells forward_cells_of_parameters(const ParameterGrid& grid,
                                                  const ActiveCells& grid_cells,
                                                  std::span<const std::int32_t> forward_air) {
  const std::vector<std::int32_t> of = grid.grid_cell_of_forward_cells();
  const auto nx = static_cast<std::size_t>(grid.column_nodes.back());
  const auto npar = static_cast<std::size_t>(grid_cells.npar);
  ParameterForwardCells result;
  result.starts.assign(npar + 1, 0);
  const auto parameter_of = [&](std::size_t cell) -> std::int32_t {
    if (cell / nx < static_cast<std::size_t>(forward_air[cell % nx])) return -1;
    return grid_cells.parameter(static_cast<std::size_t>(of[cell]));
  };
  for (std::size_t cell = 0; cell < of.size(); ++cell) {
    const std::int32_t p = parameter_of(cell);
    if (p >= 0) ++result.starts[static_cast<std::size_t>(p) + 1];
  }
  for (std::size_t p = 0; p < npar; ++p) result.starts[p + 1] += result.starts[p];
  result.cells.resize(static_cast<std::size_t>(result.starts.back()));
  std::vector<std::int32_t> next(result.starts.begin(), result.starts.end() - 1);
  for (std::size_t cell = 0; cell < of.size(); ++cell) {
    const std::int32_t p = parameter_of(cell);
    if (p >= 0)
      result.cells[static_cast<std::size_t>(next[static_cast<std::size_t>(p)]++)] =
          static_cast<std::int32_t>(cell);
  }
  return result;
}

ParameterForwardCells forward_cells_of_parameters(const ActiveCells& cells) {
  ParameterForwardCells result;
  result.cells.resize(static_cast<std::size_t>(cells.npar));
  for (std::size_t cell = 0; cell < cells.cell_idx.size(); ++cell) {
    const std::int32_t parameter = cells.parameter(cell);
    if (parameter >= 0)
      result.cells[static_cast<std::size_t>(parameter)] = static_cast<std::int32_t>(cell);
  }
  result.starts.resize(result.cells.size() + 1);
  for (std::size_t p = 0; p < result.starts.size(); ++p)
    result.starts[p] = static_cast<std::int32_t>(p);
  return result;
}

std::vector<double> forward_model_of_grid(const ParameterGrid& grid,
                                          std::span<const double> grid_model) {
  const std::vector<std::int32_t> of = grid.grid_cell_of_forward_cells();
  std::vector<double> result(of.size());
  for (std::size_t cell = 0; cell < of.size(); ++cell)
    result[cell] = grid_model[static_cast<std::size_t>(of[cell])];
  return result;
}

}  // namespace quelby
