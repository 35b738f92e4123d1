#include "quelby/inversion/survey_problems.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

std::vector<double> spread_to_cells(const ParameterForwardCells& parameters,
                                    std::span<const double> values) {
  std::vector<double> result(parameters.cells.size());
  for (std::size_t p = 0; p < parameters.count(); ++p) {
    for (auto c = static_cast<std::size_t>(parameters.starts[p]);
         c < static_cast<std::size_t>(parameters.starts[p + 1]); ++c) {
      result[c] = values[p];
    }
  }
  return result;
}

void sum_over_parameters(const ParameterForwardCells& parameters, std::span<const double> per_cell,
                         std::span<double> out) {
  for (std::size_t p = 0; p < parameters.count(); ++p) {
    double sum = 0;
    for (auto c = static_cast<std::size_t>(parameters.starts[p]);
         c < static_cast<std::size_t>(parameters.starts[p + 1]); ++c) {
      sum += per_cell[c];
    }
    out[p] = sum;
  }
}

namespace {

// J v for parameters of several cells: the product over their cells with v spread to them.
void grouped_times(const Io& io, ForwardModel& forward, std::span<const double> resistivity,
                   const ParameterForwardCells& parameters, std::span<const double> v,
                   std::span<double> out) {
  if (parameters.single()) {
    forward.jacobian_times(io, resistivity, parameters.cells, v, out);
    return;
  }
  const std::vector<double> spread = spread_to_cells(parameters, v);
  forward.jacobian_times(io, resistivity, parameters.cells, spread, out);
}

// J^T w for parameters of several cells: the cells' products summed over each parameter.
void grouped_transpose_times(const Io& io, ForwardModel& forward,
                             std::span<const double> resistivity,
                             const ParameterForwardCells& parameters, std::span<const double> w,
                             std::span<double> out) {
  if (parameters.single()) {
    forward.jacobian_transpose_times(io, resistivity, parameters.cells, w, out);
    return;
  }
  std::vector<double> per_cell(parameters.cells.size());
  forward.jacobian_transpose_times(io, resistivity, parameters.cells, w, per_cell);
  sum_over_parameters(parameters, per_cell, out);
}

void grouped_sensitivity(const Io& io, ForwardModel& forward, std::span<const double> resistivity,
                         const ParameterForwardCells& parameters, std::span<double> jacobian,
                         std::span<double> data) {
  if (parameters.single()) {
    forward.sensitivity(io, resistivity, parameters.cells, jacobian, data);
  } else {
    forward.sensitivity(io, resistivity, parameters.cells, parameters.starts, jacobian, data);
  }
}

}  // namespace

ResistivityProblem::ResistivityProblem(ForwardModel& forward, const ActiveCells& cells,
                                       std::span<const double> resistivity)
    : ResistivityProblem(forward, forward_cells_of_parameters(cells), resistivity) {}

ResistivityProblem::ResistivityProblem(ForwardModel& forward, ParameterForwardCells parameters,
                                       std::span<const double> resistivity)
    : forward_(forward),
      parameters_(std::move(parameters)),
      model_(resistivity.begin(), resistivity.end()) {}

std::size_t ResistivityProblem::data_count() const {
  return static_cast<std::size_t>(forward_.ndat());
}

const std::vector<double>& ResistivityProblem::model(std::span<const double> m) {
  for (std::size_t p = 0; p < parameters_.count(); ++p) {
    const double rho = std::exp(m[p]);
    for (auto c = static_cast<std::size_t>(parameters_.starts[p]);
         c < static_cast<std::size_t>(parameters_.starts[p + 1]); ++c) {
      model_[static_cast<std::size_t>(parameters_.cells[c])] = rho;
    }
  }
  return model_;
}

void ResistivityProblem::set_bounds(double lowest, double highest) {
  lowest_ = lowest;
  highest_ = highest;
}

