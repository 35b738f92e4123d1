// Models on tensor meshes as VTK XML rectilinear-grid files (.vtr) for 3-D viewers: the x, y and
// z nodes as coordinates, with z turned from depth into elevation (growing upwards), and named
// cell arrays stored as raw 64-bit floats appended to the file. Written through AtomicOutput.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

// One cell array: its name in the file and one value per cell in the mesh's cell order (x
// fastest, then y, then z from the top), NaN where a cell has no value.
struct NamedCellArray {
  std::string name;
  std::span<const double> values;
};

// The parameters (0-based parameter order) spread over the cells: cell c takes
// parameters[cell_idx[c] - 1] where cell_idx[c] > 0 (1-based), NaN elsewhere. A parameter number
// beyond parameters.size() also gives NaN. Linear in cells.
std::vector<double> parameters_on_cells(std::span<const std::int32_t> cell_idx,
                                        std::span<const double> parameters);

// Writes `arrays` on `mesh` as the rectilinear-grid file `file_name` (trailing blanks ignored).
// Elevation is reference_elevation - depth when a reference is given, else -depth; the layers are
// stored bottom up so that the z coordinates increase. An array whose size is not the mesh's cell
// count writes its consistency text on the error stream; a failed write writes
// "Error: cannot write the VTK file ..."; both throw Stop and leave no partial file. Linear in the
// values; the arrays are written from their own memory.
void write_vtk_rectilinear(const Io& io, std::string_view file_name, const Mesh3D& mesh,
                           std::span<const NamedCellArray> arrays,
                           std::optional<double> reference_elevation = std::nullopt);

// The same for a 2-D section: one cell along y, from y = 0 to 1 m; values in the 2-D cell order
// (x fastest, then z), which is the 3-D order of that grid.
void write_vtk_rectilinear(const Io& io, std::string_view file_name, const Mesh& mesh,
                           std::span<const NamedCellArray> arrays,
                           std::optional<double> reference_elevation = std::nullopt);

}  // namespace quelby
