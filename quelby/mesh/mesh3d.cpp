#include "quelby/mesh/mesh3d.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

void fill_axis(const Io& io, const char* axis, std::vector<double>& nodes,
               std::vector<double>& widths, std::vector<double>& centres) {
  if (nodes.size() < 2 ||
      nodes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    stop_with(io, Order::console_then_log,
              std::string("ERROR: 3-D mesh: the ") + axis + " axis needs at least two nodes");
  }
  widths.resize(nodes.size() - 1);
  centres.resize(nodes.size() - 1);
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) {
    if (!std::isfinite(nodes[i]) || !std::isfinite(nodes[i + 1]) || !(nodes[i + 1] > nodes[i])) {
      stop_with(io, Order::console_then_log,
                std::string("ERROR: 3-D mesh: the ") + axis +
                    " nodes must be finite and strictly increasing (node " + std::to_string(i + 2) +
                    ")");
    }
    widths[i] = nodes[i + 1] - nodes[i];
    centres[i] = 0.5 * (nodes[i] + nodes[i + 1]);
  }
}

}  // namespace

Mesh3D make_mesh3d(const Io& io, std::vector<double> x_nodes, std::vector<double> y_nodes,
                   std::vector<double> z_nodes) {
  Mesh3D mesh;
  mesh.x_nodes = std::move(x_nodes);
  mesh.y_nodes = std::move(y_nodes);
  mesh.z_nodes = std::move(z_nodes);
  fill_axis(io, "x", mesh.x_nodes, mesh.dx, mesh.x_centres);
  fill_axis(io, "y", mesh.y_nodes, mesh.dy, mesh.y_centres);
  fill_axis(io, "z", mesh.z_nodes, mesh.dz, mesh.z_centres);
  mesh.nx = static_cast<std::int32_t>(mesh.dx.size());
  mesh.ny = static_cast<std::int32_t>(mesh.dy.size());
  mesh.nz = static_cast<std::int32_t>(mesh.dz.size());
  if (mesh.node_count() > std::int64_t{std::numeric_limits<std::int32_t>::max()}) {
    stop_with(io, Order::console_then_log,
              "ERROR: 3-D mesh: " + std::to_string(mesh.node_count()) +
                  " nodes are more than this build can number");
  }
  return mesh;
}

}  // namespace quelby
