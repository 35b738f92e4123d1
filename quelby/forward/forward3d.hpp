// The 3-D DC forward model of a survey on a tensor mesh: trilinear finite elements on the mesh's
// nodes below the ground, with the singularity of every electrode's field removed (the field is
// the analytic potential of a uniform ground of the conductivity around the electrode, spread over
// the ground's solid angle about it, plus a secondary field that the elements solve for), mixed
// boundary conditions on the outer faces, air cells above a topography, buried electrodes. One
// factorisation (CHOLMOD supernodal) serves every electrode and is kept for the next call with the
// same resistivities; beyond the direct solver's size, conjugate gradients with algebraic
// multigrid. Data are the pole pairs' potentials (each a conductivity-weighted mean of the two
// reciprocal ways of computing it, so that every datum is exactly reciprocal) combined into
// four-electrode readings; sensitivities are the exact derivatives of those data (finite
// differences agree to their rounding; they sum to the data).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/spd_solver.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

struct Forward3DOptions {
  // Keep the factorisation for the next call with the same resistivities.
  bool keep_factor = true;
  // Keep the electrodes' fields (2 x nodes x electrodes values) for the sensitivities and their
  // products at the same resistivities, as long as they take no more than this.
  std::size_t kept_field_bytes = std::size_t{3} << 30;
  // Right-hand sides solved at once when only the data are wanted (memory nodes x this).
  std::size_t source_block = 64;
  // The solver: CHOLMOD's supernodal factor up to `direct_limit` unknowns, conjugate gradients
  // with algebraic multigrid beyond (each electrode's secondary field to the relative tolerance:
  // the secondary field is a correction of the analytic primary, so 1e-6 of it is far below the
  // discretisation's error).
  SpdSolverOptions solver{SpdSolverKind::automatic, 400000, 1e-6, 1000, {}};
};

// What the last call did, for the run log and the benchmarks.
struct Forward3DStatistics {
  std::int64_t nodes = 0;  // unknowns
  std::int64_t ground_cells = 0;
  double factor_entries = 0;       // entries of L
  double factor_seconds = 0;       // analysis (first call) and numeric factorisation
  double solve_seconds = 0;        // the electrodes' solves
  double assembly_seconds = 0;     // right-hand sides of the secondary fields
  double sensitivity_seconds = 0;  // the cell loop of J or its products
  bool multigrid = false;          // the iterative solver served the solves
  std::int64_t iterations = 0;     // its conjugate-gradient iterations, all solves together
};

class ForwardModel3D {
 public:
  // Places the survey's electrodes below `air_cells` (air cells per column, nx * ny values with
  // column (i, j) at j * nx + i, or empty for flat ground at the first z node). An electrode above
  // the ground by more than the top cell's thickness, or outside the mesh, writes its message and
  // throws Stop; one within that distance stands on the surface.
  ForwardModel3D(const Io& io, const Mesh3D& mesh, std::span<const std::int32_t> air_cells,
                 const Survey3D& survey, const Forward3DOptions& options = {});
  ~ForwardModel3D();
  ForwardModel3D(const ForwardModel3D&) = delete;
  ForwardModel3D& operator=(const ForwardModel3D&) = delete;

  std::int32_t ndat() const noexcept;
  std::int64_t node_count() const noexcept;
  // The mesh cells (0-based) below the surface, in cell order.
  std::vector<std::int32_t> ground_cells() const;
  const Forward3DStatistics& statistics() const noexcept;

  // The data (ohms, V/A, for a unit current) of the resistivity model (ohm-m, one per mesh cell;
  // air cells are not read), in the survey's order. A ground value that is not a positive finite
  // number writes its message and throws Stop.
  std::vector<double> data(const Io& io, std::span<const double> resistivity);

  // J[i * columns + c] = d d_i / d ln(rho) summed over the cells cells[column_starts[c]] ..
  // cells[column_starts[c + 1] - 1] (0-based ground cells; column_starts ascending from 0 to
  // cells.size(), columns = column_starts.size() - 1), and the data in `data`. Summed over every
  // ground cell, a row gives its datum. Memory: 2 x nodes x electrodes values for the fields.
  void sensitivity(const Io& io, std::span<const double> resistivity,
                   std::span<const std::int32_t> cells, std::span<const std::int32_t> column_starts,
                   std::span<double> jacobian, std::span<double> data);
  // out = J v (ndat values) and out = J^T w (one per column) for J as sensitivity() defines it,
  // without forming J: each a pass over the cells with the kept fields.
  void jacobian_times(const Io& io, std::span<const double> resistivity,
                      std::span<const std::int32_t> cells,
                      std::span<const std::int32_t> column_starts, std::span<const double> v,
                      std::span<double> out);
  void jacobian_transpose_times(const Io& io, std::span<const double> resistivity,
                                std::span<const std::int32_t> cells,
                                std::span<const std::int32_t> column_starts,
                                std::span<const double> w, std::span<double> out);

  // The linearised apparent chargeability of every datum: eta_a,i = sum over ground cells c of
  // (d ln d_i / d ln rho_c) eta_c, eta one value per mesh cell (its unit is kept). Fills `data`
  // when it is not empty.
  std::vector<double> apparent_chargeability(const Io& io, std::span<const double> resistivity,
                                             std::span<const double> chargeability,
                                             std::span<double> data = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
