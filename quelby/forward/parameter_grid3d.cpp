#include "quelby/forward/parameter_grid3d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

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

// Grid nodes after `start` up to and with `limit` (forward node numbers, start < limit), appended
// to `out`: cells about `aim` wide, each aim `growth` times the last plus the distance the cell
// starts beyond `free_from`; a remainder narrower than half the next aim joins the last cell.
void group_forward(std::span<const double> nodes, std::int32_t start, std::int32_t limit,
                   double aim, double growth, double free_from, std::vector<std::int32_t>& out) {
  std::int32_t at = start;
  const auto beyond = [&](std::int32_t node) {
    return std::max(0.0, nodes[static_cast<std::size_t>(node)] - free_from);
  };
  while (at < limit) {
    std::int32_t end = next_node(nodes, at, limit, aim + beyond(at));
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

// The same growing from `start` towards the smaller node number `limit`: nodes in increasing order.
void group_forward_down(std::span<const double> nodes, std::int32_t start, std::int32_t limit,
                        double aim, double growth, double free_from,
                        std::vector<std::int32_t>& out) {
  const std::size_t n = nodes.size();
  std::vector<double> mirrored(n);
  for (std::size_t i = 0; i < n; ++i) mirrored[i] = -nodes[n - 1 - i];
  const auto mirror = [&](std::int32_t index) { return static_cast<std::int32_t>(n - 1) - index; };
  std::vector<std::int32_t> grouped;
  group_forward(mirrored, mirror(start), mirror(limit), aim, growth, -free_from, grouped);
  for (auto it = grouped.rbegin(); it != grouped.rend(); ++it) out.push_back(mirror(*it));
}

std::int32_t nearest_node(std::span<const double> nodes, double position) {
  const auto above = std::lower_bound(nodes.begin(), nodes.end(), position);
  if (above == nodes.begin()) return 0;
  if (above == nodes.end()) return static_cast<std::int32_t>(nodes.size() - 1);
  const auto below = above - 1;
  return static_cast<std::int32_t>((position - *below <= *above - position ? below : above) -
                                   nodes.begin());
}

// Grid nodes of one horizontal axis: the span of `coordinates` (sorted) in cells about `width`,
// growing cells outside it.
std::vector<std::int32_t> horizontal_grid(std::span<const double> nodes,
                                          const std::vector<double>& coordinates, double width) {
  const auto n = static_cast<std::int32_t>(nodes.size() - 1);
  const std::int32_t first = coordinates.empty() ? n / 2 : nearest_node(nodes, coordinates.front());
  const std::int32_t last =
      coordinates.empty() ? n / 2 : std::max(first, nearest_node(nodes, coordinates.back()));
  const double start = nodes[static_cast<std::size_t>(first)];
  const double end = nodes[static_cast<std::size_t>(last)];
  std::vector<std::int32_t> result;
  if (first > 0)
    group_forward_down(nodes, first, 0, width * grid_growth, grid_growth, start, result);
  result.push_back(first);
  if (last > first) {
    group_forward(nodes, first, last, width, 1.0, std::numeric_limits<double>::infinity(), result);
  }
  if (last < n) group_forward(nodes, last, n, width * grid_growth, grid_growth, end, result);
  return result;
}

double smallest_gap(const std::vector<double>& sorted) {
  double gap = 0;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    const double g = sorted[i] - sorted[i - 1];
    if (gap == 0 || g < gap) gap = g;
  }
  return gap;
}

Mesh3D grid_mesh(const Io& io, const Mesh3D& forward, const ParameterGrid3D& grid) {
  const auto pick = [](const std::vector<double>& nodes, const std::vector<std::int32_t>& at) {
    std::vector<double> picked;
    picked.reserve(at.size());
    for (const std::int32_t i : at) picked.push_back(nodes[static_cast<std::size_t>(i)]);
    return picked;
  };
  return make_mesh3d(io, pick(forward.x_nodes, grid.x_nodes), pick(forward.y_nodes, grid.y_nodes),
                     pick(forward.z_nodes, grid.z_nodes));
}

std::vector<std::int32_t> identity_nodes(std::int32_t cells) {
  std::vector<std::int32_t> nodes(static_cast<std::size_t>(cells) + 1);
  for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i] = static_cast<std::int32_t>(i);
  return nodes;
}

// Per forward cell along one axis its grid cell.
std::vector<std::int32_t> grid_index(const std::vector<std::int32_t>& nodes) {
  std::vector<std::int32_t> index(static_cast<std::size_t>(nodes.back()));
  for (std::size_t g = 0; g + 1 < nodes.size(); ++g)
    for (std::int32_t i = nodes[g]; i < nodes[g + 1]; ++i)
      index[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(g);
  return index;
}

}  // namespace

bool ParameterGrid3D::is_forward_mesh() const {
  const auto identity = [](const std::vector<std::int32_t>& nodes) {
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i] != static_cast<std::int32_t>(i)) return false;
    return true;
  };
  return identity(x_nodes) && identity(y_nodes) && identity(z_nodes);
}

std::vector<std::int32_t> ParameterGrid3D::grid_cell_of_forward_cells() const {
  const std::vector<std::int32_t> column = grid_index(x_nodes), row = grid_index(y_nodes),
                                  layer = grid_index(z_nodes);
  std::vector<std::int32_t> cell;
  cell.reserve(column.size() * row.size() * layer.size());
  for (const std::int32_t k : layer)
    for (const std::int32_t j : row)
      for (const std::int32_t i : column)
        cell.push_back(static_cast<std::int32_t>(mesh.cell(i, j, k)));
  return cell;
}

