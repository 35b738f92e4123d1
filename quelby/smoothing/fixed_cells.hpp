// Cells that a smoothing pass leaves alone: air, inactive and influence cells of a model over real
// ground. A fixed cell keeps its value and takes no part in any neighbourhood; a free cell whose
// every neighbour is fixed keeps its value too. Built once per model (linear in cells), read by
// every pass: besides the cells it holds, per row, the stretches of columns that see a kept cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"

namespace quelby {

class FixedCells {
 public:
  FixedCells() = default;
  // `fixed` holds nx * nz flags in cell order (x fastest, 0-based k * nx + i), nonzero for a fixed
  // cell. Linear in cells. Throws std::invalid_argument when the sizes disagree.
  FixedCells(std::int32_t nx, std::int32_t nz, std::span<const std::uint8_t> fixed);

  std::int32_t nx() const noexcept { return nx_; }
  std::int32_t nz() const noexcept { return nz_; }
  std::size_t size() const noexcept { return kept_.size(); }
  std::size_t fixed_count() const noexcept { return fixed_count_; }
  bool is_fixed(std::size_t cell) const noexcept { return kept_[cell] == fixed_cell; }
  // Nonzero for every cell that keeps its value through a pass, 0 for every cell a pass averages;
  // cell order. A fixed cell holds 1; a free cell with neighbours, all of them fixed, holds 2.
  std::span<const std::uint8_t> kept() const noexcept { return kept_; }
  // Whether row k (0-based) holds no kept cell, and whether it holds nothing else.
  bool row_all_averaged(std::size_t k) const noexcept { return row_kept_[k] == 0; }
  bool row_all_kept(std::size_t k) const noexcept {
    return row_kept_[k] == static_cast<std::size_t>(nx_);
  }
  // The number of kept cells in row k.
  std::size_t row_kept(std::size_t k) const noexcept { return row_kept_[k]; }
  // The stretches of the interior columns 1..nx-2 of output row k whose neighbourhood may hold a
  // kept cell, as pairs [begin, end) of 0-based columns in increasing order; every other interior
  // column of the row sees none. Clean gaps shorter than joined_gap columns lie inside a stretch,
  // and a row of more than most_stretches stretches has the one stretch [1, nx-1).
  std::span<const std::int32_t> masked_stretches(std::size_t k) const noexcept {
    return std::span<const std::int32_t>(stretches_)
        .subspan(stretch_start_[k], stretch_start_[k + 1] - stretch_start_[k]);
  }
  static constexpr std::size_t joined_gap = 48;
  static constexpr std::size_t most_stretches = 16;

 private:
  std::int32_t nx_ = 0;
  std::int32_t nz_ = 0;
  static constexpr std::uint8_t fixed_cell = 1;
  static constexpr std::uint8_t lone_cell = 2;

  void add_stretches(const std::vector<std::uint8_t>& fixed_in_column);

  std::size_t fixed_count_ = 0;
  std::vector<std::uint8_t> kept_;
  std::vector<std::size_t> row_kept_;
  std::vector<std::int32_t> stretches_;
  std::vector<std::size_t> stretch_start_;  // row k's stretches from stretches_[stretch_start_[k]]
};

// The fixed-cell flags (1 fixed, 0 free, cell order) of the mesh: a cell is fixed when it lies in
// the air of `topography` (row k + 1 <= air_cells of its column) or is no parameter of `cells`
// (cell_idx <= 0). Either may be null; with both null no cell is fixed. A parameter map read with
// a topography already holds its air cells, so passing both gives that map's cells again.
// Throws std::invalid_argument when a store was built for another mesh.
std::vector<std::uint8_t> fixed_cell_flags(const Mesh& mesh, const Topography* topography,
                                           const ActiveCells* cells);

}  // namespace quelby
