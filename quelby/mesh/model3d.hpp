// The 3-D model file: a header of the mesh's three counts nx ny nz, then one value per cell with x
// fastest, then y, then z (the top layer first), as Mesh3D numbers its cells. Written files use
// the 2-D model file's fixed-width fields and read back to 6 significant digits.
#pragma once

#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

// Fills `values` (resized to mesh.cell_count()) from the model file `name`; `label` names the
// model in the messages ("model", "starting model"). The counts must equal the mesh's; values are
// read in free format (repeat counts, null values, slashes as in every model file). Writes
// "<label> was read from file: <name>" to the run log; any failure writes its message and throws
// Stop. Linear in the file.
void read_model3d(const Io& io, const Mesh3D& mesh, std::string_view name, std::string_view label,
                  std::vector<double>& values);

// Writes `values` (at least mesh.cell_count() of them) to the file `name`: the three counts in
// 5-column fields (a count of 100000 or more in full after one blank, a count after the first
// that fills its field after one blank), then one line of nx 13-column exponent fields per row
// along y of each layer. Put into place only when complete; a failure writes one line naming the
// file and the cause on the error stream and throws Stop. Linear in cells.
void write_model3d(const Io& io, const Mesh3D& mesh, std::string_view name,
                   const std::vector<double>& values);

}  // namespace quelby
