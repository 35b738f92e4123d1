#include "quelby/mesh/topography3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <numeric>
#include <string>
#include <utility>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// A point closer than this (m) to where the surface is asked for gives its own elevation.
constexpr double coincident = 1e-9;
// The scattered points that weigh in at a place.
constexpr std::size_t nearest_count = 8;

// The increasing distinct values of `values`.
std::vector<double> distinct(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

// Where `value` falls among the increasing `nodes`: the two nodes around it and the fraction of
// the way from the first to the second; flat beyond both ends.
struct Bracket {
  std::size_t lower = 0;
  std::size_t upper = 0;
  double fraction = 0;
};

Bracket bracket(const std::vector<double>& nodes, double value) {
  if (!(value > nodes.front())) return {0, 0, 0};
  if (!(value < nodes.back())) return {nodes.size() - 1, nodes.size() - 1, 0};
  const auto above =
      static_cast<std::size_t>(std::upper_bound(nodes.begin(), nodes.end(), value) - nodes.begin());
  const std::size_t below = above - 1;
  return {below, above, (value - nodes[below]) / (nodes[above] - nodes[below])};
}

double grid_elevation_at(const Topography3D& topography, double x, double y) {
  const Bracket bx = bracket(topography.grid_x, x);
  const Bracket by = bracket(topography.grid_y, y);
  const std::size_t columns = topography.grid_x.size();
  const auto at = [&](std::size_t i, std::size_t j) {
    return topography.grid_elevation[j * columns + i];
  };
  // At a grid line a fraction is 0 and the value is the node's own, exactly.
  const auto along_x = [&](std::size_t j) {
    const double first = at(bx.lower, j);
    return bx.fraction == 0 ? first : first + bx.fraction * (at(bx.upper, j) - first);
  };
  const double lower = along_x(by.lower);
  return by.fraction == 0 ? lower : lower + by.fraction * (along_x(by.upper) - lower);
}

double scattered_elevation_at(const Topography3D& topography, double x, double y) {
  const std::size_t count = topography.x.size();
  const std::size_t kept = std::min(count, nearest_count);
  // The nearest points by squared distance, ties by file order, so that the sum below has one
  // order whatever the points' order in memory.
  // Kept in increasing order by insertion: at most 8 of them.
  std::pair<double, std::size_t> nearest[nearest_count];
  std::size_t held = 0;
  for (std::size_t p = 0; p < count; ++p) {
    const double dx = topography.x[p] - x;
    const double dy = topography.y[p] - y;
    const std::pair<double, std::size_t> candidate{dx * dx + dy * dy, p};
    if (held == kept && !(candidate < nearest[held - 1])) continue;
    std::size_t place = held < kept ? held++ : held - 1;
    while (place > 0 && candidate < nearest[place - 1]) {
      nearest[place] = nearest[place - 1];
      --place;
    }
    nearest[place] = candidate;
  }
  if (nearest[0].first <= coincident * coincident) return topography.elevation[nearest[0].second];
  double weights = 0;
  double weighted = 0;
  for (std::size_t k = 0; k < held; ++k) {
    const double weight = 1 / nearest[k].first;
    weights += weight;
    weighted += weight * topography.elevation[nearest[k].second];
  }
  return weighted / weights;
}

// The layers above the z node nearest `surface` (0 to nz); a tie goes to the upper node.
std::int32_t air_layers(const std::vector<double>& z_nodes, double surface) {
  if (!(surface > z_nodes.front())) return 0;
  std::size_t k = 1;
  while (k + 1 < z_nodes.size() && z_nodes[k] < surface) ++k;
  const bool upper = surface - z_nodes[k - 1] <= z_nodes[k] - surface;
  return static_cast<std::int32_t>(upper ? k - 1 : k);
}

}  // namespace

