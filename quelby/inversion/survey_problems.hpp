// The two inversions of a DC/IP survey as problems for gauss_newton: the resistivity of the
// parameters of an active-cell map (m = ln rho, so no step leaves the physical range) from DC data,
// and, on the final resistivity, the chargeability of the parameters (eta >= 0, projected) from IP
// data by the linearised IP response. A parameter holds one or more forward cells (a parameter grid
// apart from the forward mesh; its sensitivities are theirs summed); cells of no parameter keep the
// values they are given.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/inversion/gauss_newton.hpp"

namespace quelby {

// m = ln rho of the parameters; the other ground cells conduct with their values in `resistivity`.
class ResistivityProblem : public InversionProblem {
 public:
  // `resistivity`: one value per mesh cell (ohm-m), the parameters' entries replaced by exp(m).
  ResistivityProblem(ForwardModel& forward, const ActiveCells& cells,
                     std::span<const double> resistivity);
  // Parameters of several forward cells each; `resistivity` one value per forward cell.
  ResistivityProblem(ForwardModel& forward, ParameterForwardCells parameters,
                     std::span<const double> resistivity);
  std::size_t data_count() const override;
  std::size_t parameter_count() const override { return parameters_.count(); }
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override;
  void jacobian(const Io& io, std::span<const double> m, std::span<double> jacobian,
                std::span<double> d) override;
  // The model of m: `resistivity` with the parameters' cells set to exp(m).
  const std::vector<double>& model(std::span<const double> m);
  // The sound range of the parameters' resistivities (ohm-m): a model with one outside cannot be
  // taken (by default none).
  void set_bounds(double lowest, double highest);
  std::string inadmissible(std::span<const double> m) const override;
  // J v and J^T w from the forward model's pole fields, without J.
  bool has_jacobian_products() const override { return true; }
  // The forward model's classes of data made of the same pole pairs.
  std::vector<std::int32_t> sensitivity_classes() const override {
    return forward_.datum_classes();
  }
  void jacobian_times(const Io& io, std::span<const double> m, std::span<const double> v,
                      std::span<double> out) override;
  void jacobian_transpose_times(const Io& io, std::span<const double> m, std::span<const double> w,
                                std::span<double> out) override;

 private:
  ForwardModel& forward_;
  ParameterForwardCells parameters_;
  std::vector<double> model_;
  double lowest_ = 0, highest_ = std::numeric_limits<double>::infinity();
};

// eta of the parameters (dimensionless, or the unit of the data of IP type 1), linear in eta:
// a datum of IP type 1 is the apparent chargeability sum_c (d ln d_i / d ln rho_c) eta_c, one of
// type 2 the secondary potential d_i times that, over every ground cell (the other cells with
// their values in `chargeability`). Projection keeps eta >= 0.
class ChargeabilityProblem : public InversionProblem {
 public:
  // Computes the sensitivities on `resistivity` once and holds them, when they take no more than
  // half of `memory_budget` bytes (0: a quarter of the memory available); otherwise every product
  // with them comes from the forward model's pole fields. `iptype` per datum (grouped order, 1 or
  // 2).
  ChargeabilityProblem(const Io& io, ForwardModel& forward, const ActiveCells& cells,
                       std::span<const double> resistivity, std::span<const double> chargeability,
                       std::span<const std::int32_t> iptype, std::size_t memory_budget = 0);
  // Parameters of several forward cells each; the models one value per forward cell. A lower
  // bound of the chargeability other than 0 holds data that are phases or decays of either sign.
  ChargeabilityProblem(const Io& io, ForwardModel& forward, ParameterForwardCells parameters,
                       std::span<const double> resistivity, std::span<const double> chargeability,
                       std::span<const std::int32_t> iptype, std::size_t memory_budget = 0,
                       double lowest = 0);
  std::size_t data_count() const override { return fixed_.size(); }
  std::size_t parameter_count() const override { return parameters_.count(); }
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override;
  void jacobian(const Io& io, std::span<const double> m, std::span<double> jacobian,
                std::span<double> d) override;
  void project(std::span<double> m) const override;
  bool has_lower_bound() const override { return true; }
  double lower_bound() const override { return lowest_; }
  bool has_jacobian_products() const override { return true; }
  void jacobian_times(const Io& io, std::span<const double> m, std::span<const double> v,
                      std::span<double> out) override;
  void jacobian_transpose_times(const Io& io, std::span<const double> m, std::span<const double> w,
                                std::span<double> out) override;
  bool holds_sensitivities() const noexcept { return !operator_.empty(); }
  // The forward model's classes, apart for data of different IP types.
  std::vector<std::int32_t> sensitivity_classes() const override { return classes_; }
  // The model of m: `chargeability` with the parameters' cells set to m.
  std::vector<double> model(std::span<const double> m) const;

 private:
  ForwardModel& forward_;
  ParameterForwardCells parameters_;
  double lowest_ = 0;
  std::vector<double> resistivity_, chargeability_;
  std::vector<double> operator_;   // ndat x npar, row-major, when held
  std::vector<double> row_scale_;  // per datum: 1 / d (IP type 1) or 1 (type 2)
  std::vector<double> fixed_;      // the response of the cells that are no parameter
  std::vector<std::int32_t> classes_;
};

// Per forward cell of the parameters (parameters.cells order) the value of its parameter in
// `values`: the product J v of parameters as a product over the cells.
std::vector<double> spread_to_cells(const ParameterForwardCells& parameters,
                                    std::span<const double> values);
// Per parameter the sum of `per_cell` (one value per parameters.cells entry) over its cells.
void sum_over_parameters(const ParameterForwardCells& parameters, std::span<const double> per_cell,
                         std::span<double> out);

// ln rho of the parameters of `cells` from a model (one value per cell).
std::vector<double> log_parameters(const ActiveCells& cells, std::span<const double> resistivity);
// The parameters' values of a model.
std::vector<double> parameter_values(const ActiveCells& cells, std::span<const double> model);

}  // namespace quelby
