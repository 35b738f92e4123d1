#include "quelby/inversion/survey_problems3d.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quelby {

ResistivityProblem3D::ResistivityProblem3D(ForwardModel3D& forward,
                                           ParameterForwardCells parameters,
                                           std::span<const double> resistivity)
    : forward_(forward),
      parameters_(std::move(parameters)),
      model_(resistivity.begin(), resistivity.end()) {}

std::size_t ResistivityProblem3D::data_count() const {
  return static_cast<std::size_t>(forward_.ndat());
}

const std::vector<double>& ResistivityProblem3D::model(std::span<const double> m) {
  for (std::size_t p = 0; p < parameters_.count(); ++p) {
    const double value = std::exp(m[p]);
    for (std::int32_t at = parameters_.starts[p]; at < parameters_.starts[p + 1]; ++at) {
      model_[parameters_.cells[at]] = value;
    }
  }
  return model_;
}

std::string ResistivityProblem3D::inadmissible(std::span<const double> m) const {
  for (const double value : m) {
    const double rho = std::exp(value);
    if (!(rho > 0) || !std::isfinite(rho)) return "a resistivity out of the numbers' range";
  }
  return {};
}

void ResistivityProblem3D::predict(const Io& io, std::span<const double> m, std::span<double> d) {
  const auto data = forward_.data(io, model(m));
  std::copy(data.begin(), data.end(), d.begin());
}

void ResistivityProblem3D::jacobian(const Io& io, std::span<const double> m,
                                    std::span<double> jacobian, std::span<double> d) {
  forward_.sensitivity(io, model(m), parameters_.cells, parameters_.starts, jacobian, d);
}

void ResistivityProblem3D::jacobian_times(const Io& io, std::span<const double> m,
                                          std::span<const double> v, std::span<double> out) {
  forward_.jacobian_times(io, model(m), parameters_.cells, parameters_.starts, v, out);
}

void ResistivityProblem3D::jacobian_transpose_times(const Io& io, std::span<const double> m,
                                                    std::span<const double> w,
                                                    std::span<double> out) {
  forward_.jacobian_transpose_times(io, model(m), parameters_.cells, parameters_.starts, w, out);
}

ChargeabilityProblem3D::ChargeabilityProblem3D(const Io& io, ForwardModel3D& forward,
                                               ParameterForwardCells parameters,
                                               std::span<const double> resistivity,
                                               std::span<const double> chargeability,
                                               std::span<const std::int32_t> iptype, double lowest)
    : parameters_(std::move(parameters)),
      lowest_(lowest),
      chargeability_(chargeability.begin(), chargeability.end()) {
  const auto ndat = static_cast<std::size_t>(forward.ndat());
  const std::size_t npar = parameters_.count();
  operator_.assign(ndat * npar, 0.0);
  std::vector<double> data(ndat);
  forward.sensitivity(io, resistivity, parameters_.cells, parameters_.starts, operator_, data);
  row_scale_.resize(ndat);
  for (std::size_t i = 0; i < ndat; ++i) row_scale_[i] = iptype[i] == 2 ? 1.0 : 1 / data[i];
  for (std::size_t i = 0; i < ndat; ++i) {
    for (std::size_t p = 0; p < npar; ++p) operator_[i * npar + p] *= row_scale_[i];
  }
  // The ground cells of no parameter respond with their own chargeability.
  std::vector<char> in_parameter(chargeability.size(), 0);
  for (const std::int32_t cell : parameters_.cells) in_parameter[cell] = 1;
  std::vector<std::int32_t> rest;
  for (const std::int32_t cell : forward.ground_cells()) {
    if (!in_parameter[cell] && chargeability_[cell] != 0) rest.push_back(cell);
  }
  fixed_.assign(ndat, 0.0);
  if (!rest.empty()) {
    std::vector<std::int32_t> each(rest.size() + 1);
    for (std::size_t c = 0; c <= rest.size(); ++c) each[c] = static_cast<std::int32_t>(c);
    std::vector<double> eta(rest.size());
    for (std::size_t c = 0; c < rest.size(); ++c) eta[c] = chargeability_[rest[c]];
    forward.jacobian_times(io, resistivity, rest, each, eta, fixed_);
    for (std::size_t i = 0; i < ndat; ++i) fixed_[i] *= row_scale_[i];
  }
}

void ChargeabilityProblem3D::predict(const Io&, std::span<const double> m, std::span<double> d) {
  const std::size_t npar = parameters_.count();
  for (std::size_t i = 0; i < row_scale_.size(); ++i) {
    double sum = fixed_[i];
    for (std::size_t p = 0; p < npar; ++p) sum += operator_[i * npar + p] * m[p];
    d[i] = sum;
  }
}

void ChargeabilityProblem3D::jacobian(const Io& io, std::span<const double> m,
                                      std::span<double> jacobian, std::span<double> d) {
  std::copy(operator_.begin(), operator_.end(), jacobian.begin());
  if (!d.empty()) predict(io, m, d);
}

void ChargeabilityProblem3D::project(std::span<double> m) const {
  for (double& value : m) value = std::max(value, lowest_);
}

std::vector<double> ChargeabilityProblem3D::model(std::span<const double> m) const {
  std::vector<double> values = chargeability_;
  for (std::size_t p = 0; p < parameters_.count(); ++p) {
    for (std::int32_t at = parameters_.starts[p]; at < parameters_.starts[p + 1]; ++at) {
      values[parameters_.cells[at]] = m[p];
    }
  }
  return values;
}

}  // namespace quelby
