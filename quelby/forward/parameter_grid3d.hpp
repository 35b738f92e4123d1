// The grid a 3-D inversion's parameters live on, apart from the 3-D forward mesh: a tensor grid
// whose nodes are forward mesh nodes, so that each parameter cell holds whole forward cells. By
// default its cells are about half the smallest electrode spacing along x and y over the
// electrodes (growing outside them) and its layers thicken with depth from a quarter spacing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

struct ParameterGrid3D {
  Mesh3D mesh;  // the grid's cells (its nodes are forward mesh nodes)
  // Per grid node along x (0-based) the forward mesh's node (0-based) at the same place: the first
  // 0, the last the forward nx. The same along y and z.
  std::vector<std::int32_t> x_nodes, y_nodes, z_nodes;

  // True when every grid cell is one forward cell.
  bool is_forward_mesh() const;
  // Per forward cell ((k * ny + j) * nx + i, 0-based) its grid cell (same numbering on the grid).
  // Linear in cells.
  std::vector<std::int32_t> grid_cell_of_forward_cells() const;
};

// The grid over `forward` for electrodes at `electrodes` (those outside the mesh ignored) on flat
// ground at `ground_top`: along x and y cells grouping forward cells to about `width` (0: half the
// smallest spacing between distinct electrode coordinates along the axis, the other axis's along
// an axis without one) between the outermost electrodes, each about 1.1 times its inner
// neighbour plus its distance from them outside; layers from the top grouping forward layers to
// half the width, each 1.1 times the one above, plus its depth beyond 0.3 extents below the
// deepest electrode (layers stay half the width thick down to two widths below a buried one).
// Forward cells already wider than the aim stay one cell each. A width not positive and finite
// writes "Error: ..." and throws Stop. Linear in nodes.
ParameterGrid3D parameter_grid3d(const Io& io, const Mesh3D& forward,
                                 std::span<const ElectrodePosition> electrodes, double ground_top,
                                 double width = 0);

// The grid whose every cell is one forward cell.
ParameterGrid3D forward_mesh_grid3d(const Mesh3D& forward);

// The forward cells of every grid cell: parameter p is grid cell p (0-based, the grid's cell
// order) and holds its forward cells in ascending order, those below `forward_air` air cells of
// their forward column (j * nx + i; empty: no air) only. Linear in cells.
ParameterForwardCells forward_cells_of_parameters3d(const ParameterGrid3D& grid,
                                                    std::span<const std::int32_t> forward_air = {});

// Per forward cell the value of its grid cell in `grid_model` (one value per grid cell).
std::vector<double> forward_model_of_grid3d(const ParameterGrid3D& grid,
                                            std::span<const double> grid_model);

}  // namespace quelby
