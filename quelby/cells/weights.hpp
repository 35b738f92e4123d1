// Cell weights of the model objective function: the smallness weights (one per cell) and the x-
// and z-derivative weights (one per pair of neighbours), all 1.0, read from one weighting file, or
// read from one file per array, or taken from a caller's arrays. The arrays belong to the caller;
// the readers only fill them. The arrays are CellArray (one double per cell, the (i, k) accessor
// 0-based); a Model is accepted too.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/mesh/mesh.hpp"

namespace quelby {

// Labels of the three arrays in messages and log lines.
inline constexpr std::string_view s_weights_label = "S weights";
inline constexpr std::string_view x_weights_label = "X weights";
inline constexpr std::string_view z_weights_label = "Z weights";

// Dispatches on `weight_input`: 0 sets every element of the three arrays to 1.0; 1 reads the
// weighting file weight_files[0]; 2 reads weight_files[0], [1] and [2] into s_weights, x_weights
// and z_weights; any other value writes "bad weight_input" on the error stream and throws Stop.
// For 1 the arrays must be mesh.nx by mesh.nz.
void set_weights(const Io& io, const Mesh& mesh, std::int32_t weight_input,
                 const std::array<std::string, 3>& weight_files, CellArray& s_weights,
                 CellArray& x_weights, CellArray& z_weights);

// Reads the weighting file `file_name`: the counts nx and nz, then the nx by nz block of s_weights,
// the nx-1 by nz block of x_weights and the nx by nz-1 block of z_weights, each starting on a line
// of its own; a number after the last block is refused. Column nx of x_weights and row nz of
// z_weights are left as they were. A block of no values reads no line.
void read_weights_file(const Io& io, const Mesh& mesh, std::string_view file_name,
                       CellArray& s_weights, CellArray& x_weights, CellArray& z_weights);

// Fills the three arrays (each mesh.nx by mesh.nz) from the weighting file's three blocks given as
// arrays, each in cell order (x fastest): `s_values` nx * nz values, `x_values` (nx - 1) * nz and
// `z_values` nx * (nz - 1), exactly as read_weights_file fills them from a file holding these
// values: column nx of x_weights and row nz of z_weights are left as they were, and every value is
// taken as a file's would be. A block of another size writes "Error: the <label> array holds n
// values, m expected." (run log, then console) and stops before any array is touched. Writes
// nothing else. Linear in cells.
void weights_from_arrays(const Io& io, const Mesh& mesh, std::span<const double> s_values,
                         std::span<const double> x_values, std::span<const double> z_values,
                         CellArray& s_weights, CellArray& x_weights, CellArray& z_weights);

// Reads the single-array weight file `file_name` into the top-left cx by cz block of `weights`
// (the counts cx and cz come first in the file); the rest of the array is left as it was. A blank
// name sets every element to 1.0. `label` names the array in the messages ("S weights"...).
// A count of 0 reads no values and no line.
void read_weight_file(const Io& io, std::string_view file_name, std::string_view label,
                      CellArray& weights);

// read_weight_file for the three arrays with the labels "S weights", "X weights", "Z weights".
void read_weight_files(const Io& io, const std::array<std::string, 3>& weight_files,
                       CellArray& s_weights, CellArray& x_weights, CellArray& z_weights);

}  // namespace quelby
