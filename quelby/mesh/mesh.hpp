// The 2-D tensor mesh: nx columns along x and nz rows along z (depth), loaded from a mesh file of
// segments (an end position and a number of equal cells each). Arrays are 0-based: dx[i] is the
// width of column i+1 of the file's 1-based numbering.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby {

struct Mesh {
  std::int32_t nx = 0;
  std::int32_t nz = 0;
  std::vector<double> x_nodes;  // nx + 1 column boundaries, running sums of dx
  std::vector<double> z_nodes;  // nz + 1 row boundaries, running sums of dz
  std::vector<double> dx;       // nx column widths, all > 0
  std::vector<double> dz;       // nz row thicknesses, all > 0
  std::vector<double> x_centres;
  std::vector<double> z_centres;
  double x_mid = 0;                        // midpoint of the x range
  double z_first = 0;                      // z of the first row boundary
  std::int32_t node_count = 0;             // (nx + 1) * (nz + 1)
  std::int32_t z_node_count_plus_one = 0;  // (nz + 1) + 1
};

// Reads the mesh file `name` (trailing blanks ignored) into `mesh`, in two passes: one that counts
// the cells and checks every read, one that fills the nodes and widths. Writes "mesh was read from"
// to the run log; on any failure writes its message and throws Stop.
void load_mesh(const Io& io, std::string_view name, Mesh& mesh);

}  // namespace quelby
