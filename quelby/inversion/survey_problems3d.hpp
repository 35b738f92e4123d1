// The two inversions of a 3-D DC/IP survey as problems for gauss_newton, as in 2-D: ln rho of the
// parameters (each a group of forward cells) from DC data, and on the final resistivity the
// chargeability of the parameters from IP data by the linearised response. The forward model's
// sensitivities are exact derivatives of its data; J v and J^T w come from its kept fields.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/inversion/gauss_newton.hpp"

namespace quelby {

class ResistivityProblem3D : public InversionProblem {
 public:
  // `resistivity`: one value per mesh cell (ohm-m); the parameters' cells are replaced by exp(m).
  ResistivityProblem3D(ForwardModel3D& forward, ParameterForwardCells parameters,
                       std::span<const double> resistivity);
  std::size_t data_count() const override;
  std::size_t parameter_count() const override { return parameters_.count(); }
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override;
  void jacobian(const Io& io, std::span<const double> m, std::span<double> jacobian,
                std::span<double> d) override;
  bool has_jacobian_products() const override { return true; }
  void jacobian_times(const Io& io, std::span<const double> m, std::span<const double> v,
                      std::span<double> out) override;
  void jacobian_transpose_times(const Io& io, std::span<const double> m, std::span<const double> w,
                                std::span<double> out) override;
  std::string inadmissible(std::span<const double> m) const override;
  // The mesh model of m.
  const std::vector<double>& model(std::span<const double> m);

 private:
  ForwardModel3D& forward_;
  ParameterForwardCells parameters_;
  std::vector<double> model_;
};

// eta of the parameters: a datum of IP type 1 is sum_c (d ln d_i / d ln rho_c) eta_c over the
// ground cells, one of type 2 d_i times that. The sensitivities on `resistivity` are computed once
// and held. eta >= lowest (projected).
class ChargeabilityProblem3D : public InversionProblem {
 public:
  ChargeabilityProblem3D(const Io& io, ForwardModel3D& forward, ParameterForwardCells parameters,
                         std::span<const double> resistivity, std::span<const double> chargeability,
                         std::span<const std::int32_t> iptype, double lowest = 0);
  std::size_t data_count() const override { return row_scale_.size(); }
  std::size_t parameter_count() const override { return parameters_.count(); }
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override;
  void jacobian(const Io& io, std::span<const double> m, std::span<double> jacobian,
                std::span<double> d) override;
  void project(std::span<double> m) const override;
  bool has_lower_bound() const override { return true; }
  double lower_bound() const override { return lowest_; }
  // The mesh model of m.
  std::vector<double> model(std::span<const double> m) const;

 private:
  ParameterForwardCells parameters_;
  double lowest_ = 0;
  std::vector<double> chargeability_;
  std::vector<double> operator_;   // ndat x npar, row-major
  std::vector<double> row_scale_;  // per datum 1 / d (type 1) or 1 (type 2)
  std::vector<double> fixed_;      // the response of ground cells that are no parameter
};

}  // namespace quelby
