// The 2.5-D DC forward model of a survey over a section: the potential of a unit current at each
// electrode, solved once per electrode and wavenumber, and every datum made from those fields
// (d = u_A(M) - u_A(N) - u_B(M) + u_B(N), in ohms), with the sensitivities of the data to the
// resistivities of any cells (as a matrix, or as its products with vectors) and the linearised IP
// response. One symbolic analysis serves every wavenumber; the factorisations and, within a
// budget, the electrodes' fields are kept for the next call with the same resistivities.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/ground.hpp"
#include "quelby/forward/wavenumbers.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

struct ForwardOptions {
  // Wavenumbers of the transform: 0 for the smallest count that meets the rule's tolerances over
  // the survey's distances (see design_wavenumber_rule), else that count.
  int wavenumber_count = 0;
  // The shortest distance the transform is fitted for, as a fraction of the smallest distance
  // between a current and a potential electrode of one datum.
  double near_fraction = 0.25;
  // Keep each wavenumber's factorisation for the next call with the same resistivities (memory:
  // one factor per wavenumber), as long as all of them together take no more than
  // `kept_factor_bytes`; beyond that each call factorises anew, holding one factor per thread.
  bool keep_factors = true;
  std::size_t kept_factor_bytes = std::size_t{4} << 30;
  // Keep every electrode's field at every wavenumber (nodes x electrodes x wavenumbers values) for
  // the sensitivities and their products with vectors at the same resistivities, as long as they
  // take no more than this; beyond it each call solves for them anew, one wavenumber per thread.
  std::size_t kept_field_bytes = std::size_t{1} << 30;
  // The factor's layout; `automatic` takes the faster for the mesh's size.
  CholeskyKind factorisation = CholeskyKind::automatic;
};

class ForwardModel {
 public:
  // Places the survey's electrodes on the ground below `air_cells` (air-cell count per column, as
  // Topography and ActiveCells hold them) and fits the wavenumbers to the survey's distances, from
  // near_fraction of the smallest electrode separation to the mesh's extent. An electrode that
  // cannot stand where it is given writes its message and throws Stop.
  ForwardModel(const Io& io, const Mesh& mesh, std::span<const std::int32_t> air_cells,
               const SurveyData& survey, const ForwardOptions& options = {});
  ~ForwardModel();
  ForwardModel(const ForwardModel&) = delete;
  ForwardModel& operator=(const ForwardModel&) = delete;

  std::int32_t ndat() const noexcept;
  const Ground& ground() const noexcept;
  const SurveyElectrodes& electrodes() const noexcept;
  const WavenumberRule& wavenumbers() const noexcept;
  // The mesh cells (0-based, k * nx + i) below the surface, in cell order.
  std::vector<std::int32_t> ground_cells() const;
  // Per datum (grouped order) the number of its class: data of one class are made of the same
  // pole pairs with the same signs (a reading and its reciprocal, a reading repeated), so that
  // their values and sensitivities are the same but for rounding. Classes are numbered 0, 1, ...
  // in the order of their first datum.
  std::vector<std::int32_t> datum_classes() const;

  // The data of the resistivity model `resistivity` (ohm-m, one per mesh cell in cell order; air
  // cells are not read), in the survey's grouped order, for a unit current: ohms (V/A). A ground
  // value that is not a positive finite number writes its message and throws Stop.
  std::vector<double> data(const Io& io, std::span<const double> resistivity);

  // J[i * cells.size() + c] = d d_i / d ln(rho of cell cells[c]) in ohms (row-major, ndat rows),
  // and the data in `data` (ndat values). `cells` are 0-based mesh cells below the surface; their
  // sum over every ground cell is d_i (the data are of degree 1 in the resistivities). Every
  // entry of J is written (nothing needs zeroing first). Cost per cell: a symmetric product of
  // electrodes x (4 x wavenumbers) features, electrodes^2 x 2 x wavenumbers multiplications.
  void sensitivity(const Io& io, std::span<const double> resistivity,
                   std::span<const std::int32_t> cells, std::span<double> jacobian,
                   std::span<double> data);
  // The same for columns that each sum the sensitivities of several cells (a parameter cell
  // holding forward cells): column c of J is the sum over cells[column_starts[c]] up to
  // cells[column_starts[c + 1]] (exclusive), column_starts ascending from 0 to cells.size(). Cost
  // per cell as above; memory ndat x columns.
  void sensitivity(const Io& io, std::span<const double> resistivity,
                   std::span<const std::int32_t> cells, std::span<const std::int32_t> column_starts,
                   std::span<double> jacobian, std::span<double> data);

  // out = J v (ndat values): J = d d / d ln rho of `cells` exactly as sensitivity() defines it,
  // v one value per entry of `cells`. From the electrodes' fields F at each wavenumber as
  // F^T A_v F, A_v the operator of the conductivities weighted by v: cost per wavenumber about
  // 2 nodes x electrodes^2 (a matrix product), without J.
  void jacobian_times(const Io& io, std::span<const double> resistivity,
                      std::span<const std::int32_t> cells, std::span<const double> v,
                      std::span<double> out);
  // out = J^T w (one value per entry of `cells`), w one value per datum: from F W F^T on each
  // cell's nodes, W the electrode pairs' weights of w. Same cost as jacobian_times. Both keep the
  // fields (within kept_field_bytes) for the next product with the same resistivities.
  void jacobian_transpose_times(const Io& io, std::span<const double> resistivity,
                                std::span<const std::int32_t> cells, std::span<const double> w,
                                std::span<double> out);

  // The linearised apparent chargeability of every datum (same units as `chargeability`, one per
  // mesh cell): eta_a,i = sum over ground cells c of (d ln d_i / d ln rho_c) eta_c. A uniform
  // chargeability gives itself. Also fills `data` (ndat values) when it is not empty.
  std::vector<double> apparent_chargeability(const Io& io, std::span<const double> resistivity,
                                             std::span<const double> chargeability,
                                             std::span<double> data = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The parameter cells of an active-cell map (0-based mesh cells, parameter order): the columns of
// a sensitivity matrix over the model parameters.
std::vector<std::int32_t> parameter_cells(const ActiveCells& cells);

// Geometric factors K_i = 1 / d_i of a uniform 1 ohm-m earth on the same mesh and ground: an
// apparent resistivity is K_i times a datum in ohms.
std::vector<double> geometric_factors(const Io& io, const Mesh& mesh,
                                      std::span<const std::int32_t> air_cells,
                                      const SurveyData& survey, const ForwardOptions& options = {});

}  // namespace quelby