void topography3d_from_points(std::vector<double> x, std::vector<double> y,
                              std::vector<double> elevation, double reference_elevation,
                              Topography3D& topography) {
  Topography3D built;
  built.has_topography = true;
  built.reference_elevation = reference_elevation;
  built.x = std::move(x);
  built.y = std::move(y);
  built.elevation = std::move(elevation);
  std::vector<double> grid_x = distinct(built.x);
  std::vector<double> grid_y = distinct(built.y);
  // Distinct positions fill a grid exactly when there are as many as its nodes.
  if (grid_x.size() * grid_y.size() == built.x.size()) {
    built.is_grid = true;
    built.grid_elevation.assign(built.x.size(), 0.0);
    for (std::size_t p = 0; p < built.x.size(); ++p) {
      const auto i = static_cast<std::size_t>(
          std::lower_bound(grid_x.begin(), grid_x.end(), built.x[p]) - grid_x.begin());
      const auto j = static_cast<std::size_t>(
          std::lower_bound(grid_y.begin(), grid_y.end(), built.y[p]) - grid_y.begin());
      built.grid_elevation[j * grid_x.size() + i] = built.elevation[p];
    }
    built.grid_x = std::move(grid_x);
    built.grid_y = std::move(grid_y);
  }
  topography = std::move(built);
}

void read_topography3d(const Io& io, bool use_file, std::string_view name,
                       Topography3D& topography) {
  if (!use_file) {
    topography = Topography3D{};
    return;
  }
  ReaderFrame frame(io, "3-D topography", name);
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the 3-D topography file: " + frame.name() + "\n");
  constexpr std::string_view value = "a value";

  std::int32_t count = 0;
  double reference = 0;
  frame.read_finite({count, reference}, value);
  if (count <= 0) {
    frame.stop(Order::console_then_log,
               "\nError: # of points in the 3-D topography file should be positive.\n" +
                   frame.name() + "\n",
               frame.detail(std::to_string(count) + " points"));
  }
  // The arrays grow with the points read, so a large count in a short file asks for no memory.
  std::vector<double> xs, ys, elevations;
  try {
    for (std::int32_t p = 0; p < count; ++p) {
      double x = 0;
      double y = 0;
      double elevation = 0;
      frame.read_finite({x, y, elevation}, value);
      xs.push_back(x);
      ys.push_back(y);
      elevations.push_back(elevation);
    }
    // Two points at one place give the surface two heights there.
    std::vector<std::size_t> order(xs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return xs[a] != xs[b] ? xs[a] < xs[b] : ys[a] != ys[b] ? ys[a] < ys[b] : a < b;
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
      const std::size_t a = order[k - 1];
      const std::size_t b = order[k];
      if (xs[a] == xs[b] && ys[a] == ys[b]) {
        // Points are numbered from 1, in file order.
        frame.stop(Order::console_then_log,
                   "\nError: two points of the 3-D topography file lie at one position.\n" +
                       frame.name() + "\n",
                   frame.file_detail("points " + std::to_string(std::min(a, b) + 1) + " and " +
                                     std::to_string(std::max(a, b) + 1) + " at x " +
                                     shortest(xs[a]) + ", y " + shortest(ys[a])));
      }
    }
    topography3d_from_points(std::move(xs), std::move(ys), std::move(elevations), reference,
                             topography);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  frame.log_read("3-D topography was read from file: ");
}

double surface_z_at(const Topography3D& topography, double x, double y) {
  if (!topography.has_topography || topography.x.empty()) return topography.flat_z;
  const double elevation = topography.is_grid ? grid_elevation_at(topography, x, y)
                                              : scattered_elevation_at(topography, x, y);
  return topography.reference_elevation - elevation;
}

std::vector<std::int32_t> air_cells_3d(const Io& io, const Mesh3D& mesh,
                                       const Topography3D& topography) {
  const std::size_t nx = mesh.x_centres.size();
  const std::size_t ny = mesh.y_centres.size();
  if (static_cast<std::int64_t>(nx) != mesh.nx || static_cast<std::int64_t>(ny) != mesh.ny ||
      mesh.z_nodes.size() != static_cast<std::size_t>(mesh.nz) + 1) {
    internal_check_failed(io, "3-D mesh arrays /= its counts");
  }
  std::vector<std::int32_t> air;
  try {
    air.assign(nx * ny, 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  if (!topography.has_topography || mesh.z_nodes.empty()) return air;
  for (std::size_t j = 0; j < ny; ++j) {
    for (std::size_t i = 0; i < nx; ++i) {
      const double surface = surface_z_at(topography, mesh.x_centres[i], mesh.y_centres[j]);
      air[j * nx + i] = air_layers(mesh.z_nodes, surface);
    }
  }
  return air;
}

}  // namespace quelby
