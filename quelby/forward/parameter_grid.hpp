// The grid an inversion's parameters live on, apart from the forward mesh: a tensor grid whose
// nodes are some of the forward mesh's nodes, so that each parameter cell holds whole forward
// cells. By default its cells are half the electrode spacing wide under the electrodes (growing
// outside them) and its layers thicken with depth from a quarter of the spacing, while the forward
// mesh keeps the finer cells its accuracy needs around the electrodes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

struct ParameterGrid {
  Mesh mesh;  // the grid's cells, as a mesh (its nodes are forward mesh nodes)
  // Per grid x node (0-based) the forward mesh's x node (0-based) at the same place; the first is
  // 0 and the last the forward mesh's nx. The same along z.
  std::vector<std::int32_t> column_nodes, layer_nodes;

  // True when every grid cell is one forward cell.
  bool is_forward_mesh() const;
  // Per forward cell (k * nx + i, 0-based) its grid cell (K * NX + I, 0-based). Linear in cells.
  std::vector<std::int32_t> grid_cell_of_forward_cells() const;
  // Per grid column its air cells: the grid layers all of whose forward cells are air in every
  // forward column under it (`forward_air` per forward column), so that a grid cell cut by the
  // ground is a ground cell holding the forward cells below the ground.
  std::vector<std::int32_t> air_cells(std::span<const std::int32_t> forward_air) const;
};

// How the parameter cells are chosen: the forward mesh's own cells, the default grid (cells half
// the smallest electrode spacing wide), or that grid with cells `width` m wide (`width` > 0).
struct ParameterCellChoice {
  enum class Kind { forward_mesh, automatic, width };
  Kind kind = Kind::forward_mesh;
  double width = 0;
};

// Reads a choice as a command line or a control line gives it: "mesh" (the forward mesh's
// cells), "auto" or a positive width in metres. Anything else writes "Error: <context>: the
// parameter cell should be mesh, auto or a positive width in metres, not '<text>'" and throws
// Stop.
ParameterCellChoice parse_parameter_cell(const Io& io, std::string_view text,
                                         std::string_view context);

// The grid of `choice` over the forward mesh for electrodes at `electrode_x` (any order, repeats
// allowed; positions outside the mesh are ignored) on ground whose highest point is `ground_top`
// (z, positive down): columns group forward columns into cells about the chosen width (half the
// smallest spacing between electrodes by default) between the first and the last electrode, each
// about 1.1 times its inner neighbour outside them, plus its distance from the line's end; layers
// from `ground_top` group forward rows into layers a quarter of the spacing (half the cell width)
// thick, each about 1.1 times the one above, plus its depth beyond 0.3 line lengths below the
// ground (or below the deepest of `electrode_z`, buried electrodes, down to which layers stay half
// the width thick). Forward cells already wider or thicker than the aim stay one cell each.
// Linear in nodes.
ParameterGrid parameter_grid(const Io& io, const Mesh& forward, std::span<const double> electrode_x,
                             double ground_top, const ParameterCellChoice& choice,
                             std::span<const double> electrode_z = {});

// The x (and z, empty without them) positions of the survey's electrodes (repeats kept).
std::vector<double> survey_electrode_x(const SurveyData& survey);
std::vector<double> survey_electrode_z(const SurveyData& survey);
// z of the highest ground over the mesh: the row boundary below the fewest air cells.
double highest_ground(const Mesh& mesh, std::span<const std::int32_t> air_cells);

// The grid of a mesh whose nodes are all forward mesh nodes (to 1e-9 of the forward mesh's
// extent), as a parameters file gives it; a node that is no forward node writes its message naming
// `name` and the node and throws Stop.
ParameterGrid parameter_grid_of_mesh(const Io& io, const Mesh& forward, const Mesh& grid,
                                     std::string_view name);

// The forward cells of every parameter: parameter p (0-based, the order of the grid's active
// cells) holds cells[starts[p]] up to cells[starts[p + 1]] (exclusive), 0-based forward mesh cells
// below the ground in cell order.
struct ParameterForwardCells {
  std::vector<std::int32_t> starts{0}, cells;
  std::size_t count() const noexcept { return starts.size() - 1; }
  // True when every parameter is one forward cell.
  bool single() const noexcept { return cells.size() == count(); }
};

// The forward cells of the parameters of `grid_cells` (active cells on grid.mesh): those of each
// parameter's grid cell below the forward ground (`forward_air` per forward column). Linear in
// cells.
ParameterForwardCells forward_cells_of_parameters(const ParameterGrid& grid,
                                                  const ActiveCells& grid_cells,
                                                  std::span<const std::int32_t> forward_air);
// One parameter per active cell of a map on the forward mesh itself.
ParameterForwardCells forward_cells_of_parameters(const ActiveCells& cells);

// Per forward cell the value of its grid cell in `grid_model` (one value per grid cell).
std::vector<double> forward_model_of_grid(const ParameterGrid& grid,
                                          std::span<const double> grid_model);

}  // namespace quelby
