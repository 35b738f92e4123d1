// Active cells: which mesh cells are free model parameters. An optional active-cell file flags
// every cell (1 active, 0 inactive, -1 influence); cells above the ground surface are never
// active. The store numbers the parameters in cell order (rows outer, columns inner).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"

namespace quelby {

// Numbering: arrays are 0-based; cell_idx keeps the signed 1-based numbers that files and messages
// show, and its accessors give 0-based positions (-1: the cell has none).
//
//   | cell_idx[cell] | the cell is      | 0-based accessor                          |
//   |----------------|------------------|-------------------------------------------|
//   | p > 0          | parameter p      | parameter(cell) = p - 1, a parameter index |
//   | -m < 0         | influence cell m | influence(cell) = m - 1, an infl_val index |
//   | 0              | inactive         | both -1                                   |
struct ActiveCells {
  std::int32_t nx = 0;  // the mesh's cell counts the map was built for
  std::int32_t nz = 0;
  // One entry per cell, 0-based at k * nx + i (column i, row k). The values keep the signed
  // 1-based numbering shown to users: > 0 the cell is active and this is its parameter number
  // (1..npar), < 0 the cell is an influence cell and this is minus its influence number
  // (-1..-ninfl), 0 the cell is inactive. Parameter p is element p - 1 of a parameter vector.
  std::vector<std::int32_t> cell_idx;
  std::int32_t npar = 0;    // active cells
  std::int32_t ninfl = 0;   // influence cells
  std::int32_t ninact = 0;  // inactive cells
  std::int32_t ncell = 0;   // nx * nz
  // The topography's air cells per column (0-based) that the map was built with, kept so that
  // store_inactive_values meets the same surface: row k (0-based) of column i is in the air when
  // k < air_cells[i]. All 0 without a topography file.
  std::vector<std::int32_t> air_cells;

  // The map and count saved while set_all_active is on; empty and 0 otherwise.
  std::vector<std::int32_t> cell_idx_save;
  std::int32_t npar_save = 0;
  bool all_active = false;  // true between set_all_active(on) and set_all_active(off)

  // Filled by store_inactive_values, in cell order. inact_val[k] is the k-th inactive cell's
  // value; infl_val[m - 1] belongs to the cell whose cell_idx is -m.
  std::vector<double> inact_val;
  std::vector<double> infl_val;

  // The 0-based parameter index of cell (0-based, k * nx + i), or -1 when it is not active.
  std::int32_t parameter(std::size_t cell) const {
    return cell_idx[cell] > 0 ? cell_idx[cell] - 1 : -1;
  }
  // The 0-based index in infl_val of cell, or -1 when it is not an influence cell.
  std::int32_t influence(std::size_t cell) const {
    return cell_idx[cell] < 0 ? -cell_idx[cell] - 1 : -1;
  }
};

// Builds the map from the active-cell file `file_name` (trailing blanks ignored; a blank name makes
// every cell active) and the topography's air cells, and writes the count lines to the run log.
// `topography` is the store read_topography filled, with or without a file (without one it holds
// nx zeros: that is the one form of "no topography"); any other size of air_cells writes
// "size(air_cells) /= nx" on the error stream and throws Stop. A second call replaces everything
// the store held. Every failure writes its message and throws Stop. Linear in cells.
void read_active_cells(const Io& io, const Mesh& mesh, const Topography& topography,
                       std::string_view file_name, ActiveCells& cells);

// Builds the map from `flags` (mesh.nx * mesh.nz values in cell order: 1 active, 0 inactive, -1
// influence) and the topography's air cells, as read_active_cells builds it from its file: the
// same numbering, store, count lines and stop when no cell is active; no "read from" line. A flag
// outside -1..1 writes "Error: values of the active cell flags should be -1, 0 or 1." and stops
// before the store is touched; a size other than nx * nz, or a topography not read for the mesh,
// writes its consistency text on the error stream. Linear in cells.
void active_cells_from_flags(const Io& io, const Mesh& mesh, const Topography& topography,
                             std::vector<std::int32_t> flags, ActiveCells& cells);

// Reads the flags of the active-cell file `file_name` into `flags` (mesh.nx * mesh.nz elements,
// cell order) with the same checks and messages as read_active_cells; touches no store.
void read_active_cell_file(const Io& io, const Mesh& mesh, std::string_view file_name,
                           std::span<std::int32_t> flags);

// Takes the values of the inactive and influence cells out of `model` (sized as the map) into
// inact_val and infl_val; an inactive cell in the air (by the air cells the map was built with)
// takes 1.0E-8 with `log_values`, else 0. With `log_values` every stored value v becomes -ln(v).
// Linear in cells.
void store_inactive_values(const Io& io, const Model& model, bool log_values, ActiveCells& cells);

// on: saves the map and makes every cell a parameter numbered in cell order. off: restores the
// saved map. An off with nothing saved, or a second on, changes nothing.
void set_all_active(bool on, ActiveCells& cells);

}  // namespace quelby
