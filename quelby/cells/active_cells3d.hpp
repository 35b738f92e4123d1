// Active cells of a 3-D mesh: which cells are free model parameters. An optional active-cell file
// flags every cell (1 active, 0 inactive, -1 influence), x fastest, then y, then z; cells above the
// ground surface (the air cells of each column) are never active. Parameters are numbered in cell
// order.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

struct ActiveCells3D {
  std::int32_t nx = 0;  // the mesh's cell counts the map was built for
  std::int32_t ny = 0;
  std::int32_t nz = 0;
  // One entry per cell, 0-based at (k * ny + j) * nx + i. The values keep the signed 1-based
  // numbering shown to users, as the 2-D map does: p > 0 parameter p (1..npar), -m < 0 influence
  // cell m (1..ninfl), 0 inactive.
  std::vector<std::int32_t> cell_idx;
  std::int32_t npar = 0;    // active cells
  std::int32_t ninfl = 0;   // influence cells
  std::int32_t ninact = 0;  // inactive cells, the air cells among them
};

// Builds the map from the active-cell file `file_name` (trailing blanks ignored; a blank name makes
// every ground cell active) and `air_cells` (nx * ny counts, column (i, j) at j * nx + i, as
// air_cells_3d gives them; layer k of a column is in the air when k < its count). The file holds
// the three counts nx ny nz (the mesh's), then one flag per cell; any flag but 1, 0 and -1 is
// refused. Writes the file's "read from" line and the count lines to the run log; stops when no
// cell is active. A second call replaces the store. Linear in cells.
void read_active_cells3d(const Io& io, const Mesh3D& mesh, std::span<const std::int32_t> air_cells,
                         std::string_view file_name, ActiveCells3D& cells);

}  // namespace quelby