ParameterGrid3D forward_mesh_grid3d(const Mesh3D& forward) {
  ParameterGrid3D grid;
  grid.mesh = forward;
  grid.x_nodes = identity_nodes(forward.nx);
  grid.y_nodes = identity_nodes(forward.ny);
  grid.z_nodes = identity_nodes(forward.nz);
  return grid;
}

ParameterGrid3D parameter_grid3d(const Io& io, const Mesh3D& forward,
                                 std::span<const ElectrodePosition> electrodes, double ground_top,
                                 double width) {
  if (!(width >= 0) || !std::isfinite(width)) {
    stop_with(
        io, Order::console_then_log,
        "\nError: the parameter cell width should be positive, not " + shortest(width) + "\n");
  }
  std::vector<double> xs, ys;
  double deepest = ground_top;
  for (const ElectrodePosition& p : electrodes) {
    if (!(p.x >= forward.x_nodes.front() && p.x <= forward.x_nodes.back() &&
          p.y >= forward.y_nodes.front() && p.y <= forward.y_nodes.back() && std::isfinite(p.z))) {
      continue;
    }
    xs.push_back(p.x);
    ys.push_back(p.y);
    deepest = std::max(deepest, p.z);
  }
  const auto sorted = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
  };
  xs = sorted(std::move(xs));
  ys = sorted(std::move(ys));
  double width_x = width, width_y = width;
  if (width == 0) {
    width_x = smallest_gap(xs) / 2;
    width_y = smallest_gap(ys) / 2;
    if (width_x == 0) width_x = width_y;
    if (width_y == 0) width_y = width_x;
    if (width_x == 0) {
      width_x = width_y = 2 * std::min(*std::min_element(forward.dx.begin(), forward.dx.end()),
                                       *std::min_element(forward.dy.begin(), forward.dy.end()));
    }
  }
  ParameterGrid3D grid;
  grid.x_nodes = horizontal_grid(forward.x_nodes, xs, width_x);
  grid.y_nodes = horizontal_grid(forward.y_nodes, ys, width_y);
  // Layers: the forward layers above the ground one each; from it half the width, growing.
  const std::span<const double> z_nodes(forward.z_nodes);
  const std::int32_t nz = forward.nz;
  std::int32_t top = 0;
  while (top < nz && z_nodes[static_cast<std::size_t>(top) + 1] <= ground_top) ++top;
  for (std::int32_t k = 0; k <= top; ++k) grid.z_nodes.push_back(k);
  const double thin = std::min(width_x, width_y) / 2;
  const double extent = std::max({xs.empty() ? 0.0 : xs.back() - xs.front(),
                                  ys.empty() ? 0.0 : ys.back() - ys.front(), 16 * thin});
  if (top < nz && deepest > ground_top) {
    const std::int32_t bottom = std::max(top + 1, nearest_node(z_nodes, deepest + 4 * thin));
    group_forward(z_nodes, top, bottom, thin, 1.0, std::numeric_limits<double>::infinity(),
                  grid.z_nodes);
    top = bottom;
  }
  if (top < nz) {
    group_forward(z_nodes, top, nz, thin, grid_growth, deepest + 0.3 * extent, grid.z_nodes);
  }
  grid.mesh = grid_mesh(io, forward, grid);
  return grid;
}

ParameterForwardCells forward_cells_of_parameters3d(const ParameterGrid3D& grid,
                                                    std::span<const std::int32_t> forward_air) {
  const std::vector<std::int32_t> of = grid.grid_cell_of_forward_cells();
  const auto columns =
      static_cast<std::size_t>(grid.x_nodes.back()) * static_cast<std::size_t>(grid.y_nodes.back());
  const auto npar = static_cast<std::size_t>(grid.mesh.cell_count());
  const auto below_ground = [&](std::size_t cell) {
    return forward_air.empty() ||
           cell / columns >= static_cast<std::size_t>(forward_air[cell % columns]);
  };
  ParameterForwardCells result;
  result.starts.assign(npar + 1, 0);
  for (std::size_t cell = 0; cell < of.size(); ++cell)
    if (below_ground(cell)) ++result.starts[static_cast<std::size_t>(of[cell]) + 1];
  for (std::size_t p = 0; p < npar; ++p) result.starts[p + 1] += result.starts[p];
  result.cells.resize(static_cast<std::size_t>(result.starts.back()));
  std::vector<std::int32_t> next(result.starts.begin(), result.starts.end() - 1);
  for (std::size_t cell = 0; cell < of.size(); ++cell) {
    if (!below_ground(cell)) continue;
    result.cells[static_cast<std::size_t>(next[static_cast<std::size_t>(of[cell])]++)] =
        static_cast<std::int32_t>(cell);
  }
  return result;
}

std::vector<double> forward_model_of_grid3d(const ParameterGrid3D& grid,
                                            std::span<const double> grid_model) {
  const std::vector<std::int32_t> of = grid.grid_cell_of_forward_cells();
  std::vector<double> result(of.size());
  for (std::size_t cell = 0; cell < of.size(); ++cell)
    result[cell] = grid_model[static_cast<std::size_t>(of[cell])];
  return result;
}

}  // namespace quelby
