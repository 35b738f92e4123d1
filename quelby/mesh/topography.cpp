#include "quelby/mesh/topography.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// The polyline is extended flat this far beyond its first and last points.
constexpr double extension = 10.0;

void fill_without_file(std::span<const double> z_nodes, Topography& topography) {
  std::fill(topography.air_cells.begin(), topography.air_cells.end(), 0);
  std::fill(topography.surface_z.begin(), topography.surface_z.end(),
            z_nodes.empty() ? 0.0 : z_nodes[0]);
  topography.has_topography = false;
}

// Fills `topography` from the polyline held in places 1..N of X and E (0-based), places 0 and N+1
// being free for the flat extension at both ends.
void fill_from_polyline(std::vector<double>& X, std::vector<double>& E, double reference,
                        std::span<const double> x_nodes, std::span<const double> z_nodes,
                        Topography& topography) {
  const std::size_t x_node_count = x_nodes.size();
  const std::size_t last = X.size() - 1;
  if (x_node_count >= 1) {
    X[0] = std::min(X[1] - extension, x_nodes[0]);
    X[last] = std::max(X[last - 1] + extension, x_nodes[x_node_count - 1]);
  } else {
    X[0] = X[1] - extension;
    X[last] = X[last - 1] + extension;
  }
  E[0] = E[1];
  E[last] = E[last - 1];

  std::vector<double> D(z_nodes.size());
  for (std::size_t k = 0; k < z_nodes.size(); ++k) D[k] = reference - z_nodes[k];

  // Node elevations are kept in surface_z until they are turned into z at the end.
  std::vector<double>& elevation = topography.surface_z;
  if (x_node_count >= 1) {
    const double x1 = x_nodes[0];
    std::size_t j = 1;
    while (j < last && !(X[j] > x1)) ++j;
    elevation[0] = E[j] + ((E[j] - E[j - 1]) / (X[j] - X[j - 1])) * (x1 - X[j]);
    double xa = x1;
    double ea = elevation[0];

    const std::size_t z_node_count = z_nodes.size();
    for (std::size_t i = 0; i + 1 < x_node_count; ++i) {
      const double x2 = x_nodes[i + 1];
      const double w = x2 - x_nodes[i];
      double I = 0;
      // The bound only matters for x nodes that do not increase; the last point lies at or
      // beyond the last node.
      while (j < last && X[j] < x2) {
        I = I + ((X[j] - xa) * 0.5) * (ea + E[j]);
        xa = X[j];
        ea = E[j];
        ++j;
      }
      const double e2 = ((E[j] - E[j - 1]) / (X[j] - X[j - 1])) * (x2 - X[j]) + E[j];
      elevation[i + 1] = e2;
      I = ((x2 - xa) * 0.5) * (ea + e2) + I;
      xa = x2;
      ea = e2;

      // The z node nearest to the column's mean surface elevation, by areas; ties go up.
      std::int32_t air = 0;
      if (z_node_count >= 2 && !(D[0] * w < I)) {
        std::size_t k = 1;  // 0-based: node k+1 of the 1-based numbering
        while (k + 1 < z_node_count && !(D[k] * w < I)) ++k;
        air = (D[k - 1] * w - I) <= (I - D[k] * w) ? static_cast<std::int32_t>(k - 1)
                                                   : static_cast<std::int32_t>(k);
      }
      topography.air_cells[i] = air;
    }
  }
  for (double& value : elevation) value = reference - value;
  topography.has_topography = true;
  topography.reference_elevation = reference;
}

}  // namespace

void read_topography(const Io& io, bool use_file, std::string_view name,
                     std::span<const double> x_nodes, std::span<const double> z_nodes,
                     Topography& topography) {
  const std::size_t x_node_count = x_nodes.size();
  topography.has_topography = false;
  topography.reference_elevation = 0;
  topography.air_cells.assign(x_node_count > 0 ? x_node_count - 1 : 0, 0);
  topography.surface_z.assign(x_node_count, 0.0);
  if (!use_file) {
    fill_without_file(z_nodes, topography);
    return;
  }

  ReaderFrame frame(io, "topography", name);
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the topography file: " + frame.name() + "\n");
  constexpr std::string_view value = "a value";

  // Every read's items start from zero: a null value or an early slash leaves 0.
  std::int32_t count = 0;
  double reference = 0;
  frame.read_finite({count, reference}, value);
  if (count <= 0) {
    frame.stop(
        Order::console_then_log,
        "\nError: # of points in the topography file should be positive.\n" + frame.name() + "\n",
        frame.detail(std::to_string(count) + " points"));
  }

  // X and E hold the points in places 1..N and one added point at each end (0-based). They grow
  // with the points actually read, so a large N in a short file asks for no memory.
  std::vector<double> X;
  std::vector<double> E;
  try {
    const std::size_t expected = std::min<std::size_t>(static_cast<std::size_t>(count), 1 << 16);
    X.reserve(expected + 2);
    E.reserve(expected + 2);
    X.push_back(0.0);
    E.push_back(0.0);
    for (std::int32_t p = 0; p < count; ++p) {
      double x = 0;
      double elevation = 0;
      frame.read_finite({x, elevation}, value);
      if (p > 0 && x < X.back()) {
        frame.stop(Order::console_then_log,
                   "\nError: X locations in topography file should be in increasing order.\n",
                   frame.detail("x " + shortest(x) + " after x " + shortest(X.back())));
      }
      X.push_back(x);
      E.push_back(elevation);
    }
    X.push_back(0.0);
    E.push_back(0.0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  frame.close();
  fill_from_polyline(X, E, reference, x_nodes, z_nodes, topography);
  frame.log_read("topography was read from: ");
}

void topography_from_points(std::span<const double> x, std::span<const double> elevation,
                            double reference_elevation, std::span<const double> x_nodes,
                            std::span<const double> z_nodes, Topography& topography) {
  const std::size_t x_node_count = x_nodes.size();
  topography.air_cells.assign(x_node_count > 0 ? x_node_count - 1 : 0, 0);
  topography.surface_z.assign(x_node_count, 0.0);
  std::vector<double> X(x.size() + 2, 0.0);
  std::vector<double> E(x.size() + 2, 0.0);
  std::copy(x.begin(), x.end(), X.begin() + 1);
  std::copy(elevation.begin(), elevation.end(), E.begin() + 1);
  fill_from_polyline(X, E, reference_elevation, x_nodes, z_nodes, topography);
}

void load_mesh_and_topography(const Io& io, std::string_view mesh_name,
                              std::string_view topography_name, bool use_file, Mesh& mesh,
                              Topography& topography) {
  load_mesh(io, mesh_name, mesh);
  read_topography(io, use_file, topography_name, mesh.x_nodes, mesh.z_nodes, topography);
}

}  // namespace quelby
