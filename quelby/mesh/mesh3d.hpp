// The 3-D tensor mesh: nx columns along x, ny along y and nz layers along z (depth, growing
// downwards), each axis given by its node positions. Cells are numbered 0-based with x fastest,
// then y, then z: cell (i, j, k) is (k * ny + j) * nx + i, the top layer first, as a 3-D model file
// holds its values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby {

struct Mesh3D {
  std::int32_t nx = 0;
  std::int32_t ny = 0;
  std::int32_t nz = 0;
  std::vector<double> x_nodes;     // nx + 1 increasing positions
  std::vector<double> y_nodes;     // ny + 1
  std::vector<double> z_nodes;     // nz + 1, depth (down)
  std::vector<double> dx, dy, dz;  // widths, all > 0
  std::vector<double> x_centres, y_centres, z_centres;

  std::int64_t cell_count() const noexcept {
    return std::int64_t{nx} * std::int64_t{ny} * std::int64_t{nz};
  }
  std::int64_t node_count() const noexcept {
    return std::int64_t{nx + 1} * std::int64_t{ny + 1} * std::int64_t{nz + 1};
  }
  // 0-based cell number of column i, row j (along y) and layer k.
  std::int64_t cell(std::int32_t i, std::int32_t j, std::int32_t k) const noexcept {
    return (std::int64_t{k} * ny + j) * nx + i;
  }
  // 0-based node number of node (i, j, k), x fastest.
  std::int64_t node(std::int32_t i, std::int32_t j, std::int32_t k) const noexcept {
    return (std::int64_t{k} * (ny + 1) + j) * (nx + 1) + i;
  }
};

// The mesh of the given nodes (each axis at least 2 strictly increasing finite positions): widths
// and centres filled. Any other input writes its message and throws Stop.
Mesh3D make_mesh3d(const Io& io, std::vector<double> x_nodes, std::vector<double> y_nodes,
                   std::vector<double> z_nodes);

}  // namespace quelby