std::string ResistivityProblem::inadmissible(std::span<const double> m) const {
  const std::int32_t nx = forward_.ground().nx;
  for (std::size_t p = 0; p < parameters_.count(); ++p) {
    const double rho = std::exp(m[p]);
    if (rho >= lowest_ && rho <= highest_) continue;
    const std::int32_t cell = parameters_.cells[static_cast<std::size_t>(parameters_.starts[p])];
    return "the resistivity of cell (" + std::to_string(cell % nx + 1) + ", " +
           std::to_string(cell / nx + 1) + ") would be " + shortest(rho) + " ohm-m, " +
           (rho < lowest_ ? "below the lowest bound " + shortest(lowest_)
                          : "above the highest bound " + shortest(highest_));
  }
  return {};
}

void ResistivityProblem::jacobian_times(const Io& io, std::span<const double> m,
                                        std::span<const double> v, std::span<double> out) {
  grouped_times(io, forward_, model(m), parameters_, v, out);
}

void ResistivityProblem::jacobian_transpose_times(const Io& io, std::span<const double> m,
                                                  std::span<const double> w,
                                                  std::span<double> out) {
  grouped_transpose_times(io, forward_, model(m), parameters_, w, out);
}

void ResistivityProblem::predict(const Io& io, std::span<const double> m, std::span<double> d) {
  const std::vector<double> data = forward_.data(io, model(m));
  std::copy(data.begin(), data.end(), d.begin());
}

void ResistivityProblem::jacobian(const Io& io, std::span<const double> m,
                                  std::span<double> jacobian, std::span<double> d) {
  grouped_sensitivity(io, forward_, model(m), parameters_, jacobian, d);
}

ChargeabilityProblem::ChargeabilityProblem(const Io& io, ForwardModel& forward,
                                           const ActiveCells& cells,
                                           std::span<const double> resistivity,
                                           std::span<const double> chargeability,
                                           std::span<const std::int32_t> iptype,
                                           std::size_t memory_budget)
    : ChargeabilityProblem(io, forward, forward_cells_of_parameters(cells), resistivity,
                           chargeability, iptype, memory_budget) {}

ChargeabilityProblem::ChargeabilityProblem(const Io& io, ForwardModel& forward,
                                           ParameterForwardCells parameters,
                                           std::span<const double> resistivity,
                                           std::span<const double> chargeability,
                                           std::span<const std::int32_t> iptype,
                                           std::size_t memory_budget, double lowest)
    : forward_(forward),
      parameters_(std::move(parameters)),
      lowest_(lowest),
      resistivity_(resistivity.begin(), resistivity.end()),
      chargeability_(chargeability.begin(), chargeability.end()) {
  const std::size_t ndat = static_cast<std::size_t>(forward.ndat());
  const std::size_t npar = parameters_.count();
  if (iptype.size() != ndat)
    internal_check_failed(io, "ChargeabilityProblem: one IP type per datum");
  // The cells that are no parameter, with their own chargeabilities.
  std::vector<double> others(chargeability_);
  for (const std::int32_t cell : parameters_.cells) others[static_cast<std::size_t>(cell)] = 0;
  std::vector<double> d(ndat);
  fixed_ = forward.apparent_chargeability(io, resistivity, others, d);
  // Classes of the forward model's, split by IP type (which scales a datum's sensitivities).
  {
    const std::vector<std::int32_t> forward_classes = forward.datum_classes();
    std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> known;
    classes_.resize(ndat);
    for (std::size_t i = 0; i < ndat; ++i) {
      classes_[i] =
          known
              .try_emplace({forward_classes[i], iptype[i]}, static_cast<std::int32_t>(known.size()))
              .first->second;
    }
  }
  row_scale_.resize(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    if (iptype[i] == 2) {
      fixed_[i] *= d[i];
      row_scale_[i] = 1;
    } else {
      row_scale_[i] = 1 / d[i];
    }
  }
  const double budget = memory_budget > 0 ? static_cast<double>(memory_budget)
                                          : 0.25 * static_cast<double>(available_memory());
  if (8.0 * static_cast<double>(ndat) * static_cast<double>(npar) > 0.5 * budget) return;
  operator_.resize(ndat * npar);
  grouped_sensitivity(io, forward, resistivity, parameters_, operator_, d);
  for (std::size_t i = 0; i < ndat; ++i) {
    if (row_scale_[i] == 1) continue;
    for (std::size_t p = 0; p < npar; ++p) operator_[i * npar + p] *= row_scale_[i];
  }
}

void ChargeabilityProblem::predict(const Io& io, std::span<const double> m, std::span<double> d) {
  jacobian_times(io, m, m, d);
  for (std::size_t i = 0; i < fixed_.size(); ++i) d[i] += fixed_[i];
}

void ChargeabilityProblem::jacobian(const Io& io, std::span<const double> m,
                                    std::span<double> jacobian, std::span<double> d) {
  if (holds_sensitivities()) {
    std::copy(operator_.begin(), operator_.end(), jacobian.begin());
  } else {
    std::vector<double> data(fixed_.size());
    grouped_sensitivity(io, forward_, resistivity_, parameters_, jacobian, data);
    const std::size_t npar = parameters_.count();
    for (std::size_t i = 0; i < fixed_.size(); ++i) {
      for (std::size_t p = 0; p < npar; ++p) jacobian[i * npar + p] *= row_scale_[i];
    }
  }
  predict(io, m, d);
}

void ChargeabilityProblem::jacobian_times(const Io& io, std::span<const double>,
                                          std::span<const double> v, std::span<double> out) {
  const std::size_t npar = parameters_.count();
  if (holds_sensitivities()) {
    for (std::size_t i = 0; i < fixed_.size(); ++i) {
      double sum = 0;
      const double* row = operator_.data() + i * npar;
      for (std::size_t p = 0; p < npar; ++p) sum += row[p] * v[p];
      out[i] = sum;
    }
    return;
  }
  grouped_times(io, forward_, resistivity_, parameters_, v, out);
  for (std::size_t i = 0; i < fixed_.size(); ++i) out[i] *= row_scale_[i];
}

void ChargeabilityProblem::jacobian_transpose_times(const Io& io, std::span<const double>,
                                                    std::span<const double> w,
                                                    std::span<double> out) {
  const std::size_t npar = parameters_.count();
  if (holds_sensitivities()) {
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t i = 0; i < fixed_.size(); ++i) {
      const double* row = operator_.data() + i * npar;
      for (std::size_t p = 0; p < npar; ++p) out[p] += w[i] * row[p];
    }
    return;
  }
  std::vector<double> scaled(w.begin(), w.end());
  for (std::size_t i = 0; i < fixed_.size(); ++i) scaled[i] *= row_scale_[i];
  grouped_transpose_times(io, forward_, resistivity_, parameters_, scaled, out);
}

void ChargeabilityProblem::project(std::span<double> m) const {
  for (double& value : m) value = std::max(value, lowest_);
}

std::vector<double> ChargeabilityProblem::model(std::span<const double> m) const {
  std::vector<double> result(chargeability_);
  for (std::size_t p = 0; p < parameters_.count(); ++p) {
    for (auto c = static_cast<std::size_t>(parameters_.starts[p]);
         c < static_cast<std::size_t>(parameters_.starts[p + 1]); ++c) {
      result[static_cast<std::size_t>(parameters_.cells[c])] = m[p];
    }
  }
  return result;
}

std::vector<double> log_parameters(const ActiveCells& cells, std::span<const double> resistivity) {
  std::vector<double> m = parameter_values(cells, resistivity);
  for (double& value : m) value = std::log(value);
  return m;
}

std::vector<double> parameter_values(const ActiveCells& cells, std::span<const double> model) {
  const std::vector<std::int32_t> parameter = parameter_cells(cells);
  std::vector<double> values(parameter.size());
  for (std::size_t p = 0; p < parameter.size(); ++p)
    values[p] = model[static_cast<std::size_t>(parameter[p])];
  return values;
}

}  // namespace quelby
